#include "adapter_fixture.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "sim/bus/sim_bus.h"
#include "sim/devmgr/devmgr.h"
#include "sim/irq/sim_irq.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"

namespace adaptertest {
namespace {

// Answers nothing: stands in for a window that the bus places in I/O space.
class IoWindow : public sim::BusTarget {
  public:
    std::string Name() const override { return "I/O window"; }
    uint8_t Read8(uint32_t) override { return 0; }
    void Write8(uint32_t, uint8_t) override {}
};

std::u16string Number(uint32_t n) {
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(u'0' + n % 10));
        n /= 10;
    } while (n != 0);
    return s;
}

}  // namespace

std::u16string PortKeyPath(std::u16string_view prefix, uint32_t board, uint32_t port) {
    auto two = [](uint32_t n) { return n < 10 ? u"0" + Number(n) : Number(n); };
    return u"Drivers\\ZELSer\\FAM_" + std::u16string(prefix) + u"&BID_" + two(board) + u"&PID_" +
           two(port);
}

void AdapterTest::SetUp() {
    sim::reg::ClearAll();
    sim::ClearActivationFailures();
    baselineHandles_ = sim::LiveHandles().size();
    baselineMappings_ = sim::LiveMappingCount();
    baselineHandlers_ = sim::IrqLoadedHandlerCount();
    baselineBlocks_ = sim::LiveAllocations().blocks;
}

void AdapterTest::TearDown() {
    for (zel::PciAdapter* adapter : adapters_) zel::AdapterDeinit(adapter);
    adapters_.clear();
    for (Board& board : boards_) {
        board.card->ClearForcedStatus(0xFF);
        if (board.ioWindow) {
            sim::BusDetach(board.busAddress);
        } else {
            board.card->Detach();
        }
        sim::IrqUnmapSysIntr(board.sysIntr);
    }
    boards_.clear();
    // Everything the adapters acquired is released again.
    EXPECT_EQ(sim::LiveHandles().size(), baselineHandles_);
    EXPECT_EQ(sim::LiveMappingCount(), baselineMappings_);
    EXPECT_EQ(sim::IrqLoadedHandlerCount(), baselineHandlers_);
    EXPECT_EQ(sim::LiveAllocations().blocks, baselineBlocks_);
}

Board AdapterTest::MakeBoard(const BoardSpec& spec) {
    static uint32_t serial = 0;
    const uint32_t n = ++serial;
    Board board;
    board.busAddress = 0x90000000ull + static_cast<uint64_t>(n) * 0x10000;
    board.irq = 100 + n;
    board.sysIntr = sim::IrqAllocateSysIntr(board.irq);

    sim::CardConfig config;
    config.name = "card" + std::to_string(n);
    config.deviceId = spec.deviceId;
    config.subsystemId = spec.subsystemId;
    config.busAddress = board.busAddress;
    config.irq = board.irq;
    config.clockRate = spec.clockRate;
    config.eeprom = spec.eeprom;
    board.card = sim::Card::Create(config);
    board.card->SetTimerNeverExpires(spec.timerNeverExpires);
    if (spec.attachInIoSpace) {
        sim::BusAttach(board.busAddress, board.card->WindowLength(), std::make_shared<IoWindow>(),
                       true);
    } else {
        board.card->Attach();
    }

    board.deviceKey = u"Drivers\\BuiltIn\\PCI\\Instance\\Card" + Number(n);
    board.activeKey = u"Drivers\\Active\\" + Number(50 + n);
    const std::u16string& key = board.deviceKey;
    namespace reg = sim::reg;
    reg::CreateKey(key);
    if (spec.dll) reg::SetString(key, u"Dll", *spec.dll);
    if (spec.writePrefix) reg::SetString(key, u"Prefix", spec.prefix);
    if (spec.priority) reg::SetDword(key, u"Priority256", *spec.priority);
    reg::SetDword(key, u"MemBase", static_cast<uint32_t>(board.busAddress));
    reg::SetDword(key, u"MemLen", spec.memLen.value_or(board.card->WindowLength()));
    reg::SetDword(key, u"InterfaceType", 5);
    reg::SetDword(key, u"BusNumber", 0);
    reg::SetDword(key, u"Irq", board.irq);
    reg::SetDword(key, u"SysIntr", spec.sysIntr.value_or(board.sysIntr));
    reg::SetString(key, u"IsrDll", spec.isrDll);
    reg::SetString(key, u"IsrHandler", u"IsrHandler");
    reg::SetDword(key, u"VendorID", 0);
    if (spec.writeDeviceId) reg::SetDword(key, u"DeviceID", spec.deviceId);
    if (spec.writeSubsystemId) reg::SetDword(key, u"SubSystemID", spec.subsystemId);
    reg::SetString(board.activeKey, u"Key", key);
    board.ioWindow = spec.attachInIoSpace;
    boards_.push_back(board);
    return board;
}

zel::PciAdapter* AdapterTest::InitAdapter(zel::AdapterFamily* family, const Board& board) {
    void* context = zel::AdapterInit(family, board.activeKey.c_str());
    if (context == nullptr) return nullptr;
    auto* adapter = static_cast<zel::PciAdapter*>(static_cast<zel::AdapterBase*>(context));
    adapters_.push_back(adapter);
    return adapter;
}

void AdapterTest::DeinitAdapter(zel::PciAdapter* adapter) {
    adapters_.erase(std::remove(adapters_.begin(), adapters_.end(), adapter), adapters_.end());
    EXPECT_EQ(zel::AdapterDeinit(static_cast<zel::AdapterBase*>(adapter)), 1);
}

bool AdapterTest::WaitUntil(const std::function<bool()>& condition, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace adaptertest
