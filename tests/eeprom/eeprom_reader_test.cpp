#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/adapter_registers.h"
#include "platform/bus.h"
#include "sim/bus/sim_bus.h"
#include "sim/hw/delay_timer.h"
#include "sim/hw/eeprom.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

// Block offsets (window offset 0x80 = block offset 0).
constexpr uint32_t kStatusOffset = 0x01;
constexpr uint32_t kControlOffset = 0x04;
constexpr uint32_t kCountOffset = 0x06;
constexpr uint32_t kEepromOffset = 0x0E;
constexpr uint32_t kBlockLength = 20;
constexpr uint64_t kBlockBus = 0xE0000080;

struct Write {
    uint32_t offset;
    uint8_t value;
};

// The card's global register block as far as the EEPROM read needs it: the delay timer and
// the EEPROM control register, over the two models. Every write is logged in order.
class GlobalBlock : public sim::BusTarget {
  public:
    std::string Name() const override { return "global registers"; }
    uint8_t Read8(uint32_t offset) override {
        switch (offset) {
            case kStatusOffset:
                ++statusReads;
                return timer.ReadStatus();
            case kControlOffset:
                return timer.ReadControl();
            case kEepromOffset: {
                std::lock_guard lock(mutex);
                return static_cast<uint8_t>((lastControl & 0x7F) |
                                            (eeprom.DataOut() ? kEepromDataOut : 0));
            }
        }
        return 0;
    }
    void Write8(uint32_t offset, uint8_t value) override {
        std::lock_guard lock(mutex);
        writes.push_back({offset, value});
        switch (offset) {
            case kControlOffset:
                timer.WriteControl(value);
                break;
            case kCountOffset:
                timer.WriteCount(value);
                break;
            case kEepromOffset:
                lastControl = value;
                eeprom.Drive(value & kEepromChipSelect, value & kEepromClock,
                             value & kEepromDataIn);
                break;
        }
    }
    std::vector<Write> Writes() {
        std::lock_guard lock(mutex);
        return writes;
    }

    sim::SerialEeprom eeprom;
    sim::DelayTimer timer{0ns};
    std::atomic<uint64_t> statusReads{0};

  private:
    std::mutex mutex;
    std::vector<Write> writes;
    uint8_t lastControl = 0;
};

class EepromReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::BusAttach(kBlockBus, kBlockLength, block);
        uint32_t space = plat::kAddressSpaceMemory;
        ASSERT_TRUE(
            plat::BusStaticTranslate(plat::kInterfaceTypePci, 0, kBlockBus, 1, &space, &base));
        table.reset(new (std::nothrow) AdapterRegisters(base));
        ASSERT_NE(table, nullptr);
    }
    void TearDown() override { sim::BusDetach(kBlockBus); }

    // One span of the chip-select line: the data-in level at each rising clock edge, and the
    // number of delay units started after the last falling clock edge before deselection.
    struct Span {
        std::vector<int> bits;
        int unitsAfterLastClock = 0;
    };
    std::vector<Span> Spans() {
        std::vector<Span> spans;
        uint8_t previous = 0;
        bool inSpan = false;
        for (const Write& w : block->Writes()) {
            if (w.offset == kControlOffset && w.value == kTimerStart && inSpan) {
                ++spans.back().unitsAfterLastClock;
            }
            if (w.offset != kEepromOffset) continue;
            const bool selected = w.value & kEepromChipSelect;
            if (selected && !inSpan) spans.push_back({});
            inSpan = selected;
            if (selected && (w.value & kEepromClock) && !(previous & kEepromClock)) {
                spans.back().bits.push_back((w.value & kEepromDataIn) ? 1 : 0);
                spans.back().unitsAfterLastClock = -kEepromClockDelay;  // this pulse's own
            }
            previous = w.value;
        }
        return spans;
    }
    std::vector<uint8_t> ControlWrites() {
        std::vector<uint8_t> values;
        for (const Write& w : block->Writes()) {
            if (w.offset == kEepromOffset) values.push_back(w.value);
        }
        return values;
    }

    std::shared_ptr<GlobalBlock> block = std::make_shared<GlobalBlock>();
    plat::VirtAddr base = 0;
    std::unique_ptr<AdapterRegisters> table;
};

sim::SerialEeprom::Image Pattern() {
    sim::SerialEeprom::Image words{};
    for (uint32_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<uint16_t>(0x8001 ^ (i * 0x0F1D) ^ (i << 9));
    }
    return words;
}

