// The handle table and failure injection.
//
// Handles are small multiples of 4 below the top bit (which marks the predefined registry
// roots). The table is sharded by handle so that the lookups done on every event set and wait
// take only a shared lock on one shard; inserts and removals lock one shard exclusively.
// Handle values come from a counter and are not reused until it wraps (after 2^29 handles),
// and then never while still live.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/sim_kernel.h"

namespace sim {
namespace {

constexpr size_t kShardCount = 64;
// Handle = index * 4 with index 1 .. kMaxIndex, so the top bit is never set.
constexpr uint32_t kMaxIndex = 0x1FFFFFFFu;

struct Entry {
    std::shared_ptr<KernelObject> object;
    kernel::Waitable* waitable;  // the same object when it can be waited on, else null
    uint64_t sequence;           // creation order, for LiveHandles
};

// The live handles of one shard: open addressing with linear probing. Handles are handed out
// in sequence, so consecutive handles of a shard land in consecutive slots and a lookup is a
// shift, a mask and one compare, without the division a general hash map pays.
class HandleMap {
public:
    HandleMap() : slots_(16) {}

    Entry* Find(plat::Handle h) {
        for (size_t i = Home(h);; i = Next(i)) {
            if (slots_[i].key == h) return &slots_[i].entry;
            if (slots_[i].key == 0) return nullptr;
        }
    }

    void Insert(plat::Handle h, Entry entry) {
        if ((size_ + 1) * 2 > slots_.size()) Grow();
        size_t i = Home(h);
        while (slots_[i].key != 0) i = Next(i);
        slots_[i] = Slot{h, std::move(entry)};
        ++size_;
    }

    // Removes a live handle; its entry moves to *out.
    bool Take(plat::Handle h, Entry* out) {
        size_t i = Home(h);
        for (; slots_[i].key != h; i = Next(i)) {
            if (slots_[i].key == 0) return false;
        }
        *out = std::move(slots_[i].entry);
        // Backward-shift deletion: pull later members of the probe run into the gap, so
        // lookups never need tombstones.
        for (size_t j = Next(i); slots_[j].key != 0; j = Next(j)) {
            const size_t home = Home(slots_[j].key);
            const bool homeInGap = i <= j ? (home <= i || home > j) : (home <= i && home > j);
            if (homeInGap) {
                slots_[i] = std::move(slots_[j]);
                i = j;
            }
        }
        slots_[i] = Slot{};
        --size_;
        return true;
    }

    template <typename F>
    void ForEach(F f) const {
        for (const Slot& s : slots_) {
            if (s.key != 0) f(s.key, s.entry);
        }
    }

private:
    struct Slot {
        plat::Handle key = 0;  // 0: empty
        Entry entry{};
    };

    size_t Home(plat::Handle h) const { return ((h >> 2) / kShardCount) & (slots_.size() - 1); }
    size_t Next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

    void Grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        size_ = 0;
        for (Slot& s : old) {
            if (s.key != 0) Insert(s.key, std::move(s.entry));
        }
    }

    std::vector<Slot> slots_;  // size is a power of two, at most half full
    size_t size_ = 0;
};

struct Shard {
    std::shared_mutex mutex;
    HandleMap entries;
};

struct Table {
    std::array<Shard, kShardCount> shards;
    std::atomic<uint32_t> nextIndex{0};
    std::atomic<uint64_t> nextSequence{0};
    std::atomic<uint64_t> refusedCloses{0};

    Shard& ShardOf(plat::Handle h) { return shards[(h >> 2) % kShardCount]; }
};

// Never destroyed: threads still running at process exit may close handles.
Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

struct FailureCounter {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> failAt{0};  // call number that fails; 0 = disarmed
};

std::array<FailureCounter, 3>& Counters() {
    static auto* counters = new std::array<FailureCounter, 3>;
    return *counters;
}

FailureCounter& CounterOf(FailKind kind) {
    return Counters()[static_cast<size_t>(kind)];
}

}  // namespace

