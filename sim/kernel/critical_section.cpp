// Critical sections with lock-order checking.
//
// A section is a mutex plus its owner and recursion depth; re-entry by the owner only counts.
// Each thread keeps the sections it holds in a small fixed array. Unless NDEBUG is defined,
// entering a section while holding others records the pairs "held -> entered" in a global
// graph and reports an entry that closes a cycle, i.e. contradicts an order seen before.
// Pairs a thread has already checked are cached per thread, so the global mutex is taken only
// the first time a thread sees a pair. Sections carry ids that are never reused, so cached
// pairs stay valid when a section is deleted and its address handed out again.
// A pair found inverted is reported once and not recorded, so the graph stays acyclic.

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/internal.h"

namespace sim::kernel {
namespace {

struct CsImpl {
    std::mutex mutex;
    std::atomic<const void*> owner{nullptr};
    uint32_t depth = 0;  // touched only by the owner
    uint32_t id = 0;
    const char* name = nullptr;
    const void* record = nullptr;  // the caller's CriticalSection, named when there is no name
    mutable std::atomic<bool> inGraph{false};  // has pairs in the order graph

    std::string DisplayName() const {
        if (name != nullptr) return name;
        char text[32];
        std::snprintf(text, sizeof text, "section at %p", record);
        return text;
    }
};

constexpr int kMaxHeld = 64;
static_assert(kMaxHeld == kMaxPublishedLocks, "every tracked section is published");

// The sections a thread holds, outermost first. One block, so the enter and leave paths
// compute a single thread-local address; that address also identifies the owner.
struct HeldSections {
    int count = 0;
    // Held beyond kMaxHeld: still locked correctly, just not tracked for ordering.
    int untracked = 0;
    CsImpl* held[kMaxHeld] = {};
};
constinit ZEL_FAST_TLS thread_local HeldSections tLocks;

std::atomic<uint32_t> gNextId{1};

#ifndef NDEBUG
struct Node {
    std::string name;
    std::unordered_set<uint32_t> after;   // entered while this one was held
    std::unordered_set<uint32_t> before;  // held while this one was entered
};

struct Graph {
    std::mutex mutex;
    std::unordered_map<uint32_t, Node> nodes;
    std::unordered_set<uint64_t> reported;
    std::atomic<LockOrderHandler> handler{nullptr};
    std::atomic<uint64_t> reports{0};
};

Graph& TheGraph() {
    static Graph* graph = new Graph;  // never destroyed: threads may run past exit
    return *graph;
}

constexpr uint64_t PairKey(uint32_t held, uint32_t entered) {
    return (uint64_t{held} << 32) | entered;
}

// The chain of sections from `from` to `to` along recorded pairs, or empty.
std::vector<uint32_t> PathLocked(Graph& g, uint32_t from, uint32_t to) {
    std::unordered_map<uint32_t, uint32_t> cameFrom{{from, from}};
    std::deque<uint32_t> queue{from};
    while (!queue.empty()) {
        const uint32_t at = queue.front();
        queue.pop_front();
        if (at == to) {
            std::vector<uint32_t> path{to};
            for (uint32_t n = to; n != from;) path.insert(path.begin(), n = cameFrom[n]);
            return path;
        }
        auto it = g.nodes.find(at);
        if (it == g.nodes.end()) continue;
        for (uint32_t next : it->second.after) {
            if (cameFrom.emplace(next, at).second) queue.push_back(next);
        }
    }
    return {};
}

void DefaultHandler(const std::string& report) {
    std::fprintf(stderr, "%s\n", report.c_str());
    std::abort();
}

// Checks and records one pair not yet known to this thread. Returns a report when the pair
// contradicts the recorded order; the pair itself is then not recorded, so the graph stays
// free of cycles and later checks keep their meaning.
std::string CheckPair(const CsImpl* held, const CsImpl* entered) {
    Graph& g = TheGraph();
    std::lock_guard lock(g.mutex);
    Node& a = g.nodes[held->id];
    held->inGraph.store(true);
    if (a.after.contains(entered->id)) return {};
    if (a.name.empty()) a.name = held->DisplayName();
    std::vector<uint32_t> path = PathLocked(g, entered->id, held->id);
    if (path.empty()) {
        Node& b = g.nodes[entered->id];
        if (b.name.empty()) b.name = entered->DisplayName();
        g.nodes[held->id].after.insert(entered->id);
        b.before.insert(held->id);
        entered->inGraph.store(true);
        return {};
    }
    if (!g.reported.insert(PairKey(held->id, entered->id)).second) return {};
    std::string earlier;
    for (uint32_t n : path) {
        if (!earlier.empty()) earlier += "\" -> \"";
        earlier += g.nodes[n].name;
    }
    return "lock order inversion: entering \"" + entered->DisplayName() + "\" while holding \"" +
           held->DisplayName() + "\"; the opposite order was seen before: \"" + earlier + "\"";
}

// Pairs this thread has already checked, direct-mapped: a collision only costs one more trip
// to the graph. Ids start at 1, so the empty key 0 never matches.
constexpr int kPairCacheBits = 8;
constinit ZEL_FAST_TLS thread_local uint64_t tKnownPairs[1 << kPairCacheBits] = {};

void CheckOrder(const CsImpl* entering) {
    for (int i = 0; i < tLocks.count; ++i) {
        const CsImpl* held = tLocks.held[i];
        const uint64_t key = PairKey(held->id, entering->id);
        uint64_t& cached = tKnownPairs[(key * 0x9E3779B97F4A7C15ull) >> (64 - kPairCacheBits)];
        if (cached == key) continue;
        cached = key;
        std::string report = CheckPair(held, entering);
        if (report.empty()) continue;
        Graph& g = TheGraph();
        g.reports.fetch_add(1);
        LockOrderHandler handler = g.handler.load();
        (handler != nullptr ? handler : DefaultHandler)(report);
    }
}

void ForgetSection(const CsImpl* cs) {
    if (!cs->inGraph.load()) return;
    Graph& g = TheGraph();
    std::lock_guard lock(g.mutex);
    auto it = g.nodes.find(cs->id);
    if (it == g.nodes.end()) return;
    for (uint32_t n : it->second.after) g.nodes[n].before.erase(cs->id);
    for (uint32_t n : it->second.before) g.nodes[n].after.erase(cs->id);
    g.nodes.erase(it);
}
#endif  // NDEBUG

// Copies the held sections from index `from` on into the thread's record for reports.
void PublishHeld(int from) {
    ThreadRecord* record = tThreadRecord;
    if (record == nullptr) return;
    for (int i = from; i < tLocks.count; ++i) {
        record->heldNames[i].store(tLocks.held[i]->name, std::memory_order_relaxed);
        record->heldRecords[i].store(tLocks.held[i]->record, std::memory_order_relaxed);
    }
    record->heldCount.store(tLocks.count, std::memory_order_release);
}

void Untrack(CsImpl* cs) {
    for (int i = tLocks.count - 1; i >= 0; --i) {
        if (tLocks.held[i] == cs) {
            for (int j = i; j + 1 < tLocks.count; ++j) tLocks.held[j] = tLocks.held[j + 1];
            --tLocks.count;
            PublishHeld(i);
            return;
        }
    }
    if (tLocks.untracked > 0) --tLocks.untracked;
}

CsImpl* ImplOf(plat::CriticalSection* cs, const char* what) {
    if (cs == nullptr || cs->impl == nullptr) {
        std::fprintf(stderr, "%s on an uninitialised critical section %p\n", what,
                     static_cast<void*>(cs));
        std::abort();
    }
    return static_cast<CsImpl*>(cs->impl);
}

}  // namespace

void ReportAndForgetHeldLocks(const char* why) {
    // The sections stay locked (nobody else may unlock them), but a later thread that reuses
    // this thread's storage must not pass for their owner.
    static const char deadOwner = 0;
    for (int i = 0; i < tLocks.count; ++i) {
        std::fprintf(stderr, "%s holding critical section \"%s\"\n", why,
                     tLocks.held[i]->DisplayName().c_str());
        tLocks.held[i]->owner.store(&deadOwner, std::memory_order_relaxed);
    }
    tLocks.count = 0;
    tLocks.untracked = 0;
    PublishHeld(0);
}

}  // namespace sim::kernel

