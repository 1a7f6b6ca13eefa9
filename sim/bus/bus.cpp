// The simulated bus: attached targets, bus-virtual mappings and register access.
//
// Bus-virtual addresses are handed out page by page from kVirtBase up. A mapping covers whole
// pages, as an MMU mapping does: an access anywhere in a mapped page reaches whatever target
// decodes that bus address, and faults only when no target does. Between mappings one page is
// left unmapped, so running off the end of a mapping faults.
//
// Hot path: every register access resolves its address through a fixed table of page entries
// indexed by (address - kVirtBase) >> 12. Entries are immutable once published; readers load
// them atomically and never take a lock. A writer (map, unmap, attach, detach)
// publishes new entries and then waits for a grace period (every reader that might still hold
// an old entry has left its read section) before it frees the old entries or drops the last
// reference to a detached target. Counters are relaxed atomics per attached target.
//
// I/O space: a target attached in I/O space is reached only by the port-byte services, with the
// bus address used directly as the port number. Translation of such a range reports address
// space 1 and returns the port number; no mapping is created.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/bus.h"
#include "platform/kernel.h"
#include "sim/bus/sim_bus.h"
#include "sim/kernel/sim_kernel.h"

namespace sim {

uint32_t BusTarget::Read32(uint32_t offset) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{Read8(offset)} << (8 * i);
    return value;
}

void BusTarget::Write32(uint32_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) Write8(offset, static_cast<uint8_t>(value >> (8 * i)));
}

bool BusTarget::SetPower(uint32_t, uint32_t state) { return state <= plat::D4; }

