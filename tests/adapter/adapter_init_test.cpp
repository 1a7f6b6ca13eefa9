// Adapter initialisation on a card model: card identification, the interrupt handling, the
// clock rate from the EEPROM, and every way it can fail without leaking.
#include <chrono>

#include "adapter/adapter_registers.h"
#include "adapter_fixture.h"
#include "sim/irq/sim_irq.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"
#include "uart/uart_port.h"

namespace adaptertest {
namespace {

TEST(CardModels, TableMatchesTheKnownSubsystems) {
    struct Case {
        uint16_t subsystemId;
        uint32_t ports;  // 0: refused
        uint32_t windowLength;
    };
    const Case cases[] = {
        {0x0A40, 2, 1024}, {0x0A48, 2, 1024}, {0x0A58, 2, 1024}, {0x0A60, 2, 1024},
        {0x0A66, 2, 1024}, {0x0A41, 4, 2048}, {0x0A59, 4, 2048}, {0x0A42, 8, 4096},
        {0x0A4A, 8, 4096}, {0x0A5A, 8, 4096}, {0x0A5C, 0, 0},    {0x0A67, 0, 0},
        {0x0A43, 0, 0},    {0x0000, 0, 0},
    };
    for (const Case& c : cases) {
        const zel::CardModel* model = zel::FindCardModel(c.subsystemId);
        if (c.ports == 0) {
            EXPECT_EQ(model, nullptr) << std::hex << c.subsystemId;
            continue;
        }
        ASSERT_NE(model, nullptr) << std::hex << c.subsystemId;
        EXPECT_EQ(model->portCount, c.ports) << std::hex << c.subsystemId;
        EXPECT_EQ(model->windowLength, c.windowLength) << std::hex << c.subsystemId;
    }
}

TEST_F(AdapterTest, InitIdentifiesTheCardAndInstallsInterruptHandling) {
    BoardSpec spec;
    spec.subsystemId = 0x0A42;  // eight ports
    const Board board = MakeBoard(spec);
    zel::AdapterFamily& family = NewFamily();
    zel::PciAdapter* adapter = InitAdapter(&family, board);
    ASSERT_NE(adapter, nullptr);

    EXPECT_EQ(sim::reg::GetDword(board.deviceKey + u"\\Properties", u"NumPorts"), 8u);
    EXPECT_EQ(adapter->PortCount(), 8u);
    EXPECT_EQ(adapter->WindowBase(), board.busAddress);
    EXPECT_EQ(adapter->RegisterLength(), 20u);
    EXPECT_EQ(adapter->SysIntr(), board.sysIntr);
    EXPECT_EQ(adapter->ClockRate(), 14745600u);
    EXPECT_TRUE(sim::IrqCountersOf(board.sysIntr).bound);
    EXPECT_FALSE(sim::IrqCountersOf(board.sysIntr).masked);  // unmasked after the EEPROM read
    EXPECT_EQ(sim::IrqLoadedHandlerCount(), baselineHandlers_ + 1);
    EXPECT_EQ(board.card->LastPassMarker(), 254);
    EXPECT_EQ(board.card->LastMarker93(), 254);
    EXPECT_EQ(sim::ThreadPriorityOf(adapter->ThreadHandle()), 159);

    // A second table is not built.
    const zel::AdapterRegisters* table = adapter->Registers();
    EXPECT_TRUE(adapter->CreateAdapterRegisters());
    EXPECT_EQ(adapter->Registers(), table);

    adapter->MaskInterrupt(1);
    EXPECT_TRUE(sim::IrqCountersOf(board.sysIntr).masked);
    adapter->MaskInterrupt(0);
    EXPECT_FALSE(sim::IrqCountersOf(board.sysIntr).masked);

    DeinitAdapter(adapter);
    EXPECT_FALSE(sim::IrqCountersOf(board.sysIntr).bound);
}

TEST_F(AdapterTest, InterruptThreadRunsAtTheConfiguredPriority) {
    BoardSpec spec;
    spec.priority = 100;
    zel::AdapterFamily& family = NewFamily();
    zel::PciAdapter* adapter = InitAdapter(&family, MakeBoard(spec));
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(sim::ThreadPriorityOf(adapter->ThreadHandle()), 100);
}

TEST_F(AdapterTest, ClockRateComesFromTheDeviceIdsWordPair) {
    struct Case {
        uint16_t deviceId;
        std::vector<std::pair<uint32_t, uint16_t>> words;
        uint32_t clockRate;
    };
    const Case cases[] = {
        {0x0158, {{4, 0x0010}, {5, 0x0002}}, 0x20010},
        {0x0258, {{4, 0x0010}, {5, 0x0002}, {6, 0x1234}, {7, 0x0001}}, 0x11234},
        {0x0152, {{4, 0xC200}, {5, 0x0001}, {6, 0x5555}}, 0x1C200},
        {0x0254, {{6, 0xFFFF}, {7, 0x00E0}}, 0xE0FFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.deviceId);
        BoardSpec spec;
        spec.deviceId = c.deviceId;
        sim::EepromImage image{};
        for (auto [word, value] : c.words) image[word] = value;
        spec.eeprom = image;
        zel::AdapterFamily& family = NewFamily();
        zel::PciAdapter* adapter = InitAdapter(&family, MakeBoard(spec));
        ASSERT_NE(adapter, nullptr);
        EXPECT_EQ(adapter->ClockRate(), c.clockRate);
        DeinitAdapter(adapter);
    }
}

TEST_F(AdapterTest, BlankEepromReadingAllOnesGivesAllOnesClock) {
    BoardSpec spec;
    sim::EepromImage ones;
    ones.fill(0xFFFF);
    spec.eeprom = ones;
    zel::AdapterFamily& family = NewFamily();
    zel::PciAdapter* adapter = InitAdapter(&family, MakeBoard(spec));
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->ClockRate(), 0xFFFFFFFFu);
}

// Each case breaks one thing; Init fails, nothing leaks (see the fixture), no board number is
// used, and the card shows how far initialisation got.
struct InitFailure {
    const char* name;
    std::function<void(BoardSpec&)> change;
    bool reachedInterruptSetup;  // 254 written to 0x93
    bool readEeprom;             // the EEPROM control register was driven
};

class AdapterInitFailure : public AdapterTest, public ::testing::WithParamInterface<InitFailure> {};

TEST_P(AdapterInitFailure, FailsCleanly) {
    const InitFailure& f = GetParam();
    BoardSpec spec;
    f.change(spec);
    const Board board = MakeBoard(spec);
    zel::AdapterFamily& family = NewFamily();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(InitAdapter(&family, board), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(family.nextBoardNumber, 1u);
    EXPECT_EQ(family.adapterList.Count(), 0u);
    const sim::CardCounters counters = board.card->Counters();
    EXPECT_EQ(counters.marker93Writes != 0, f.reachedInterruptSetup);
    EXPECT_EQ(counters.eepromControlWrites != 0, f.readEeprom);
    EXPECT_FALSE(sim::IrqCountersOf(board.sysIntr).bound);
    EXPECT_TRUE(sim::reg::Values(u"Drivers\\ZELSer").empty());
}

const InitFailure kInitFailures[] = {
    {"UnlistedSubsystem", [](BoardSpec& s) { s.subsystemId = 0x0A5C; }, false, false},
    {"SubsystemNotValid", [](BoardSpec& s) { s.writeSubsystemId = false; }, false, false},
    {"WindowLengthWrong", [](BoardSpec& s) { s.memLen = 1024; }, false, false},
    {"SystemInterruptZero", [](BoardSpec& s) { s.sysIntr = 0; }, false, false},
    {"SystemInterruptNone", [](BoardSpec& s) { s.sysIntr = 0xFFFFFFFFu; }, false, false},
    {"SystemInterruptUnknown", [](BoardSpec& s) { s.sysIntr = 0x7FFFFFF0u; }, false, false},
    {"UnknownInterruptHandler", [](BoardSpec& s) { s.isrDll = u"other.dll"; }, false, false},
    {"DeviceIdNotValid", [](BoardSpec& s) { s.writeDeviceId = false; }, true, false},
    {"DeviceIdWithoutClockRule", [](BoardSpec& s) { s.deviceId = 0x0153; }, true, true},
    {"DelayTimerNeverExpires", [](BoardSpec& s) { s.timerNeverExpires = true; }, true, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, AdapterInitFailure, ::testing::ValuesIn(kInitFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// Whichever allocation, handle creation or registry call fails, the adapter either starts or
// is destroyed with everything it had acquired, and only a started one uses up a number.
TEST_F(AdapterTest, InitHitByAnyFailedCallLeavesNothingBehind) {
    BoardSpec spec;
    spec.subsystemId = 0x0A40;  // two ports keep the number of calls down
    const Board board = MakeBoard(spec);
    const size_t handles = sim::LiveHandles().size();
    const uint64_t blocks = sim::LiveAllocations().blocks;
    for (sim::FailKind kind :
         {sim::FailKind::Allocation, sim::FailKind::Handle, sim::FailKind::Registry}) {
        uint32_t started = 0;
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(::testing::Message()
                         << "kind " << static_cast<int>(kind) << " call " << n);
            zel::AdapterFamily& family = NewFamily();
            const uint64_t before = sim::CallCount(kind);
            sim::FailNth(kind, n);
            void* adapter = zel::AdapterInit(&family, board.activeKey.c_str());
            const bool reached = sim::CallCount(kind) - before >= n;
            sim::DisarmAllFailures();
            // A number is used up only by an adapter that got through its own Init.
            EXPECT_LE(family.nextBoardNumber, 2u);
            EXPECT_EQ(family.adapterList.Count(), adapter != nullptr ? 1u : 0u);
            if (adapter != nullptr) {
                EXPECT_EQ(family.nextBoardNumber, 2u);
                ++started;
                EXPECT_EQ(zel::AdapterDeinit(adapter), 1);
            }
            ASSERT_EQ(sim::LiveHandles().size(), handles);
            ASSERT_EQ(sim::LiveAllocations().blocks, blocks);
            ASSERT_EQ(sim::IrqLoadedHandlerCount(), baselineHandlers_);
            ASSERT_FALSE(sim::IrqCountersOf(board.sysIntr).bound);
            if (!reached) {
                // No call of this kind failed: the adapter must have started.
                EXPECT_NE(adapter, nullptr);
                break;
            }
            ASSERT_LT(n, 2000u) << "initialisation never ends";
        }
        EXPECT_GE(started, 1u);
    }
}

TEST_F(AdapterTest, UnlistedSubsystemRecordsNoPortCount) {
    BoardSpec spec;
    spec.subsystemId = 0x0A5C;
    const Board board = MakeBoard(spec);
    zel::AdapterFamily& family = NewFamily();
    EXPECT_EQ(InitAdapter(&family, board), nullptr);
    EXPECT_FALSE(sim::reg::KeyExists(board.deviceKey + u"\\Properties"));
}

TEST_F(AdapterTest, WindowInIoSpaceIsRefusedAndNothingIsUnmapped) {
    BoardSpec spec;
    spec.attachInIoSpace = true;
    const Board board = MakeBoard(spec);
    auto* adapter = new (std::nothrow) zel::PciAdapter(board.activeKey.c_str());
    ASSERT_NE(adapter, nullptr);
    EXPECT_FALSE(adapter->Init(board.activeKey.c_str()));
    EXPECT_EQ(adapter->RegisterBase(), 0u);
    EXPECT_EQ(adapter->RegisterLength(), 0u);
    EXPECT_EQ(adapter->Registers(), nullptr);
    const uint64_t refused = sim::RefusedUnmapCount();
    delete adapter;
    EXPECT_EQ(sim::RefusedUnmapCount(), refused);
}

TEST_F(AdapterTest, AdapterThatNeverInitialisedIsDestroyedCleanly) {
    const Board board = MakeBoard();
    // A key that names no device: Init fails at once, the thread never ran.
    auto* adapter = new (std::nothrow) zel::PciAdapter(u"Drivers\\Active\\nothing");
    ASSERT_NE(adapter, nullptr);
    EXPECT_FALSE(adapter->Init(u"Drivers\\Active\\nothing"));
    EXPECT_EQ(adapter->InterruptEvent(), 0u);
    delete adapter;
    EXPECT_EQ(board.card->Counters().passMarkerWrites, 0u);
}

TEST_F(AdapterTest, PortObjectsAreUartPorts) {
    zel::AdapterFamily& family = NewFamily();
    zel::PciAdapter* adapter = InitAdapter(&family, MakeBoard());
    ASSERT_NE(adapter, nullptr);
    zel::SerialPort* port = adapter->CreatePortObject(u"Drivers\\Active\\nothing", nullptr);
    ASSERT_NE(port, nullptr);
    EXPECT_NE(dynamic_cast<zel::UartPort*>(port), nullptr);
    delete port;
}

}  // namespace
}  // namespace adaptertest