TEST_F(EepromReaderTest, ReadsEveryWordInAddressOrder) {
    block->eeprom.SetContents(Pattern());
    uint16_t words[64] = {};
    EepromReader reader(table.get());
    ASSERT_TRUE(reader.ReadWords(words, 64));
    for (uint32_t i = 0; i < 64; ++i) EXPECT_EQ(words[i], Pattern()[i]) << "word " << i;
    EXPECT_EQ(block->eeprom.ReadCommands(), 64u);
}

TEST_F(EepromReaderTest, ReadsOnlyTheWordsAskedFor) {
    block->eeprom.SetContents(Pattern());
    uint16_t words[16];
    std::fill(std::begin(words), std::end(words), 0xBEEF);
    EepromReader reader(table.get());
    ASSERT_TRUE(reader.ReadWords(words, kClockRateWordCount));
    for (uint32_t i = 0; i < kClockRateWordCount; ++i) EXPECT_EQ(words[i], Pattern()[i]);
    for (uint32_t i = kClockRateWordCount; i < 16; ++i) EXPECT_EQ(words[i], 0xBEEF);
    // 700 delay units: standby 4, write-disable 20, and 52 per word.
    EXPECT_EQ(block->timer.Starts(), 700u);
}

TEST_F(EepromReaderTest, WordFiveIsAddressedBitByBitWithTheChipHeldThroughTheWord) {
    uint16_t words[6];
    EepromReader reader(table.get());
    ASSERT_TRUE(reader.ReadWords(words, 6));
    const std::vector<Span> spans = Spans();
    ASSERT_EQ(spans.size(), 7u);  // write-disable, then words 0 .. 5
    EXPECT_EQ(spans[0].bits, (std::vector<int>{1, 0, 0, 0, 0, 0, 0, 0, 0}));
    const Span& word5 = spans[6];
    ASSERT_EQ(word5.bits.size(), 9u + 16u);
    EXPECT_EQ(std::vector<int>(word5.bits.begin(), word5.bits.begin() + 9),
              (std::vector<int>{1, 1, 0, 0, 0, 0, 1, 0, 1}));
    // Selected through the 16 data clocks and the two-unit pause that follows them.
    EXPECT_EQ(word5.unitsAfterLastClock, kEepromWordPause);
    // Left deselected.
    EXPECT_EQ(ControlWrites().back() & kEepromChipSelect, 0);
}

TEST_F(EepromReaderTest, ControlBitsZeroToThreeAndSevenAreNeverWritten) {
    // A data-out line stuck high would show up if sampled values were written back.
    block->eeprom.ForceDataOut(true);
    uint16_t words[64];
    EepromReader reader(table.get());
    ASSERT_TRUE(reader.ReadWords(words, 64));
    const std::vector<uint8_t> writes = ControlWrites();
    ASSERT_FALSE(writes.empty());
    for (uint8_t value : writes) ASSERT_EQ(value & 0x8F, 0) << "wrote 0x" << std::hex << +value;
    for (uint16_t word : words) EXPECT_EQ(word, 0xFFFF);
    uint32_t rate = 0;
    ASSERT_TRUE(SelectClockRate(0x154, words, &rate));
    EXPECT_EQ(rate, 0xFFFFFFFFu);
}

TEST_F(EepromReaderTest, CountZeroOnlyResetsAndDisablesWrites) {
    uint16_t untouched = 0x1234;
    EepromReader reader(table.get());
    ASSERT_TRUE(reader.ReadWords(&untouched, 0));
    EXPECT_EQ(untouched, 0x1234);
    EXPECT_EQ(block->eeprom.ReadCommands(), 0u);
    EXPECT_EQ(block->eeprom.WriteDisableCommands(), 1u);
    EXPECT_EQ(block->timer.Starts(), 4u + 20u);
    EXPECT_EQ(ControlWrites().back() & kEepromChipSelect, 0);
    EXPECT_TRUE(reader.ReadWords(nullptr, 0));
}

TEST_F(EepromReaderTest, RefusesCountsPastTheChip) {
    uint16_t words[65];
    EepromReader reader(table.get());
    EXPECT_FALSE(reader.ReadWords(words, 65));
    EXPECT_FALSE(reader.ReadWords(nullptr, 1));
    EXPECT_TRUE(block->Writes().empty());
}