namespace sim {

void SetLockOrderHandler(LockOrderHandler handler) {
#ifndef NDEBUG
    kernel::TheGraph().handler.store(handler);
#else
    (void)handler;
#endif
}

uint64_t LockOrderReportCount() {
#ifndef NDEBUG
    return kernel::TheGraph().reports.load();
#else
    return 0;
#endif
}

std::vector<std::string> HeldLocks() {
    std::vector<std::string> names;
    for (int i = 0; i < kernel::tLocks.count; ++i)
        names.push_back(kernel::tLocks.held[i]->DisplayName());
    return names;
}

}  // namespace sim

namespace plat {

using sim::kernel::CsImpl;

void CsInit(CriticalSection* cs, const char* name) {
    auto* impl = new CsImpl;
    impl->id = sim::kernel::gNextId.fetch_add(1, std::memory_order_relaxed);
    impl->name = name;
    impl->record = cs;
    cs->impl = impl;
}

void CsEnter(CriticalSection* cs) {
    CsImpl* impl = sim::kernel::ImplOf(cs, "CsEnter");
    auto& locks = sim::kernel::tLocks;
    if (impl->owner.load(std::memory_order_relaxed) == &locks) {
        ++impl->depth;  // re-entry by the owner records nothing
        return;
    }
#ifndef NDEBUG
    if (locks.count > 0) sim::kernel::CheckOrder(impl);
#endif
    // Filed before the first enter, so a report lists every section a thread holds.
    sim::kernel::ThreadRecord* const me = sim::kernel::CurrentThreadRecord();
    if (!impl->mutex.try_lock()) {
        if (me != nullptr) sim::kernel::NoteSectionWait(impl->name, impl->record);
        impl->mutex.lock();
        if (me != nullptr) sim::kernel::EndSectionWait();
    }
    impl->owner.store(&locks, std::memory_order_relaxed);
    impl->depth = 1;
    if (locks.count < sim::kernel::kMaxHeld) {
        locks.held[locks.count++] = impl;
        sim::kernel::PublishHeld(locks.count - 1);
    } else {
        ++locks.untracked;
    }
}

void CsLeave(CriticalSection* cs) {
    CsImpl* impl = sim::kernel::ImplOf(cs, "CsLeave");
    if (impl->owner.load(std::memory_order_relaxed) != &sim::kernel::tLocks) {
        std::fprintf(stderr, "CsLeave of \"%s\" by a thread that does not hold it\n",
                     impl->DisplayName().c_str());
        return;
    }
    if (--impl->depth != 0) return;
    sim::kernel::Untrack(impl);
    impl->owner.store(nullptr, std::memory_order_relaxed);
    impl->mutex.unlock();
}

void CsDelete(CriticalSection* cs) {
    if (cs == nullptr || cs->impl == nullptr) return;
    auto* impl = static_cast<CsImpl*>(cs->impl);
    cs->impl = nullptr;
    if (impl->owner.load(std::memory_order_relaxed) == &sim::kernel::tLocks) {
        sim::kernel::Untrack(impl);
        impl->mutex.unlock();
    }
#ifndef NDEBUG
    sim::kernel::ForgetSection(impl);
#endif
    delete impl;
}

}  // namespace plat
