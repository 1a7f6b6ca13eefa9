// The simulated interrupt controller: interrupt lines that device models drive, system
// interrupts bound to events, and the generic installable interrupt handler.
//
// Lines are level-triggered. A system interrupt is mapped to one line (IrqMapSysIntr, done by
// whoever builds the machine). When a line is asserted and not masked, the dispatch thread runs
// the installable handlers loaded for that line, in load order; the first one that reports a
// system interrupt wins. A line without a loaded handler reports every system interrupt mapped
// to it. Reporting a bound system interrupt signals its event and masks the line until
// InterruptDone for that system interrupt; a line still asserted then (or at unmask) is
// delivered again. InterruptMask masks the line while the mask is in force.
//
// The handlers run on the controller's own dispatch thread, never on the thread that drives
// the line: a device model asserts its line under its own lock, and the handler reads the
// device's status register through the bus, which takes that lock again.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/types.h"

namespace sim {

// Line levels, from device models (any thread). Asserting an already asserted line makes the
// controller look at it again (its status may have changed).
void IrqSetLevel(uint32_t irq, bool asserted);
bool IrqLevel(uint32_t irq);

// System interrupt numbers. Allocate returns a fresh number (from 16 up) mapped to irq.
// Map fails (false) for 0, 0xFFFFFFFF, or a number already mapped to another line.
uint32_t IrqAllocateSysIntr(uint32_t irq);
bool IrqMapSysIntr(uint32_t sysIntr, uint32_t irq);
// Forgets a mapping (and any binding of the system interrupt).
void IrqUnmapSysIntr(uint32_t sysIntr);

struct SysIntrCounters {
    uint64_t signalled = 0;    // times the bound event was signalled
    uint64_t passes = 0;       // InterruptDone calls while bound
    uint64_t handlerRuns = 0;  // installable-handler runs that reported this system interrupt
    bool bound = false;
    bool masked = false;     // by InterruptMask
    bool inService = false;  // signalled and waiting for InterruptDone
};
SysIntrCounters IrqCountersOf(uint32_t sysIntr);

// Blocks until the dispatch thread has looked at every line change made before the call.
void IrqSettle();

// Installable handlers currently loaded (for leak checks).
size_t IrqLoadedHandlerCount();

}  // namespace sim
