// Handle table, failure injection, memory, the fault guard, notifications and debug output.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "platform/debug.h"
#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"

namespace {

using namespace plat;
using ::testing::HasSubstr;

struct Counted : sim::KernelObject {
    explicit Counted(std::string text, std::atomic<int>* closes = nullptr)
        : text(std::move(text)), closes(closes) {}
    std::string Describe() const override { return text; }
    void OnClose() override {
        if (closes != nullptr) closes->fetch_add(1);
    }
    std::string text;
    std::atomic<int>* closes;
};

TEST(HandleTest, HandlesAreSmallDistinctMultiplesOfFour) {
    std::vector<Handle> handles;
    for (int i = 0; i < 100; ++i) handles.push_back(EventCreate());
    std::set<Handle> distinct(handles.begin(), handles.end());
    EXPECT_EQ(distinct.size(), handles.size());
    for (Handle h : handles) {
        EXPECT_NE(h, 0u);
        EXPECT_EQ(h % 4, 0u);
        EXPECT_EQ(h & 0x80000000u, 0u);
    }
    for (Handle h : handles) EXPECT_EQ(HandleClose(h), 1);
}

TEST(HandleTest, ConcurrentInsertsGetDistinctHandles) {
    std::vector<Handle> got[4];
    std::vector<std::thread> threads;
    for (auto& list : got) {
        threads.emplace_back([&list] {
            for (int i = 0; i < 500; ++i) {
                list.push_back(sim::HandleInsert(std::make_shared<Counted>("c")));
            }
        });
    }
    for (auto& t : threads) t.join();
    std::set<Handle> all;
    for (auto& list : got) all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), 2000u);
    EXPECT_FALSE(all.contains(0));
    for (Handle h : all) EXPECT_TRUE(sim::HandleRemove(h));
}

// Long-lived handles stay reachable while many short-lived ones come and go around them,
// and while the long-lived ones themselves are closed in an unrelated order.
TEST(HandleTest, LongLivedHandlesSurviveChurn) {
    std::vector<std::pair<Handle, std::shared_ptr<Counted>>> kept;
    uint32_t lcg = 12345;
    auto next = [&lcg] {
        lcg = lcg * 1103515245u + 12345u;
        return lcg >> 8;
    };
    // Few survivors spread over many handle values: they share table slots.
    for (int i = 0; i < 100000; ++i) {
        auto object = std::make_shared<Counted>("c");
        const Handle h = sim::HandleInsert(object);
        if (next() % 50 == 0) {
            kept.emplace_back(h, object);
        } else {
            ASSERT_TRUE(sim::HandleRemove(h));
        }
    }
    while (!kept.empty()) {
        const size_t victim = next() % kept.size();
        ASSERT_TRUE(sim::HandleRemove(kept[victim].first));
        EXPECT_EQ(sim::HandleLookup(kept[victim].first), nullptr);
        kept.erase(kept.begin() + victim);
        for (const auto& [h, object] : kept) ASSERT_EQ(sim::HandleLookup(h), object) << h;
    }
}

TEST(HandleTest, LiveHandlesListsInCreationOrderUntilClosed) {
    const auto before = sim::LiveHandles();
    Handle a = sim::HandleInsert(std::make_shared<Counted>("first"));
    Handle b = EventCreate(1, 0);
    Handle c = sim::HandleInsert(std::make_shared<Counted>("third"));
    auto live = sim::LiveHandles();
    ASSERT_EQ(live.size(), before.size() + 3);
    const size_t n = live.size();
    EXPECT_EQ(live[n - 3].handle, a);
    EXPECT_EQ(live[n - 3].description, "first");
    EXPECT_EQ(live[n - 2].handle, b);
    EXPECT_EQ(live[n - 2].description, "event (manual-reset)");
    EXPECT_EQ(live[n - 1].description, "third");
    HandleClose(b);
    live = sim::LiveHandles();
    ASSERT_EQ(live.size(), before.size() + 2);
    EXPECT_EQ(live.back().handle, c);
    EXPECT_EQ(live[live.size() - 2].handle, a);
    HandleClose(a);
    HandleClose(c);
    EXPECT_EQ(sim::LiveHandles().size(), before.size());
}

TEST(HandleTest, DoubleCloseAndCloseOfZeroAreRefused) {
    std::atomic<int> closes{0};
    Handle h = sim::HandleInsert(std::make_shared<Counted>("x", &closes));
    const uint64_t refusedBefore = sim::RefusedCloseCount();
    EXPECT_EQ(HandleClose(h), 1);
    EXPECT_EQ(closes.load(), 1);
    EXPECT_EQ(sim::HandleLookup(h), nullptr);
    SetLastErrorCode(0);
    EXPECT_EQ(HandleClose(h), 0);
    EXPECT_EQ(LastErrorCode(), kErrorInvalidHandle);
    EXPECT_EQ(HandleClose(0), 0);
    EXPECT_EQ(closes.load(), 1);
    EXPECT_EQ(sim::RefusedCloseCount(), refusedBefore + 2);
    EXPECT_FALSE(sim::HandleRemove(h));
    EXPECT_FALSE(sim::HandleRemove(0));
}

