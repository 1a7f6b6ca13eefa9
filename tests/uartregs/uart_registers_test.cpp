#include "hw/uart_registers.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hw/uart16550.h"
#include "platform/bus.h"
#include "sim/bus/sim_bus.h"

namespace zel {
namespace {

struct Access {
    bool write;
    uint32_t offset;
    uint8_t value;
    bool operator==(const Access&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Access& a) {
    return out << (a.write ? "write " : "read ") << a.offset << " = 0x" << std::hex << int{a.value}
               << std::dec;
}

// Records every access; reads answer what the test stored for the offset.
class Recorder : public sim::BusTarget {
  public:
    std::string Name() const override { return "recorder"; }
    uint8_t Read8(uint32_t offset) override {
        std::lock_guard lock(mutex);
        const uint8_t value = answers.count(offset) ? answers[offset] : 0;
        log.push_back({false, offset, value});
        return value;
    }
    void Write8(uint32_t offset, uint8_t value) override {
        std::lock_guard lock(mutex);
        log.push_back({true, offset, value});
    }
    std::vector<Access> Take() {
        std::lock_guard lock(mutex);
        return std::exchange(log, {});
    }
    void Answer(uint32_t offset, uint8_t value) {
        std::lock_guard lock(mutex);
        answers[offset] = value;
    }

