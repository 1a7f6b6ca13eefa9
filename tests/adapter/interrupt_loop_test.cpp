// The card's interrupt thread: one status read per signal, registered ports served lowest
// first, the pass markers and the end of interrupt, and how the thread is stopped.
#include <chrono>

#include "adapter_fixture.h"
#include "sim/irq/sim_irq.h"

namespace adaptertest {
namespace {

// Records the port lookups the interrupt thread makes and the thread's exit code.
class RecordingAdapter : public zel::PciAdapter {
  public:
    struct Record {
        std::mutex mutex;
        std::vector<uint32_t> lookups;
        std::atomic<uint32_t> exitCode{0};
    };
    RecordingAdapter(const plat::WChar* path, Record* record) : PciAdapter(path), record_(record) {}
    // The thread calls the overrides below: it must end before they go away.
    ~RecordingAdapter() override { StopInterruptThread(); }

    zel::SerialPort* FindPort(uint32_t portNumber) override {
        {
            std::lock_guard<std::mutex> lock(record_->mutex);
            record_->lookups.push_back(portNumber);
        }
        return PciAdapter::FindPort(portNumber);
    }
    uint32_t Run() override {
        const uint32_t result = PciAdapter::Run();
        record_->exitCode.store(result);
        return result;
    }

  private:
    Record* const record_;
};

class InterruptLoopTest : public AdapterTest {
  protected:
    // A card with the given subsystem, its adapter initialised directly, counters cleared.
    void Start(uint16_t subsystemId) {
        BoardSpec spec;
        spec.subsystemId = subsystemId;
        board_ = MakeBoard(spec);
        adapter_ = new (std::nothrow) RecordingAdapter(board_.activeKey.c_str(), &record_);
        ASSERT_NE(adapter_, nullptr);
        ASSERT_TRUE(adapter_->Init(board_.activeKey.c_str()));
        board_.card->ResetCounters();
        basePasses_ = sim::IrqCountersOf(board_.sysIntr).passes;
    }
    void TearDown() override {
        for (FakePort* port : ports_) delete port;
        ports_.clear();
        if (adapter_ != nullptr) delete adapter_;
        AdapterTest::TearDown();
    }
    FakePort* AddPort(uint32_t number, uint8_t clears) {
        auto* port = new (std::nothrow) FakePort(number, &log_, board_.card.get(), clears);
        EXPECT_TRUE(adapter_->AddPort(port, number));
        ports_.push_back(port);
        return port;
    }
    uint64_t Passes() const { return sim::IrqCountersOf(board_.sysIntr).passes - basePasses_; }
    std::vector<uint32_t> Served() {
        std::lock_guard<std::mutex> lock(log_.mutex);
        return log_.served;
    }
    std::vector<uint32_t> Lookups() {
        std::lock_guard<std::mutex> lock(record_.mutex);
        return record_.lookups;
    }
    // Lets any further pass happen before the counts are compared.
    void Settle() {
        sim::IrqSettle();
        plat::SleepMs(50);
        sim::IrqSettle();
    }

