// Critical sections: exclusion, recursion, teardown, and the lock-order checker.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"
#include "tests/kernel/test_util.h"

namespace {

using namespace plat;
using ::testing::HasSubstr;

struct Section {
    explicit Section(const char* name = nullptr) { CsInit(&cs, name); }
    ~Section() { CsDelete(&cs); }
    void Enter() { CsEnter(&cs); }
    void Leave() { CsLeave(&cs); }
    CriticalSection cs{};
};

TEST(CriticalSectionTest, ExcludesOtherThreads) {
    Section s;
    int64_t counter = 0;
    auto work = [&] {
        for (int i = 0; i < 50000; ++i) {
            s.Enter();
            counter = counter + 1;
            s.Leave();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 100000);
}

TEST(CriticalSectionTest, OwnerReentersAndOthersWaitForTheLastLeave) {
    Section s("Recursive");
    s.Enter();
    s.Enter();
    EXPECT_EQ(sim::HeldLocks(), std::vector<std::string>{"Recursive"});
    std::atomic<bool> entered{false};
    std::thread other([&] {
        s.Enter();
        entered = true;
        s.Leave();
    });
    s.Leave();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load()) << "entered while the owner still held it once";
    EXPECT_EQ(sim::HeldLocks().size(), 1u);
    s.Leave();
    EXPECT_TRUE(kt::Eventually([&] { return entered.load(); }));
    other.join();
    EXPECT_TRUE(sim::HeldLocks().empty());
}

TEST(CriticalSectionTest, HeldLocksListsNestingInnermostLast) {
    Section a("Outer"), b("Inner");
    a.Enter();
    b.Enter();
    EXPECT_EQ(sim::HeldLocks(), (std::vector<std::string>{"Outer", "Inner"}));
    a.Leave();  // out of order release is allowed
    EXPECT_EQ(sim::HeldLocks(), std::vector<std::string>{"Inner"});
    b.Leave();
    EXPECT_TRUE(sim::HeldLocks().empty());
}

TEST(CriticalSectionTest, DeleteOfZeroFilledOrDeletedRecordDoesNothing) {
    CriticalSection zero{};
    CsDelete(&zero);
    EXPECT_EQ(zero.impl, nullptr);
    CriticalSection cs{};
    CsInit(&cs, "Once");
    EXPECT_NE(cs.impl, nullptr);
    CsDelete(&cs);
    EXPECT_EQ(cs.impl, nullptr);
    CsDelete(&cs);
}

void Nest(Section& outer, Section& inner) {
    outer.Enter();
    inner.Enter();
    inner.Leave();
    outer.Leave();
}

#ifdef NDEBUG
#define SKIP_WITHOUT_CHECKER() GTEST_SKIP() << "lock-order checking is off with NDEBUG"
#else
#define SKIP_WITHOUT_CHECKER() (void)0
#endif
// Tests that really take two sections in both orders; the thread sanitizer reports such
// inversions itself and fails the run.
#if defined(__SANITIZE_THREAD__)
#define SKIP_INVERSION() GTEST_SKIP() << "the thread sanitizer reports the inversion itself"
#else
#define SKIP_INVERSION() SKIP_WITHOUT_CHECKER()
#endif

// Collects the checker's reports instead of aborting.
class LockOrderTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard lock(mutex_);
            reports_.clear();
        }
        sim::SetLockOrderHandler(&Collect);
        countBefore_ = sim::LockOrderReportCount();
    }
    void TearDown() override { sim::SetLockOrderHandler(nullptr); }

    static void Collect(const std::string& report) {
        std::lock_guard lock(mutex_);
        reports_.push_back(report);
    }
    static std::vector<std::string> Reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    uint64_t NewReports() const { return sim::LockOrderReportCount() - countBefore_; }

    static inline std::mutex mutex_;
    static inline std::vector<std::string> reports_;
    uint64_t countBefore_ = 0;
};

TEST_F(LockOrderTest, InvertedPairIsReportedWithBothNames) {
    SKIP_INVERSION();
    Section a("OpenListLock"), b("hardwareLock");
    Nest(a, b);
    EXPECT_EQ(NewReports(), 0u);
    Nest(b, a);
    ASSERT_EQ(NewReports(), 1u);
    const std::string report = Reports().at(0);
    EXPECT_THAT(report, HasSubstr("entering \"OpenListLock\" while holding \"hardwareLock\""));
    EXPECT_THAT(report, HasSubstr("\"OpenListLock\" -> \"hardwareLock\""));
    // The same inversion again is not reported twice.
    Nest(b, a);
    EXPECT_EQ(NewReports(), 1u);
}

TEST_F(LockOrderTest, InversionThroughAPathIsReported) {
    SKIP_INVERSION();
    Section a("TransmitLock"), b("TransmitBufferLock"), c("hardwareLock");
    Nest(a, b);
    Nest(b, c);
    Nest(c, a);
    ASSERT_EQ(NewReports(), 1u);
    EXPECT_THAT(Reports().at(0),
                HasSubstr("\"TransmitLock\" -> \"TransmitBufferLock\" -> \"hardwareLock\""));
}