TEST(HandleTest, LookupAsChecksTheObjectType) {
    Handle h = sim::HandleInsert(std::make_shared<Counted>("x"));
    EXPECT_NE(sim::HandleLookupAs<Counted>(h), nullptr);
    Handle e = EventCreate();
    EXPECT_EQ(sim::HandleLookupAs<Counted>(e), nullptr);
    HandleClose(h);
    HandleClose(e);
}

// Failure injection: the n-th call of a kind fails, once.
struct InjectionCase {
    const char* name;
    sim::FailKind kind;
    std::function<bool()> call;  // true when the call succeeded; cleans up after itself
};
void PrintTo(const InjectionCase& c, std::ostream* os) {
    *os << c.name;
}

class FailureInjectionTest : public ::testing::TestWithParam<InjectionCase> {
  protected:
    void TearDown() override { sim::DisarmAllFailures(); }
};

TEST_P(FailureInjectionTest, NthCallFailsOnce) {
    const auto& c = GetParam();
    const uint64_t callsBefore = sim::CallCount(c.kind);
    sim::FailNth(c.kind, 3);
    EXPECT_TRUE(c.call());
    EXPECT_TRUE(c.call());
    EXPECT_FALSE(c.call());
    EXPECT_TRUE(c.call());
    EXPECT_TRUE(c.call());
    EXPECT_EQ(sim::CallCount(c.kind), callsBefore + 5);
}

TEST_P(FailureInjectionTest, DisarmedCounterFailsNothing) {
    const auto& c = GetParam();
    sim::FailNth(c.kind, 2);
    sim::FailNth(c.kind, 0);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(c.call());
    sim::FailNth(c.kind, 1);
    sim::DisarmAllFailures();
    EXPECT_TRUE(c.call());
}

bool TryMemAlloc() {
    void* p = MemAlloc(kMemZeroInit, 16);
    MemFree(p);
    return p != nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FailureInjectionTest,
    ::testing::Values(InjectionCase{"MemAlloc", sim::FailKind::Allocation, TryMemAlloc},
                      InjectionCase{"ObjectAlloc", sim::FailKind::Allocation,
                                    [] {
                                        void* p = ObjectAlloc(24);
                                        ObjectFree(p);
                                        return p != nullptr;
                                    }},
                      InjectionCase{"EventCreate", sim::FailKind::Handle,
                                    [] {
                                        Handle h = EventCreate();
                                        if (h != 0) HandleClose(h);
                                        return h != 0;
                                    }},
                      InjectionCase{"HandleInsert", sim::FailKind::Handle,
                                    [] {
                                        Handle h =
                                            sim::HandleInsert(std::make_shared<Counted>("x"));
                                        if (h != 0) HandleClose(h);
                                        return h != 0;
                                    }},
                      InjectionCase{"RegistryCounter", sim::FailKind::Registry,
                                    [] { return !sim::ShouldFail(sim::FailKind::Registry); }}),
    [](const auto& info) { return info.param.name; });

TEST(FailureInjectionReallocTest, ReallocCountsAndKeepsTheBlockOnFailure) {
    char* p = static_cast<char*>(MemAlloc(0, 8));
    std::memcpy(p, "abcdefg", 8);
    sim::FailNth(sim::FailKind::Allocation, 1);
    EXPECT_EQ(MemRealloc(p, 64, kMemMovable), nullptr);
    EXPECT_EQ(LastErrorCode(), kErrorNotEnoughMemory);
    EXPECT_STREQ(p, "abcdefg");
    EXPECT_EQ(MemSize(p), 8u);
    MemFree(p);
}

class MemoryTest : public ::testing::Test {
  protected:
    void SetUp() override { before_ = sim::LiveAllocations(); }
    void TearDown() override {
        const auto after = sim::LiveAllocations();
        EXPECT_EQ(after.blocks, before_.blocks);
        EXPECT_EQ(after.bytes, before_.bytes);
    }
    sim::AllocationStats before_{};
};

