// The handle table and failure injection.
//
// Handles are small multiples of 4 below the top bit (which marks the predefined registry
// roots). The table is sharded by handle so that the lookups done on every event set and wait
// take only a shared lock on one shard; inserts and removals lock one shard exclusively.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"

namespace sim {
namespace {

constexpr size_t kShardCount = 64;
// Handle = index * 4 with index 1 .. kMaxIndex, so the top bit is never set.
constexpr uint32_t kMaxIndex = 0x1FFFFFFFu;

struct Entry {
    std::shared_ptr<KernelObject> object;
    uint64_t sequence;  // creation order, for LiveHandles
};

struct Shard {
    std::shared_mutex mutex;
    std::unordered_map<plat::Handle, Entry> entries;
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
        if (shard.entries.contains(h)) continue;
        shard.entries.emplace(
            h, Entry{std::move(object), t.nextSequence.fetch_add(1, std::memory_order_relaxed)});
        return h;
    }
}

std::shared_ptr<KernelObject> HandleLookup(plat::Handle handle) {
    if (handle == 0) return nullptr;
    Shard& shard = TheTable().ShardOf(handle);
    std::shared_lock lock(shard.mutex);
    auto it = shard.entries.find(handle);
    return it == shard.entries.end() ? nullptr : it->second.object;
}

bool HandleRemove(plat::Handle handle) {
    if (handle == 0) return false;
    std::shared_ptr<KernelObject> object;
    {
        Shard& shard = TheTable().ShardOf(handle);
        std::unique_lock lock(shard.mutex);
        auto it = shard.entries.find(handle);
        if (it == shard.entries.end()) return false;
        object = std::move(it->second.object);
        shard.entries.erase(it);
    }
    // Outside the shard lock: closing may close further handles.
    object->OnClose();
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
        for (const auto& [h, e] : shard.entries) live.push_back({e.sequence, h, e.object});
    }
    std::sort(live.begin(), live.end(),
              [](const Live& a, const Live& b) { return a.sequence < b.sequence; });
    std::vector<HandleInfo> result;
    result.reserve(live.size());
    for (const Live& l : live) result.push_back({l.handle, l.object->Describe()});
    return result;
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
