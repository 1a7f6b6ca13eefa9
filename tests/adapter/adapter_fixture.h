// A machine with cards on the bus and their device keys, for driving the adapter directly.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter_family.h"
#include "adapter/pci_adapter.h"
#include "hw/serial_port.h"
#include "platform/kernel.h"
#include "sim/hw/card.h"

namespace adaptertest {

// What a card and its device key look like; the defaults make a working 4-port card.
struct BoardSpec {
    uint16_t subsystemId = 0x0A41;
    uint16_t deviceId = 0x0154;
    bool writeDeviceId = true;
    bool writeSubsystemId = true;
    uint32_t clockRate = 14745600;
    std::optional<sim::EepromImage> eeprom;
    std::optional<uint32_t> memLen;   // device key "MemLen"; default the card's window
    std::optional<uint32_t> sysIntr;  // device key "SysIntr"; default an allocated one
    std::u16string prefix = u"KAP";
    bool writePrefix = true;
    std::optional<std::u16string> dll = u"nodriver.dll";
    std::optional<uint32_t> priority;
    std::u16string isrDll = u"zelisr.dll";
    bool timerNeverExpires = false;
    bool attachInIoSpace = false;  // the window answers in I/O space instead of memory
};

struct Board {
    std::shared_ptr<sim::Card> card;
    uint64_t busAddress = 0;
    uint32_t irq = 0;
    uint32_t sysIntr = 0;
    std::u16string deviceKey;
    std::u16string activeKey;
    bool ioWindow = false;  // the window is a stand-in in I/O space, not the card
};

// A port object that only records its interrupt service.
class FakePort : public zel::SerialPort {
  public:
    struct Log {
        std::mutex mutex;
        std::vector<uint32_t> served;
    };
    FakePort(uint32_t number, Log* log, sim::Card* card, uint8_t clears)
        : SerialPort(nullptr, nullptr), number_(number), log_(log), card_(card), clears_(clears) {}

    uint32_t ServiceInterrupt() override {
        {
            std::lock_guard<std::mutex> lock(log_->mutex);
            log_->served.push_back(number_);
        }
        entered.store(true);
        if (serviceMs != 0) plat::SleepMs(serviceMs);
        if (card_ != nullptr) card_->ClearForcedStatus(clears_);
        finished.store(true);
        return 0;
    }

    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    uint32_t serviceMs = 0;

    void SaveHardwareState() override {}
    void RestoreHardwareState() override {}
    plat::Bool InitTransmit(plat::Bool) override { return 1; }
    uint32_t TransmitData(const uint8_t*, uint32_t* count) override { return *count = 0; }
    uint32_t TransmitImmediate(uint8_t) override { return 0; }
    plat::Bool EnableTransmitInterrupt(plat::Bool) override { return 1; }
    uint32_t ClearTransmit() override { return 0; }
    plat::Bool InitReceive(plat::Bool) override { return 1; }
    uint32_t ReceiveData(uint8_t*, uint32_t* count) override { return *count = 0; }
    uint32_t ClearReceive() override { return 0; }
    plat::Bool InitModem(plat::Bool) override { return 1; }
    uint32_t ServiceModemStatus() override { return 0; }
    uint32_t GetModemStatus() override { return 0; }
    uint32_t SetDTR(plat::Bool) override { return 0; }
    uint32_t SetRTS(plat::Bool) override { return 0; }
    plat::Bool InitLineStatus(plat::Bool) override { return 1; }
    uint32_t ServiceLineStatus() override { return 0; }
    void SetBreak(plat::Bool) override {}
    plat::Bool SetBaudRate(uint32_t, plat::Bool) override { return 1; }
    plat::Bool SetByteSize(uint32_t) override { return 1; }
    plat::Bool SetParity(uint32_t) override { return 1; }
    plat::Bool SetStopBits(uint32_t) override { return 1; }

  private:
    const uint32_t number_;
    Log* const log_;
    sim::Card* const card_;
    const uint8_t clears_;
};

class AdapterTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    Board MakeBoard(const BoardSpec& spec = {});
    // A fresh family (counter 1, empty list) that outlives every adapter of the test.
    zel::AdapterFamily& NewFamily() { return families_.emplace_back(); }
    // Runs the family's Init entry point behaviour; the adapter is destroyed at tear-down
    // unless the test did so.
    zel::PciAdapter* InitAdapter(zel::AdapterFamily* family, const Board& board);
    void DeinitAdapter(zel::PciAdapter* adapter);

    static bool WaitUntil(const std::function<bool()>& condition, uint32_t timeoutMs = 5000);

    std::deque<zel::AdapterFamily> families_;
    std::vector<Board> boards_;
    std::vector<zel::PciAdapter*> adapters_;
    size_t baselineHandles_ = 0;
    size_t baselineMappings_ = 0;
    size_t baselineHandlers_ = 0;
    uint64_t baselineBlocks_ = 0;
};

// "Drivers\ZELSer\FAM_<prefix>&BID_<bb>&PID_<pp>"
std::u16string PortKeyPath(std::u16string_view prefix, uint32_t board, uint32_t port);

}  // namespace adaptertest