TEST_F(MemoryTest, ZeroInitAndSize) {
    auto* p = static_cast<unsigned char*>(MemAlloc(kMemZeroInit, 100));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(MemSize(p), 100u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(sim::LiveAllocations().blocks, before_.blocks + 1);
    EXPECT_EQ(sim::LiveAllocations().bytes, before_.bytes + 100);
    EXPECT_EQ(MemFree(p), nullptr);
}

TEST_F(MemoryTest, MovableGrowthKeepsContentAndZeroesGrowthOfZeroInitBlock) {
    auto* p = static_cast<unsigned char*>(MemAlloc(kMemZeroInit, 4));
    std::memcpy(p, "xyz", 4);
    // Shrink and regrow: the bytes given up come back as zeros.
    p = static_cast<unsigned char*>(MemRealloc(p, 2, 0));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(MemSize(p), 2u);
    p = static_cast<unsigned char*>(MemRealloc(p, 4000, kMemMovable));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(MemSize(p), 4000u);
    EXPECT_EQ(p[0], 'x');
    EXPECT_EQ(p[1], 'y');
    for (int i = 2; i < 4000; ++i) ASSERT_EQ(p[i], 0) << i;
    MemFree(p);
}

TEST_F(MemoryTest, GrowthWithoutMovableFailsAndKeepsTheBlock) {
    void* p = MemAlloc(0, 16);
    EXPECT_EQ(MemRealloc(p, 32, 0), nullptr);
    EXPECT_EQ(MemSize(p), 16u);
    EXPECT_EQ(MemRealloc(p, 16, 0), p);
    MemFree(p);
}

TEST_F(MemoryTest, WrongFreesAreRefused) {
    void* p = MemAlloc(0, 8);
    void* o = ObjectAlloc(8);
    EXPECT_EQ(MemFree(o), o);  // an object is not a heap block
    EXPECT_EQ(MemSize(o), 0u);
    EXPECT_EQ(MemFree(nullptr), nullptr);
    EXPECT_EQ(MemFree(p), nullptr);
    ObjectFree(o);
    ObjectFree(nullptr);
}

TEST_F(MemoryTest, ObjectsAreCounted) {
    void* o = ObjectAlloc(40);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(sim::LiveAllocations().blocks, before_.blocks + 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(o) % alignof(std::max_align_t), 0u);
    ObjectFree(o);
}

TEST(MemMoveTest, OverlappingMoveKeepsTheBytes) {
    char text[] = "0123456789";
    MemMove(text + 2, text, 5);
    EXPECT_STREQ(text, "0101234789");
    MemMove(text, text + 3, 5);
    EXPECT_STREQ(text, "1234734789");
}

void Fault(void* reason) {
    sim::RaiseProcessorFault(static_cast<const char*>(reason));
}
void Normal(void* flag) {
    *static_cast<bool*>(flag) = true;
}

TEST(GuardTest, FaultInsideGuardIsCaughtAndExecutionGoesOn) {
    const uint64_t before = sim::CaughtFaultCount();
    EXPECT_EQ(RunGuarded(&Fault, const_cast<char*>("unmapped read at 0x1234")), 0);
    EXPECT_EQ(sim::CaughtFaultCount(), before + 1);
    EXPECT_EQ(sim::LastCaughtFault(), "unmapped read at 0x1234");
    bool ran = false;
    EXPECT_EQ(RunGuarded(&Normal, &ran), 1);
    EXPECT_TRUE(ran);
    EXPECT_EQ(sim::CaughtFaultCount(), before + 1);
}

TEST(GuardTest, InnerGuardCatchesAndOuterGoesOn) {
    struct Nested {
        static void Outer(void* result) {
            *static_cast<Bool*>(result) = RunGuarded(&Fault, const_cast<char*>("inner"));
        }
    };
    Bool inner = 2;
    EXPECT_EQ(RunGuarded(&Nested::Outer, &inner), 1);
    EXPECT_EQ(inner, 0);
}

TEST(GuardDeathTest, FaultOutsideGuardAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    bool ran = false;
    RunGuarded(&Normal, &ran);  // a finished guard no longer protects
    EXPECT_DEATH(sim::RaiseProcessorFault("write of 0xdead"), "processor fault: write of 0xdead");
}

TEST(GuardDeathTest, PureVirtualCallAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(PureVirtualCalled(), "pure virtual function called");
}

TEST(SystemEventTest, RaisedEventsAreRecorded) {
    sim::ClearRaisedSystemEvents();
    RaiseSystemEvent(kNotifyRs232Detected, nullptr);
    RaiseSystemEvent(3, u"");
    EXPECT_EQ(sim::RaisedSystemEvents(), (std::vector<uint32_t>{9, 3}));
    sim::ClearRaisedSystemEvents();
    EXPECT_TRUE(sim::RaisedSystemEvents().empty());
}

TEST(LibraryCallsTest, DisableIsRecordedPerModule) {
    int module = 0, other = 0;
    EXPECT_EQ(DisableThreadLibraryCalls(&module), 1);
    EXPECT_TRUE(sim::ThreadLibraryCallsDisabled(&module));
    EXPECT_FALSE(sim::ThreadLibraryCallsDisabled(&other));
}

class DebugMessageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lines().clear();
        sim::SetDebugSink([](const std::string& line) { lines().push_back(line); });
        std::memset(&zones_, 0, sizeof zones_);
        std::memcpy(zones_.moduleName, u"Serial", sizeof u"Serial");
        zones_.zoneMask = 0x8001;
    }
    void TearDown() override { sim::SetDebugSink(nullptr); }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> collected;
        return collected;
    }
    DebugZones zones_;
};

TEST_F(DebugMessageTest, PrintsOnlyZonesThatAreOnWithTheModuleName) {
    DebugMessage(&zones_, 0x0001, "Init port %d\r\n", 3);
    DebugMessage(&zones_, 0x0002, "Open %s", "hidden");
    DebugMessage(&zones_, 0x8002, "Error %u", 7u);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Serial: Init port 3", "Serial: Error 7"}));
}

}  // namespace
