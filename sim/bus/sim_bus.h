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

}  // namespace sim