TEST_F(LockOrderTest, InversionSeenOnAnotherThreadIsReported) {
    SKIP_INVERSION();
    Section a("A"), b("B");
    std::thread([&] { Nest(a, b); }).join();
    std::thread([&] { Nest(b, a); }).join();
    EXPECT_EQ(NewReports(), 1u);
}

TEST_F(LockOrderTest, ConsistentOrderAndRecursionStaySilent) {
    SKIP_WITHOUT_CHECKER();
    Section a("hardwareLock"), b("interruptLock");
    auto work = [&] {
        for (int i = 0; i < 1000; ++i) {
            a.Enter();
            b.Enter();
            a.Enter();  // re-entry of a held section while holding b: records nothing
            b.Enter();
            b.Leave();
            a.Leave();
            b.Leave();
            a.Leave();
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(NewReports(), 0u);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(LockOrderTest, DeletedSectionForgetsItsOrder) {
    SKIP_WITHOUT_CHECKER();
    Section a("Keep");
    {
        Section b("Gone");
        Nest(a, b);
    }
    // A new section, possibly at the same address, starts without history.
    Section c("New");
    Nest(c, a);
    EXPECT_EQ(NewReports(), 0u);
}

TEST_F(LockOrderTest, UnnamedSectionIsReportedByAddress) {
    SKIP_INVERSION();
    Section a, b("Named");
    Nest(a, b);
    Nest(b, a);
    ASSERT_EQ(NewReports(), 1u);
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(&a.cs));
    EXPECT_THAT(Reports().at(0), HasSubstr(address));
}

TEST(LockOrderDeathTest, DefaultHandlerPrintsAndAborts) {
    SKIP_INVERSION();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto invert = [] {
        Section first("First");
        Section second("Second");
        Nest(first, second);
        Nest(second, first);
    };
    EXPECT_DEATH(invert(), "lock order inversion: entering \"First\" while holding \"Second\"");
}

}  // namespace

namespace {

// The report of the thread with the given label, or a default one (empty label) when absent.
sim::ThreadReport ReportOf(const std::string& label) {
    for (const sim::ThreadReport& t : sim::ThreadReports())
        if (t.label == label) return t;
    return {};
}

// A deadlock report must say who holds what and who waits for what: a thread holding one
// section blocked on a second that another holds, and a thread blocked on an event.
TEST(ThreadReportTest, NamesHeldSectionsAndWhatEachThreadIsBlockedOn) {
    Section outer("test::outer"), inner("test::inner");
    const Handle event = EventCreate();
    ASSERT_NE(event, 0u);
    inner.Enter();
    std::thread locker([&] {
        sim::SetThreadLabel("locker");
        outer.Enter();
        inner.Enter();  // blocks until the main thread leaves
        inner.Leave();
        outer.Leave();
    });
    std::thread waiter([&] {
        sim::SetThreadLabel("waiter");
        WaitOne(event, kInfinite);
    });
    ASSERT_TRUE(kt::Eventually([&] {
        return ReportOf("locker").blockedOn.find("inner") != std::string::npos &&
               !ReportOf("waiter").blockedOn.empty();
    }));
    const sim::ThreadReport locker_ = ReportOf("locker");
    EXPECT_THAT(locker_.held, ::testing::ElementsAre("test::outer"));
    EXPECT_EQ(locker_.blockedOn, "critical section \"test::inner\"");
    EXPECT_THAT(ReportOf("waiter").blockedOn, HasSubstr("event"));
    EXPECT_THAT(ReportOf("waiter").held, ::testing::IsEmpty());
    const std::string text = sim::FormatThreadReports(sim::ThreadReports());
    EXPECT_THAT(text, HasSubstr("locker [tid "));
    EXPECT_THAT(text, HasSubstr("holds \"test::outer\"; blocked "));

    inner.Leave();
    EventSet(event);
    locker.join();
    waiter.join();
    EXPECT_EQ(ReportOf("locker").label, "") << "an ended thread is dropped";
    EXPECT_TRUE(ReportOf("waiter").label.empty());
    HandleClose(event);
}

// Platform threads carry their number and where their start routine is (its symbol when the
// module exports one, else the module and offset) in the report.
uint32_t WaitForEvent(void* event) {
    WaitOne(static_cast<Handle>(reinterpret_cast<uintptr_t>(event)), kInfinite);
    return 0;
}

TEST(ThreadReportTest, PlatformThreadIsLabelledWithItsStartRoutine) {
    const Handle event = EventCreate();
    uint32_t id = 0;
    const Handle thread =
        ThreadCreate(0, &WaitForEvent, reinterpret_cast<void*>(uintptr_t{event}), 0, &id);
    ASSERT_NE(thread, 0u);
    const std::string label = "thread " + std::to_string(id);
    ASSERT_TRUE(kt::Eventually([&] {
        for (const sim::ThreadReport& t : sim::ThreadReports())
            if (t.label.rfind(label, 0) == 0 && !t.blockedOn.empty()) return true;
        return false;
    }));
    std::string found;
    for (const sim::ThreadReport& t : sim::ThreadReports())
        if (t.label.rfind(label, 0) == 0) found = t.label;
    EXPECT_THAT(found, HasSubstr("kernel_test"));
    EventSet(event);
    EXPECT_EQ(WaitOne(thread, 5000), kWaitSignalled);
    HandleClose(thread);
    HandleClose(event);
}

}  // namespace