  private:
    std::mutex mutex;
    std::vector<Access> log;
    std::map<uint32_t, uint8_t> answers;
};

enum class Kind { Io, Mapped, Fifo };

constexpr uint64_t kMemoryBus = 0xD0000000;
constexpr uint64_t kIoBus = 0x2F8;
constexpr uint32_t kFifoWindow = 0x12345600;

struct Setup {
    const char* name;
    Kind kind;
    uint32_t stride;
};

class UartRegistersTest : public ::testing::TestWithParam<Setup> {
  protected:
    void SetUp() override {
        const bool io = GetParam().kind == Kind::Io;
        busAddress = io ? kIoBus : kMemoryBus;
        sim::BusAttach(busAddress, 8 * GetParam().stride, recorder, io);
        uint32_t space = plat::kAddressSpaceMemory;
        plat::VirtAddr base = 0;
        ASSERT_TRUE(
            plat::BusStaticTranslate(plat::kInterfaceTypePci, 0, busAddress, 1, &space, &base));
        ASSERT_EQ(space, io ? plat::kAddressSpaceIo : plat::kAddressSpaceMemory);
        registers.reset(Make(base));
        ASSERT_NE(registers, nullptr);
    }
    void TearDown() override {
        registers.reset();
        sim::BusDetach(busAddress);
    }
    UartRegisters* Make(plat::VirtAddr base) {
        switch (GetParam().kind) {
            case Kind::Io:
                return new (std::nothrow) UartRegisters(base, GetParam().stride);
            case Kind::Mapped:
                return new (std::nothrow) MappedUartRegisters(base, GetParam().stride);
            case Kind::Fifo:
                return new (std::nothrow) FifoUartRegisters(base, kFifoWindow, GetParam().stride);
        }
        return nullptr;
    }
    uint32_t At(uint32_t index) const { return index * GetParam().stride; }
    Access W(uint32_t index, uint8_t value) const { return {true, At(index), value}; }
    Access R(uint32_t index, uint8_t value) const { return {false, At(index), value}; }

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    uint64_t busAddress = 0;
    std::unique_ptr<UartRegisters> registers;
};

struct Operation {
    const char* name;
    uint32_t index;
    bool write;
    std::function<void(UartRegisters&)> run;
};

TEST_P(UartRegistersTest, EachRegisterOperationIsOneAccessAtItsAddress) {
    const Operation operations[] = {
        {"WriteData", kUartRegData, true, [](UartRegisters& r) { r.WriteData(0x5A); }},
        {"ReadData", kUartRegData, false, [](UartRegisters& r) { r.ReadData(); }},
        {"WriteIER", kUartRegIer, true, [](UartRegisters& r) { r.WriteIER(0x5A); }},
        {"ReadIER", kUartRegIer, false, [](UartRegisters& r) { r.ReadIER(); }},
        {"WriteFCR", kUartRegFcr, true, [](UartRegisters& r) { r.WriteFCR(0x5A); }},
        {"ReadIIR", kUartRegIir, false, [](UartRegisters& r) { r.ReadIIR(); }},
        {"WriteLCR", kUartRegLcr, true, [](UartRegisters& r) { r.WriteLCR(0x5A); }},
        {"ReadLCR", kUartRegLcr, false, [](UartRegisters& r) { r.ReadLCR(); }},
        {"WriteMCR", kUartRegMcr, true, [](UartRegisters& r) { r.WriteMCR(0x5A); }},
        {"ReadMCR", kUartRegMcr, false, [](UartRegisters& r) { r.ReadMCR(); }},
        {"WriteLSR", kUartRegLsr, true, [](UartRegisters& r) { r.WriteLSR(0x5A); }},
        {"ReadLSR", kUartRegLsr, false, [](UartRegisters& r) { r.ReadLSR(); }},
        {"WriteMSR", kUartRegMsr, true, [](UartRegisters& r) { r.WriteMSR(0x5A); }},
        {"ReadMSR", kUartRegMsr, false, [](UartRegisters& r) { r.ReadMSR(); }},
        {"WriteSCR", kUartRegScr, true, [](UartRegisters& r) { r.WriteSCR(0x5A); }},
        {"ReadSCR", kUartRegScr, false, [](UartRegisters& r) { r.ReadSCR(); }},
    };
    for (const Operation& op : operations) {
        recorder->Answer(At(op.index), 0xA7);
        op.run(*registers);
        const std::vector<Access> expected = {op.write ? W(op.index, 0x5A) : R(op.index, 0xA7)};
        EXPECT_EQ(recorder->Take(), expected) << op.name;
    }
    // The value read is the register's.
    recorder->Answer(At(kUartRegLsr), kLsrTransmitHoldingEmpty | kLsrDataReady);
    EXPECT_EQ(registers->ReadLSR(), kLsrTransmitHoldingEmpty | kLsrDataReady);
}

TEST_P(UartRegistersTest, FcrShadowIsReadWithoutAccess) {
    EXPECT_EQ(registers->ReadFCRCache(), 0);
    registers->WriteFCR(0xC7);
    EXPECT_EQ(recorder->Take(), (std::vector<Access>{W(kUartRegFcr, 0xC7)}));
    EXPECT_EQ(registers->ReadFCRCache(), 0xC7);
    EXPECT_TRUE(recorder->Take().empty());
}

struct DivisorCase {
    uint8_t lcr;  // what LCR holds before the divisor write
    uint16_t divisor;
};

TEST_P(UartRegistersTest, WriteDivisorRunsTheLatchSequence) {
    for (const DivisorCase& c :
         {DivisorCase{0x03, 0x0180}, DivisorCase{0x1B, 0xFF01}, DivisorCase{0x83, 0x000C}}) {
        recorder->Answer(At(kUartRegLcr), c.lcr);
        EXPECT_TRUE(registers->WriteDivisor(c.divisor));
        const std::vector<Access> expected = {
            R(kUartRegLcr, c.lcr),
            W(kUartRegLcr, c.lcr | kLcrDivisorLatch),
            W(kUartRegData, static_cast<uint8_t>(c.divisor & 0xFF)),
            W(kUartRegIer, static_cast<uint8_t>(c.divisor >> 8)),
            W(kUartRegLcr, c.lcr),  // as read: an open latch stays open
        };
        EXPECT_EQ(recorder->Take(), expected) << "divisor " << c.divisor;
        EXPECT_EQ(registers->DivisorShadow(), c.divisor);
    }
}

TEST_P(UartRegistersTest, SaveAndRestoreInOrder) {
    registers->WriteFCR(0xC7);
    recorder->Answer(At(kUartRegLcr), 0x03);
    registers->WriteDivisor(0x0180);
    recorder->Answer(At(kUartRegIer), 0x0F);
    recorder->Answer(At(kUartRegLcr), 0x1B);
    recorder->Answer(At(kUartRegMcr), 0x0B);
    recorder->Take();

    registers->SaveState();
    EXPECT_EQ(recorder->Take(), (std::vector<Access>{R(kUartRegIer, 0x0F), R(kUartRegLcr, 0x1B),
                                                     R(kUartRegMcr, 0x0B)}));
    EXPECT_TRUE(registers->StateSaved());

    // Power lost: the chip reads its reset values; the restored LCR is what the divisor
    // sequence reads back, as it would be on the chip.
    recorder->Answer(At(kUartRegIer), 0);
    recorder->Answer(At(kUartRegMcr), 0);
    registers->RestoreState();
    const std::vector<Access> expected = {
        W(kUartRegFcr, 0xC7),  W(kUartRegIer, 0x0F), W(kUartRegLcr, 0x1B),
        W(kUartRegMcr, 0x0B),  R(kUartRegLcr, 0x1B), W(kUartRegLcr, 0x9B),
        W(kUartRegData, 0x80), W(kUartRegIer, 0x01), W(kUartRegLcr, 0x1B),
    };
    EXPECT_EQ(recorder->Take(), expected);
    EXPECT_FALSE(registers->StateSaved());

    // Only one restore per save.
    registers->RestoreState();
    EXPECT_TRUE(recorder->Take().empty());
}

TEST_P(UartRegistersTest, RestoreWithoutSaveWritesNothing) {
    registers->RestoreState();
    recorder->Answer(At(kUartRegLcr), 0x03);
    registers->WriteDivisor(0x0060);
    recorder->Take();
    registers->RestoreState();
    EXPECT_TRUE(recorder->Take().empty());
}

TEST_P(UartRegistersTest, RestoreBeforeAnyDivisorWriteLeavesTheLatchAlone) {
    registers->WriteFCR(0x07);
    recorder->Answer(At(kUartRegIer), 0x01);
    recorder->Answer(At(kUartRegLcr), 0x03);
    recorder->Answer(At(kUartRegMcr), 0x08);
    registers->SaveState();
    recorder->Take();
    registers->RestoreState();
    EXPECT_EQ(recorder->Take(), (std::vector<Access>{W(kUartRegFcr, 0x07), W(kUartRegIer, 0x01),
                                                     W(kUartRegLcr, 0x03), W(kUartRegMcr, 0x08)}));
    EXPECT_EQ(registers->DivisorShadow(), 0);
    EXPECT_FALSE(registers->StateSaved());
}

TEST_P(UartRegistersTest, PresenceFollowsTheBase) {
    EXPECT_TRUE(registers->IsPresent());
    std::unique_ptr<UartRegisters> absent(Make(0));
    EXPECT_FALSE(absent->IsPresent());
    EXPECT_TRUE(recorder->Take().empty());
}

INSTANTIATE_TEST_SUITE_P(Classes, UartRegistersTest,
                         ::testing::Values(Setup{"IoStride1", Kind::Io, 1},
                                           Setup{"IoStride4", Kind::Io, 4},
                                           Setup{"MappedStride1", Kind::Mapped, 1},
                                           Setup{"MappedStride4", Kind::Mapped, 4},
                                           Setup{"FifoStride1", Kind::Fifo, 1},
                                           Setup{"FifoStride4", Kind::Fifo, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UartRegisterAddresses, AreComputedFromBaseAndStride) {
    // Addresses only; nothing is accessed.
    FifoUartRegisters wide(0x1000, 0x1100, 4);
    EXPECT_EQ(wide.BaseAddress(), 0x1000u);
    EXPECT_EQ(wide.Stride(), 4u);
    EXPECT_EQ(wide.FifoWindow(), 0x1100u);
    EXPECT_EQ(wide.RegisterBase(), 0x1000u);
    FifoUartRegisters narrow(0x2000, 0x2100, 1);
    EXPECT_EQ(narrow.FifoWindow(), 0x2100u);
    EXPECT_EQ(narrow.RegisterBase(), 0x2000u);
}

}  // namespace
}  // namespace zel
