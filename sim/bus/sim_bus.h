// The simulated bus: where device models live and how register accesses reach them.
// The driver never includes this; it calls the services of src/platform/bus.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace sim {

// A device model reached through the bus. Offsets are relative to the start of the range the
// target was attached at. Calls may come from any thread; a target serialises itself.
class BusTarget {
public:
    virtual ~BusTarget() = default;
    virtual std::string Name() const = 0;
    virtual uint8_t Read8(uint32_t offset) = 0;
    virtual void Write8(uint32_t offset, uint8_t value) = 0;
    // One 32-bit access at one address. The default splits it into four byte accesses at the
    // same offset, the first byte lowest in the word (what a FIFO data window does).
    virtual uint32_t Read32(uint32_t offset);
    virtual void Write32(uint32_t offset, uint32_t value);
    // Device power of the part of the device at offset (a port's UART, or the whole device
    // at 0): D0 .. D4. False when the state is refused.
    virtual bool SetPower(uint32_t offset, uint32_t state);
};

// Places a target at a bus address range in memory space (or I/O space). Ranges must not
// overlap. Detaching makes the range unmapped: later accesses through old mappings fault.
void BusAttach(uint64_t busAddress, uint32_t length, std::shared_ptr<BusTarget> target,
               bool ioSpace = false);
void BusDetach(uint64_t busAddress);

// Access counters per attached target (cumulative since attach or the last reset).
struct BusCounters {
    uint64_t byteReads = 0;   // 8-bit accesses
    uint64_t byteWrites = 0;
    uint64_t wordReads = 0;   // 32-bit accesses
    uint64_t wordWrites = 0;
    uint64_t accesses() const { return byteReads + byteWrites + wordReads + wordWrites; }
};
BusCounters CountersOf(const BusTarget* target);
void ResetCounters(const BusTarget* target);

// Live mappings (made by BusTranslateAndMap and not yet unmapped), for leak checks.
size_t LiveMappingCount();

// Unmap requests refused (an address that is not the start of a live mapping, a static
// translation, or a length other than 0 or the mapped length), for tests.
uint64_t RefusedUnmapCount();

// How the bus hands out and resolves addresses:
// - Bus-virtual addresses start at kBusVirtualBase. A mapping covers whole 4 KiB pages: an
//   access anywhere in a mapped page reaches the target that decodes that bus address, and
//   faults when none does. One unmapped page separates consecutive mappings.
// - BusTranslateAndMap and BusStaticTranslate accept interface type 5 (PCI) only; the bus number
//   is not looked at (the machine has one bus). A range must be decoded completely by attached
//   targets, all in memory space or all in I/O space.
// - A range in I/O space is reported as address space 1 with the bus address as the result (a
//   port number for ReadPortByte / WritePortByte); no mapping is created.
// - Static translations live as long as the machine; one per bus page is shared by all callers.
// - A bus-access handle remembers the device key's "MemBase" (a number, or the first number of
//   a binary value). BusOpen fails only when the device key cannot be opened or the handle not
//   created; without "MemBase" BusSetDevicePower fails.
constexpr uint32_t kBusVirtualBase = 0x10000000u;

// The power-management service (PowerCreate .. PowerCurrentLevel in platform/bus.h):
// - Handles are kernel objects ("power handle"); PowerCreate gives kPowerHandleNone when the
//   handle cannot be made. The creation options and time-out are recorded nowhere.
// - Every operation on a handle runs on the service's one thread, in call order, and the caller
//   waits for it; a call made from inside a callback runs at once. After PowerRelease returns,
//   no callback of that handle runs.
// - PowerRequestLevel(L) holds the device at L or more power and moves it there (callback)
//   when it is lower; it returns a non-zero token. PowerSetLevel(s) with no request held calls
//   the callback with s; with requests held it moves the device only if it is not at
//   min(s, held level) already. Both record the state the callback returns; that is what
//   PowerCurrentLevel reports (D0 at creation, 0xFFFFFFFF for a bad handle). Releasing a
//   request does not move the device. States above D4 and bad handles are refused (0).

}  // namespace sim