namespace {

constexpr uint32_t kVirtBase = kBusVirtualBase;
constexpr uint32_t kPageShift = 12;
constexpr uint32_t kPageSize = 1u << kPageShift;
constexpr uint32_t kPageMask = kPageSize - 1;
constexpr uint32_t kPageCount = 1u << 16;  // 256 MiB of bus-virtual space

// One attached target. Freed only after a grace period following its detach.
struct AttachRecord {
    uint64_t start;
    uint64_t end;  // exclusive
    bool ioSpace;
    std::shared_ptr<BusTarget> target;
    std::atomic<uint64_t> byteReads{0};
    std::atomic<uint64_t> byteWrites{0};
    std::atomic<uint64_t> wordReads{0};
    std::atomic<uint64_t> wordWrites{0};
};

// A run of one page that one target decodes.
struct Segment {
    uint32_t begin;  // offset within the page
    uint32_t end;    // exclusive
    uint32_t targetOffset;  // target offset of `begin`
    AttachRecord* record;
};

// What one bus-virtual page resolves to. Immutable once published.
struct PageEntry {
    std::vector<Segment> segments;
};

// I/O-space ranges. Immutable once published.
struct IoMap {
    std::vector<AttachRecord*> ranges;
};

std::atomic<const PageEntry*> gPages[kPageCount];
std::atomic<const IoMap*> gIoMap{nullptr};

// ---------------------------------------------------------------------------------------------
// Read sections and grace periods.
//
// Each thread that accesses the bus owns a slot whose sequence is odd while it is inside a read
// section. A grace period waits until every slot that was odd at its start has moved on.
struct ReaderSlot {
    std::atomic<uint64_t> sequence{0};
    std::atomic<bool> inUse{false};
    ReaderSlot* next = nullptr;
};

std::atomic<ReaderSlot*> gSlots{nullptr};

ReaderSlot* ClaimSlot() {
    for (ReaderSlot* s = gSlots.load(std::memory_order_acquire); s; s = s->next) {
        bool expected = false;
        if (s->inUse.compare_exchange_strong(expected, true)) return s;
    }
    auto* slot = new ReaderSlot;  // never freed: slots are reused by later threads
    slot->inUse.store(true);
    ReaderSlot* head = gSlots.load(std::memory_order_relaxed);
    do {
        slot->next = head;
    } while (!gSlots.compare_exchange_weak(head, slot, std::memory_order_release,
                                           std::memory_order_relaxed));
    return slot;
}

struct ThreadReader {
    ReaderSlot* slot = nullptr;
    int depth = 0;
    ~ThreadReader() {
        if (slot) slot->inUse.store(false, std::memory_order_release);
    }
};

thread_local ThreadReader tReader;

class ReadSection {
public:
    ReadSection() {
        ThreadReader& r = tReader;
        if (r.depth++ == 0) {
            if (!r.slot) r.slot = ClaimSlot();
            // Sequentially consistent, as are the page loads after it and the writer's exchange
            // and slot loads: either the writer sees this section open, or this section sees
            // the writer's new entry.
            r.slot->sequence.store(r.slot->sequence.load(std::memory_order_relaxed) + 1,
                                   std::memory_order_seq_cst);
        }
    }
    ~ReadSection() {
        ThreadReader& r = tReader;
        if (--r.depth == 0) {
            r.slot->sequence.store(r.slot->sequence.load(std::memory_order_relaxed) + 1,
                                   std::memory_order_release);
        }
    }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;
};

// Waits until every read section open at the call has closed. The calling thread's own open
// section (a writer called from inside a target access) is not waited for.
void WaitForReaders() {
    ReaderSlot* own = tReader.depth > 0 ? tReader.slot : nullptr;
    for (ReaderSlot* s = gSlots.load(std::memory_order_acquire); s; s = s->next) {
        if (s == own) continue;
        uint64_t seen = s->sequence.load(std::memory_order_seq_cst);
        if ((seen & 1) == 0) continue;
        while (s->sequence.load(std::memory_order_acquire) == seen) std::this_thread::yield();
    }
}

// ---------------------------------------------------------------------------------------------
// Writer state, all under gBusMutex.
struct Mapping {
    uint32_t firstPage;  // index into gPages
    uint32_t pageCount;
    uint64_t busPage;    // bus address of the first page
    uint32_t length;
    bool isStatic;
};

std::mutex gBusMutex;
std::vector<std::unique_ptr<AttachRecord>> gAttached;
std::map<plat::VirtAddr, Mapping> gMappings;       // by the address handed out
std::map<uint64_t, plat::VirtAddr> gStaticByPage;  // static translations by bus page
std::vector<bool> gPageUsed(kPageCount, false);
uint32_t gNextPage = 0;
// Freed at the end of the writer's grace period.
std::vector<const PageEntry*> gRetiredPages;
std::vector<const IoMap*> gRetiredIo;
std::vector<std::unique_ptr<AttachRecord>> gRetiredRecords;
std::atomic<uint64_t> gRefusedUnmaps{0};

plat::VirtAddr PageAddress(uint32_t page) { return kVirtBase + (page << kPageShift); }

std::unique_ptr<PageEntry> BuildPage(uint64_t busPage) {
    auto entry = std::make_unique<PageEntry>();
    for (const auto& rec : gAttached) {
        if (rec->ioSpace) continue;
        uint64_t lo = std::max(rec->start, busPage);
        uint64_t hi = std::min(rec->end, busPage + kPageSize);
        if (lo >= hi) continue;
        entry->segments.push_back(Segment{static_cast<uint32_t>(lo - busPage),
                                          static_cast<uint32_t>(hi - busPage),
                                          static_cast<uint32_t>(lo - rec->start), rec.get()});
    }
    if (entry->segments.empty()) return nullptr;
    return entry;
}

void PublishPage(uint32_t page, const PageEntry* entry) {
    const PageEntry* old = gPages[page].exchange(entry, std::memory_order_seq_cst);
    if (old) gRetiredPages.push_back(old);
}

void RebuildMapping(const Mapping& m) {
    for (uint32_t i = 0; i < m.pageCount; ++i) {
        PublishPage(m.firstPage + i, BuildPage(m.busPage + uint64_t{i} * kPageSize).release());
    }
}

void RebuildAll() {
    for (const auto& [va, m] : gMappings) RebuildMapping(m);
    auto io = std::make_unique<IoMap>();
    for (const auto& rec : gAttached) {
        if (rec->ioSpace) io->ranges.push_back(rec.get());
    }
    const IoMap* old = gIoMap.exchange(io.release(), std::memory_order_seq_cst);
    if (old) gRetiredIo.push_back(old);
}

// Ends a writer's change: waits for the readers, then frees what they might have held.
// Called with gBusMutex held; the targets' destructors run after it is released.
std::vector<std::unique_ptr<AttachRecord>> FinishChange() {
    WaitForReaders();
    if (tReader.depth > 0) return {};  // a reader of our own may hold them; free next time
    for (const PageEntry* e : gRetiredPages) delete e;
    for (const IoMap* m : gRetiredIo) delete m;
    gRetiredPages.clear();
    gRetiredIo.clear();
    return std::move(gRetiredRecords);
}

// Finds pageCount + 1 consecutive free pages (the last one stays unmapped as a guard), starting
// after the previous allocation so that addresses are not reused soon after an unmap.
bool AllocatePages(uint32_t pageCount, uint32_t* first) {
    uint32_t need = pageCount + 1;
    if (need > kPageCount) return false;
    for (uint32_t tried = 0; tried < kPageCount;) {
        uint32_t start = (gNextPage + tried) % kPageCount;
        if (start + need > kPageCount) {
            tried += kPageCount - start;
            continue;
        }
        uint32_t run = 0;
        while (run < need && !gPageUsed[start + run]) ++run;
        if (run == need) {
            for (uint32_t i = 0; i < pageCount; ++i) gPageUsed[start + i] = true;
            *first = start;
            gNextPage = (start + need) % kPageCount;
            return true;
        }
        tried += run + 1;
    }
    return false;
}

enum class Coverage { None, Memory, Io };

// Whether [start, start + length) is decoded completely, and in which space.
Coverage CoverageOf(uint64_t start, uint32_t length) {
    uint64_t pos = start;
    uint64_t end = start + length;
    bool anyIo = false;
    bool anyMemory = false;
    while (pos < end) {
        const AttachRecord* hit = nullptr;
        for (const auto& rec : gAttached) {
            if (rec->start <= pos && pos < rec->end) {
                hit = rec.get();
                break;
            }
        }
        if (!hit) return Coverage::None;
        (hit->ioSpace ? anyIo : anyMemory) = true;
        pos = hit->end;
    }
    if (anyIo && anyMemory) return Coverage::None;
    return anyIo ? Coverage::Io : Coverage::Memory;
}

// Creates a mapping of [busAddress, busAddress + length) and returns the address handed out.
bool CreateMapping(uint64_t busAddress, uint32_t length, bool isStatic, plat::VirtAddr* result) {
    uint64_t busPage = busAddress & ~uint64_t{kPageMask};
    uint64_t spanEnd = busAddress + length;
    auto pageCount = static_cast<uint32_t>((spanEnd - busPage + kPageMask) >> kPageShift);
    uint32_t first = 0;
    if (!AllocatePages(pageCount, &first)) return false;
    Mapping m{first, pageCount, busPage, length, isStatic};
    plat::VirtAddr va = PageAddress(first) + static_cast<uint32_t>(busAddress & kPageMask);
    gMappings.emplace(va, m);
    RebuildMapping(m);
    *result = va;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Access.

struct Resolved {
    BusTarget* target;
    uint32_t offset;
    AttachRecord* record;
};

inline bool Resolve(plat::VirtAddr address, Resolved* out) {
    uint32_t rel = address - kVirtBase;
    if (address < kVirtBase || (rel >> kPageShift) >= kPageCount) return false;
    const PageEntry* e = gPages[rel >> kPageShift].load(std::memory_order_seq_cst);
    if (!e) return false;
    uint32_t inPage = address & kPageMask;
    for (const Segment& s : e->segments) {
        if (inPage >= s.begin && inPage < s.end) {
            *out = Resolved{s.record->target.get(), s.targetOffset + (inPage - s.begin), s.record};
            return true;
        }
    }
    return false;
}

inline bool ResolvePort(uint32_t port, Resolved* out) {
    const IoMap* io = gIoMap.load(std::memory_order_seq_cst);
    if (!io) return false;
    for (AttachRecord* rec : io->ranges) {
        if (rec->start <= port && port < rec->end) {
            *out = Resolved{rec->target.get(), static_cast<uint32_t>(port - rec->start), rec};
            return true;
        }
    }
    return false;
}

[[noreturn]] void Fault(const char* what, uint32_t address) {
    char text[128];
    std::snprintf(text, sizeof text, "%s unmapped bus address 0x%08X", what, address);
    RaiseProcessorFault(text);
}

inline void Count(std::atomic<uint64_t>& counter, uint64_t n) {
    counter.fetch_add(n, std::memory_order_relaxed);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Sim-side contract.

void BusAttach(uint64_t busAddress, uint32_t length, std::shared_ptr<BusTarget> target,
               bool ioSpace) {
    if (!target || length == 0) throw std::invalid_argument("BusAttach: no target or no length");
    std::vector<std::unique_ptr<AttachRecord>> freed;
    {
        std::lock_guard lock(gBusMutex);
        for (const auto& rec : gAttached) {
            if (busAddress < rec->end && rec->start < busAddress + length) {
                throw std::invalid_argument("BusAttach: range overlaps " + rec->target->Name());
            }
        }
        auto rec = std::make_unique<AttachRecord>();
        rec->start = busAddress;
        rec->end = busAddress + length;
        rec->ioSpace = ioSpace;
        rec->target = std::move(target);
        gAttached.push_back(std::move(rec));
        RebuildAll();
        freed = FinishChange();
    }
}

void BusDetach(uint64_t busAddress) {
    std::vector<std::unique_ptr<AttachRecord>> freed;
    {
        std::lock_guard lock(gBusMutex);
        auto it = std::find_if(gAttached.begin(), gAttached.end(),
                               [&](const auto& rec) { return rec->start == busAddress; });
        if (it == gAttached.end()) return;
        gRetiredRecords.push_back(std::move(*it));
        gAttached.erase(it);
        RebuildAll();
        freed = FinishChange();
    }
    // The last reference to a detached target may go here, outside the bus lock.
}

BusCounters CountersOf(const BusTarget* target) {
    std::lock_guard lock(gBusMutex);
    BusCounters c;
    for (const auto& rec : gAttached) {
        if (rec->target.get() != target) continue;
        c.byteReads += rec->byteReads.load(std::memory_order_relaxed);
        c.byteWrites += rec->byteWrites.load(std::memory_order_relaxed);
        c.wordReads += rec->wordReads.load(std::memory_order_relaxed);
        c.wordWrites += rec->wordWrites.load(std::memory_order_relaxed);
    }
    return c;
}

void ResetCounters(const BusTarget* target) {
    std::lock_guard lock(gBusMutex);
    for (const auto& rec : gAttached) {
        if (rec->target.get() != target) continue;
        rec->byteReads.store(0, std::memory_order_relaxed);
        rec->byteWrites.store(0, std::memory_order_relaxed);
        rec->wordReads.store(0, std::memory_order_relaxed);
        rec->wordWrites.store(0, std::memory_order_relaxed);
    }
}

size_t LiveMappingCount() {
    std::lock_guard lock(gBusMutex);
    return static_cast<size_t>(std::count_if(gMappings.begin(), gMappings.end(),
                                             [](const auto& kv) { return !kv.second.isStatic; }));
}

uint64_t RefusedUnmapCount() { return gRefusedUnmaps.load(); }

}  // namespace sim

// ---------------------------------------------------------------------------------------------
// Platform services.
namespace plat {

using sim::Resolved;

namespace {

// One register access: resolves the address inside a read section (so the target outlives the
// access), counts it, and runs op(target, offset). An address nothing decodes is a fault.
template <typename Op>
auto Access(bool port, VirtAddr address, const char* what,
            std::atomic<uint64_t> sim::AttachRecord::*counter, uint32_t count, Op op) {
    sim::ReadSection section;
    Resolved r;
    if (!(port ? sim::ResolvePort(address, &r) : sim::Resolve(address, &r))) {
        sim::Fault(what, address);
    }
    sim::Count(r.record->*counter, count);
    return op(r.target, r.offset);
}

using sim::AttachRecord;

}  // namespace

uint8_t ReadPortByte(uint32_t port) {
    return Access(true, port, "port read at", &AttachRecord::byteReads, 1,
                  [](sim::BusTarget* t, uint32_t o) { return t->Read8(o); });
}

void WritePortByte(uint32_t port, uint8_t value) {
    Access(true, port, "port write at", &AttachRecord::byteWrites, 1,
           [&](sim::BusTarget* t, uint32_t o) { t->Write8(o, value); });
}

uint8_t ReadRegisterByte(VirtAddr address) {
    return Access(false, address, "read of", &AttachRecord::byteReads, 1,
                  [](sim::BusTarget* t, uint32_t o) { return t->Read8(o); });
}

void WriteRegisterByte(VirtAddr address, uint8_t value) {
    Access(false, address, "write of", &AttachRecord::byteWrites, 1,
           [&](sim::BusTarget* t, uint32_t o) { t->Write8(o, value); });
}

void ReadRegisterBytes(VirtAddr address, uint8_t* buffer, uint32_t count) {
    if (count == 0) return;
    Access(false, address, "read of", &AttachRecord::byteReads, count,
           [&](sim::BusTarget* t, uint32_t o) {
               for (uint32_t i = 0; i < count; ++i) buffer[i] = t->Read8(o);
           });
}

void ReadRegisterWords(VirtAddr address, uint32_t* buffer, uint32_t count) {
    if (count == 0) return;
    Access(false, address, "read of", &AttachRecord::wordReads, count,
           [&](sim::BusTarget* t, uint32_t o) {
               for (uint32_t i = 0; i < count; ++i) buffer[i] = t->Read32(o);
           });
}

void WriteRegisterBytes(VirtAddr address, const uint8_t* buffer, uint32_t count) {
    if (count == 0) return;
    Access(false, address, "write of", &AttachRecord::byteWrites, count,
           [&](sim::BusTarget* t, uint32_t o) {
               for (uint32_t i = 0; i < count; ++i) t->Write8(o, buffer[i]);
           });
}

void WriteRegisterWords(VirtAddr address, const uint32_t* buffer, uint32_t count) {
    if (count == 0) return;
    Access(false, address, "write of", &AttachRecord::wordWrites, count,
           [&](sim::BusTarget* t, uint32_t o) {
               for (uint32_t i = 0; i < count; ++i) t->Write32(o, buffer[i]);
           });
}

namespace {

Bool Translate(uint32_t interfaceType, uint64_t busAddress, uint32_t length,
               uint32_t* addressSpace, VirtAddr* result, bool isStatic) {
    if (!addressSpace || !result || length == 0) return 0;
    if (interfaceType != kInterfaceTypePci) return 0;
    std::lock_guard lock(sim::gBusMutex);
    switch (sim::CoverageOf(busAddress, length)) {
        case sim::Coverage::None:
            return 0;
        case sim::Coverage::Io:
            // Ports are reached by number; the callers refuse I/O space anyway.
            if (busAddress + length > 0x100000000ull) return 0;
            *addressSpace = kAddressSpaceIo;
            *result = static_cast<VirtAddr>(busAddress);
            return 1;
        case sim::Coverage::Memory:
            break;
    }
    if (isStatic) {
        // Static translations are kept for the machine's life; one per bus page is enough for
        // every range that stays inside that page.
        uint64_t busPage = busAddress & ~uint64_t{sim::kPageMask};
        auto inPage = static_cast<VirtAddr>(busAddress & sim::kPageMask);
        bool onePage = length <= sim::kPageSize - inPage;
        auto it = sim::gStaticByPage.find(busPage);
        if (onePage && it != sim::gStaticByPage.end()) {
            *result = it->second + inPage;
        } else {
            if (!sim::CreateMapping(busAddress, length, true, result)) return 0;
            if (onePage) sim::gStaticByPage.emplace(busPage, *result - inPage);
        }
    } else if (!sim::CreateMapping(busAddress, length, false, result)) {
        return 0;
    }
    *addressSpace = kAddressSpaceMemory;
    return 1;
}

// A bus-access handle: the device it was opened for and its memory window.
class BusHandleObject : public sim::KernelObject {
public:
    BusHandleObject(std::string path, bool hasWindow, uint32_t memBase)
        : path_(std::move(path)), hasWindow_(hasWindow), memBase_(memBase) {}
    std::string Describe() const override { return "bus handle " + path_; }
    bool HasWindow() const { return hasWindow_; }
    uint32_t MemBase() const { return memBase_; }

private:
    const std::string path_;
    const bool hasWindow_;
    const uint32_t memBase_;
};

std::string Narrow(const WChar* text) {
    std::string out;
    for (; *text; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

// The device's memory window base: a "MemBase" number, or the first number of a binary one.
bool ReadMemBase(KeyHandle key, uint32_t* base) {
    uint8_t data[64];
    uint32_t type = 0;
    uint32_t length = sizeof data;
    if (RegQueryValue(key, u"MemBase", nullptr, &type, data, &length) != kSuccess) return false;
    if ((type != kRegDword && type != kRegBinary) || length < 4) return false;
    *base = uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
            uint32_t{data[3]} << 24;
    return true;
}

}  // namespace

Handle BusOpen(const WChar* activeKeyPath) {
    if (!activeKeyPath) return 0;
    KeyHandle key = OpenDeviceKey(activeKeyPath);
    if (!key) return 0;
    uint32_t base = 0;
    bool hasWindow = ReadMemBase(key, &base);
    RegCloseKey(key);
    return sim::HandleInsert(
        std::make_shared<BusHandleObject>(Narrow(activeKeyPath), hasWindow, base));
}

void BusClose(Handle bus) {
    if (sim::HandleLookupAs<BusHandleObject>(bus)) sim::HandleRemove(bus);
}

Bool BusTranslateAndMap(Handle bus, uint32_t interfaceType, uint32_t /*busNumber*/,
                        uint64_t busAddress, uint32_t length, uint32_t* addressSpace,
                        VirtAddr* virtualBase) {
    if (!sim::HandleLookupAs<BusHandleObject>(bus)) return 0;
    return Translate(interfaceType, busAddress, length, addressSpace, virtualBase, false);
}

Bool BusStaticTranslate(uint32_t interfaceType, uint32_t /*busNumber*/, uint64_t busAddress,
                        uint32_t length, uint32_t* addressSpace, VirtAddr* result) {
    return Translate(interfaceType, busAddress, length, addressSpace, result, true);
}

void BusUnmap(VirtAddr virtualBase, uint32_t length) {
    std::vector<std::unique_ptr<sim::AttachRecord>> freed;
    std::lock_guard lock(sim::gBusMutex);
    auto it = sim::gMappings.find(virtualBase);
    if (it == sim::gMappings.end() || it->second.isStatic ||
        (length != 0 && length != it->second.length)) {
        sim::gRefusedUnmaps.fetch_add(1);
        std::fprintf(stderr, "bus: refused unmap of 0x%08X length %u\n", virtualBase, length);
        return;
    }
    const sim::Mapping m = it->second;
    sim::gMappings.erase(it);
    for (uint32_t i = 0; i < m.pageCount; ++i) {
        sim::PublishPage(m.firstPage + i, nullptr);
        sim::gPageUsed[m.firstPage + i] = false;
    }
    freed = sim::FinishChange();
}

Bool BusSetDevicePower(Handle bus, uint32_t state, void* /*reserved*/) {
    auto handle = sim::HandleLookupAs<BusHandleObject>(bus);
    if (!handle || !handle->HasWindow() || state > D4) return 0;
    std::shared_ptr<sim::BusTarget> target;
    uint32_t offset = 0;
    {
        std::lock_guard lock(sim::gBusMutex);
        for (const auto& rec : sim::gAttached) {
            if (!rec->ioSpace && rec->start <= handle->MemBase() && handle->MemBase() < rec->end) {
                target = rec->target;
                offset = static_cast<uint32_t>(handle->MemBase() - rec->start);
                break;
            }
        }
    }
    if (!target) return 0;
    return target->SetPower(offset, state) ? 1 : 0;
}

}  // namespace plat