    Board board_;
    RecordingAdapter* adapter_ = nullptr;
    RecordingAdapter::Record record_;
    FakePort::Log log_;
    std::vector<FakePort*> ports_;
    uint64_t basePasses_ = 0;
};

struct PassCase {
    const char* name;
    uint16_t subsystemId;
    std::vector<std::pair<uint32_t, uint8_t>> ports;  // registered: number, status bits cleared
    uint8_t status;
    std::vector<uint32_t> served;
};

class InterruptPass : public InterruptLoopTest, public ::testing::WithParamInterface<PassCase> {};

TEST_P(InterruptPass, ServesRegisteredInterruptingPortsInOnePass) {
    const PassCase& c = GetParam();
    Start(c.subsystemId);
    for (auto [number, clears] : c.ports) AddPort(number, clears);

    board_.card->ForceStatus(c.status);
    ASSERT_TRUE(WaitUntil([&] { return Passes() >= 1; }));
    Settle();
    EXPECT_EQ(Passes(), 1u);
    EXPECT_EQ(Served(), c.served);
    // Only ports whose bit is set and that are registered are looked up.
    EXPECT_EQ(Lookups(), c.served);
    EXPECT_EQ(board_.card->PassMarkerHistory(), (std::vector<uint8_t>{255, 254}));
    EXPECT_FALSE(board_.card->LineAsserted());
}

const PassCase kPassCases[] = {
    {"Ports1And3", 0x0A41, {{1, 0x01}, {3, 0x04}}, 0x05, {1, 3}},
    {"OnlyPort3Registered", 0x0A41, {{3, 0x05}}, 0x05, {3}},
    {"Port8OfEight", 0x0A42, {{8, 0x80}, {2, 0x02}}, 0x80, {8}},
    {"AllFourLowestFirst",
     0x0A41,
     {{4, 0x08}, {2, 0x02}, {1, 0x01}, {3, 0x04}},
     0x0F,
     {1, 2, 3, 4}},
};

INSTANTIATE_TEST_SUITE_P(Cases, InterruptPass, ::testing::ValuesIn(kPassCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InterruptLoopTest, SignalWithNothingPendingStillMarksAndEndsThePass) {
    Start(0x0A41);
    AddPort(1, 0x01);
    ASSERT_TRUE(plat::EventSet(adapter_->InterruptEvent()));
    ASSERT_TRUE(WaitUntil([&] { return Passes() >= 1; }));
    Settle();
    EXPECT_EQ(Passes(), 1u);
    EXPECT_TRUE(Served().empty());
    EXPECT_TRUE(Lookups().empty());
    EXPECT_EQ(board_.card->PassMarkerHistory(), (std::vector<uint8_t>{255, 254}));
    EXPECT_EQ(board_.card->Counters().statusReads, 1u);  // the thread's; no handler run
}

TEST_F(InterruptLoopTest, StatusIsReadOncePerPass) {
    Start(0x0A41);
    FakePort* port1 = AddPort(1, 0x01);
    port1->serviceMs = 100;
    AddPort(2, 0x02);
    board_.card->ForceStatus(0x01);
    ASSERT_TRUE(WaitUntil([&] { return port1->entered.load(); }));
    // Raised while the pass runs: served in a later pass, after the end of interrupt.
    board_.card->ForceStatus(0x02);
    ASSERT_TRUE(WaitUntil([&] { return Passes() >= 2; }));
    Settle();
    EXPECT_EQ(Passes(), 2u);
    EXPECT_EQ(Served(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(board_.card->PassMarkerHistory(), (std::vector<uint8_t>{255, 254, 255, 254}));
}

TEST_F(InterruptLoopTest, RemovedPortIsNotServed) {
    Start(0x0A41);
    FakePort* port = AddPort(2, 0x02);
    EXPECT_TRUE(adapter_->RemovePort(port));
    {
        std::lock_guard<std::mutex> lock(record_.mutex);
        record_.lookups.clear();  // the removal's own
    }
    board_.card->ForceStatus(0x02);
    // Nobody clears the bit: the line keeps asking; no pass reaches the port.
    ASSERT_TRUE(WaitUntil([&] { return Passes() >= 3; }));
    board_.card->ClearForcedStatus(0x02);
    Settle();
    EXPECT_TRUE(Served().empty());
    EXPECT_TRUE(Lookups().empty());
}

TEST_F(InterruptLoopTest, StopRequestGivesExactlyOneMorePass) {
    Start(0x0A41);
    delete adapter_;
    adapter_ = nullptr;
    EXPECT_EQ(record_.exitCode.load(), 1u);
    EXPECT_EQ(Passes(), 1u);
    EXPECT_EQ(board_.card->PassMarkerHistory(), (std::vector<uint8_t>{255, 254}));
    EXPECT_FALSE(sim::IrqCountersOf(board_.sysIntr).bound);
}

// A pass that outlasts the destructor's 1000 ms wait: the thread is not cut off while it
// still uses the registers, it finishes its pass and only then is everything released.
TEST_F(InterruptLoopTest, SlowPassFinishesBeforeTheAdapterIsReleased) {
    Start(0x0A41);
    FakePort* slow = AddPort(1, 0x01);
    slow->serviceMs = 1500;
    board_.card->ForceStatus(0x01);
    ASSERT_TRUE(WaitUntil([&] { return slow->entered.load(); }));
    const auto start = std::chrono::steady_clock::now();
    delete adapter_;
    adapter_ = nullptr;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_TRUE(slow->finished.load());
    EXPECT_EQ(record_.exitCode.load(), 1u);
    // The pass ended on the card: 254 written and the end of interrupt signalled.
    EXPECT_EQ(board_.card->PassMarkerHistory(), (std::vector<uint8_t>{255, 254}));
    EXPECT_EQ(Passes(), 1u);
    EXPECT_EQ(slow->OwningAdapter(), nullptr);
}

TEST_F(InterruptLoopTest, MaskedInterruptIsHeldUntilUnmasked) {
    Start(0x0A41);
    AddPort(1, 0x01);
    adapter_->MaskInterrupt(1);
    board_.card->ForceStatus(0x01);
    Settle();
    EXPECT_EQ(Passes(), 0u);
    adapter_->MaskInterrupt(0);
    ASSERT_TRUE(WaitUntil([&] { return Passes() >= 1; }));
    EXPECT_EQ(Served(), (std::vector<uint32_t>{1}));
}

}  // namespace
}  // namespace adaptertest