TEST_F(EepromReaderTest, DelayUnitSequence) {
    EepromReader reader(table.get());
    EXPECT_TRUE(reader.Delay(0));
    EXPECT_TRUE(block->Writes().empty());
    EXPECT_TRUE(reader.Delay(1));
    const std::vector<Write> writes = block->Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].offset, kCountOffset);
    EXPECT_EQ(writes[0].value, 50);
    EXPECT_EQ(writes[1].offset, kControlOffset);
    EXPECT_EQ(writes[1].value, kTimerStart);
    EXPECT_EQ(writes[2].offset, kControlOffset);
    EXPECT_EQ(writes[2].value, kTimerStop);
    EXPECT_GE(block->statusReads.load(), 1u);
    EXPECT_FALSE(block->timer.Running());
}

TEST_F(EepromReaderTest, EachDelayUnitWaitsFiftyTimerPeriods) {
    block->timer.SetPeriod(1us);
    uint16_t words[kClockRateWordCount];
    EepromReader reader(table.get());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(reader.ReadWords(words, kClockRateWordCount));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 700 * 50us);
}

TEST_F(EepromReaderTest, ATimerThatNeverExpiresFailsTheReadInBoundedTime) {
    block->timer.SetNeverExpires(true);
    uint16_t words[kClockRateWordCount] = {};
    EepromReader reader(table.get());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(reader.ReadWords(words, kClockRateWordCount));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    EXPECT_TRUE(reader.TimedOut());
    // The first unit that timed out ends the waiting.
    EXPECT_EQ(block->statusReads.load(), EepromReader::kDelayPollLimit);
    EXPECT_EQ(block->timer.Starts(), 1u);
    EXPECT_FALSE(block->timer.Running());
    EXPECT_EQ(ControlWrites().back() & kEepromChipSelect, 0);
    EXPECT_FALSE(reader.Delay(1));
}

// ---------------------------------------------------------------------------------------------

TEST(AdapterRegistersTable, EntriesFollowTheBlockLayout) {
    constexpr plat::VirtAddr kBase = 0x10000080;
    const AdapterRegisters table(kBase);
    const uint32_t offsets[] = {0, 0, 1, 2, 3, 4, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    for (uint32_t i = 0; i < AdapterRegisters::kEntryCount; ++i) {
        EXPECT_EQ(table.Entry(i), kBase + offsets[i]) << "entry " << i;
    }
    EXPECT_EQ(table.Entry(AdapterRegisters::kEntryCount), 0u);
    EXPECT_EQ(table.InterruptStatus(), kBase);
    EXPECT_EQ(table.TimerStatus(), kBase + 0x01);
    EXPECT_EQ(table.TimerControl(), kBase + 0x04);
    EXPECT_EQ(table.TimerCount(), kBase + 0x06);
    EXPECT_EQ(table.EepromControl(), kBase + 0x0E);
    EXPECT_EQ(table.PassMarker(), kBase + 0x10);
    EXPECT_EQ(table.Marker93(), kBase + 0x13);
    EXPECT_TRUE(table.IsValid());
    EXPECT_FALSE(AdapterRegisters(0).IsValid());
}

struct ClockCase {
    uint32_t deviceId;
    bool known;
    uint32_t rate;
};

TEST(ClockRateSelection, FollowsTheDeviceTable) {
    uint16_t words[kClockRateWordCount] = {};
    words[4] = 0x0010;
    words[5] = 0x0002;
    words[6] = 0xE100;
    words[7] = 0x00E1;
    const ClockCase cases[] = {
        {0x152, true, 0x20010},  {0x154, true, 0x20010},  {0x158, true, 0x20010},
        {0x252, true, 0xE1E100}, {0x254, true, 0xE1E100}, {0x258, true, 0xE1E100},
        {0x150, false, 0},       {0x153, false, 0},       {0x352, false, 0},
        {0x0, false, 0},         {0x10152, false, 0},
    };
    for (const ClockCase& c : cases) {
        uint32_t rate = 0xDEADBEEF;
        EXPECT_EQ(SelectClockRate(c.deviceId, words, &rate) != 0, c.known) << c.deviceId;
        EXPECT_EQ(rate, c.known ? c.rate : 0xDEADBEEF) << c.deviceId;
    }
    uint32_t rate = 0;
    EXPECT_FALSE(SelectClockRate(0x154, nullptr, &rate));
    EXPECT_FALSE(SelectClockRate(0x154, words, nullptr));
}

}  // namespace
}  // namespace zel