plat::Handle HandleInsert(std::shared_ptr<KernelObject> object) {
    if (ShouldFail(FailKind::Handle) || object == nullptr) return 0;
    Table& t = TheTable();
    for (;;) {
        const uint32_t index = t.nextIndex.fetch_add(1, std::memory_order_relaxed) % kMaxIndex + 1;
        const plat::Handle h = index << 2;
        Shard& shard = t.ShardOf(h);
        std::unique_lock lock(shard.mutex);
        // After the counter wraps, skip values that are still live.
        if (shard.entries.Find(h) != nullptr) continue;
        auto* waitable = dynamic_cast<kernel::Waitable*>(object.get());
        shard.entries.Insert(h, Entry{std::move(object), waitable,
                                      t.nextSequence.fetch_add(1, std::memory_order_relaxed)});
        return h;
    }
}

std::shared_ptr<KernelObject> HandleLookup(plat::Handle handle) {
    if (handle == 0) return nullptr;
    Shard& shard = TheTable().ShardOf(handle);
    std::shared_lock lock(shard.mutex);
    const Entry* e = shard.entries.Find(handle);
    return e == nullptr ? nullptr : e->object;
}

namespace kernel {

std::shared_ptr<Waitable> LookupWaitable(plat::Handle handle) {
    if (handle == 0) return nullptr;
    Shard& shard = TheTable().ShardOf(handle);
    std::shared_lock lock(shard.mutex);
    const Entry* e = shard.entries.Find(handle);
    if (e == nullptr || e->waitable == nullptr) return nullptr;
    return std::shared_ptr<Waitable>(e->object, e->waitable);
}

bool VisitWaitable(plat::Handle handle, WaitableVisitor visit, void* context) {
    if (handle == 0) return false;
    Shard& shard = TheTable().ShardOf(handle);
    std::shared_lock lock(shard.mutex);
    const Entry* e = shard.entries.Find(handle);
    if (e == nullptr || e->waitable == nullptr) return false;
    visit(*e->waitable, context);
    return true;
}

}  // namespace kernel

bool HandleRemove(plat::Handle handle) {
    if (handle == 0) return false;
    Entry removed{};
    {
        Shard& shard = TheTable().ShardOf(handle);
        std::unique_lock lock(shard.mutex);
        if (!shard.entries.Take(handle, &removed)) return false;
    }
    // Outside the shard lock: closing may close further handles.
    removed.object->OnClose();
    return true;
}

std::vector<HandleInfo> LiveHandles() {
    struct Live {
        uint64_t sequence;
        plat::Handle handle;
        std::shared_ptr<KernelObject> object;
    };
    std::vector<Live> live;
    for (Shard& shard : TheTable().shards) {
        std::shared_lock lock(shard.mutex);
        shard.entries.ForEach([&](plat::Handle h, const Entry& e) {
            live.push_back({e.sequence, h, e.object});
        });
    }
    std::sort(live.begin(), live.end(),
              [](const Live& a, const Live& b) { return a.sequence < b.sequence; });
    std::vector<HandleInfo> result;
    result.reserve(live.size());
    for (const Live& l : live) result.push_back({l.handle, l.object->Describe()});
    return result;
}

size_t LiveHandleCount() {
    size_t count = 0;
    for (Shard& shard : TheTable().shards) {
        std::shared_lock lock(shard.mutex);
        shard.entries.ForEach([&](plat::Handle, const Entry&) { ++count; });
    }
    return count;
}

uint64_t RefusedCloseCount() {
    return TheTable().refusedCloses.load();
}

void FailNth(FailKind kind, uint64_t n) {
    FailureCounter& c = CounterOf(kind);
    c.failAt.store(n == 0 ? 0 : c.calls.load() + n);
}

bool ShouldFail(FailKind kind) {
    FailureCounter& c = CounterOf(kind);
    const uint64_t call = c.calls.fetch_add(1) + 1;
    uint64_t expected = call;
    // Only the armed call fails, and it disarms the counter.
    return c.failAt.load(std::memory_order_relaxed) == call &&
           c.failAt.compare_exchange_strong(expected, 0);
}

uint64_t CallCount(FailKind kind) {
    return CounterOf(kind).calls.load();
}

void DisarmAllFailures() {
    for (FailureCounter& c : Counters()) c.failAt.store(0);
}

}  // namespace sim

namespace plat {

Bool HandleClose(Handle handle) {
    if (sim::HandleRemove(handle)) return 1;
    sim::TheTable().refusedCloses.fetch_add(1);
    std::fprintf(stderr, "HandleClose: refused handle 0x%x (never opened or already closed)\n",
                 handle);
    SetLastErrorCode(kErrorInvalidHandle);
    return 0;
}

}  // namespace plat
