// The simulated bus: mappings, faults, I/O space, counters, buffer access, bus-access handles
// and device power.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bus.h"
#include "platform/kernel.h"
#include "sim/bus/sim_bus.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"

namespace {

using plat::VirtAddr;

// A device window of plain bytes that records power requests.
class MemoryTarget : public sim::BusTarget {
public:
    explicit MemoryTarget(uint32_t length) : bytes_(length, 0) {}
    std::string Name() const override { return "memory"; }
    uint8_t Read8(uint32_t offset) override {
        std::lock_guard lock(mutex_);
        return bytes_.at(offset);
    }
    void Write8(uint32_t offset, uint8_t value) override {
        std::lock_guard lock(mutex_);
        bytes_.at(offset) = value;
    }
    bool SetPower(uint32_t offset, uint32_t state) override {
        std::lock_guard lock(mutex_);
        power_.push_back({offset, state});
        return true;
    }
    std::vector<std::pair<uint32_t, uint32_t>> PowerRequests() {
        std::lock_guard lock(mutex_);
        return power_;
    }
    ~MemoryTarget() override { destroyed++; }
    static inline std::atomic<int> destroyed{0};

private:
    std::mutex mutex_;
    std::vector<uint8_t> bytes_;
    std::vector<std::pair<uint32_t, uint32_t>> power_;
};

// A data window: every read at any offset pops the next queued byte, every write appends.
class FifoTarget : public sim::BusTarget {
public:
    std::string Name() const override { return "fifo"; }
    uint8_t Read8(uint32_t) override {
        uint8_t b = in.front();
        in.pop_front();
        return b;
    }
    void Write8(uint32_t, uint8_t value) override { out.push_back(value); }
    std::deque<uint8_t> in;
    std::vector<uint8_t> out;
};

constexpr uint64_t kBusBase = 0xE0000000;
constexpr uint32_t kWindow = 0x2000;

struct FaultProbe {
    void (*access)(VirtAddr);
    VirtAddr address;
};

// Runs one access inside the fault guard; true when it faulted.
bool Faults(void (*access)(VirtAddr), VirtAddr address) {
    FaultProbe probe{access, address};
    return plat::RunGuarded(
               [](void* p) {
                   auto* f = static_cast<FaultProbe*>(p);
                   f->access(f->address);
               },
               &probe) == 0;
}

void ReadByte(VirtAddr a) { (void)plat::ReadRegisterByte(a); }
void WriteByte(VirtAddr a) { plat::WriteRegisterByte(a, 1); }
void ReadBytes(VirtAddr a) {
    uint8_t b[2];
    plat::ReadRegisterBytes(a, b, 2);
}
void ReadWords(VirtAddr a) {
    uint32_t w[2];
    plat::ReadRegisterWords(a, w, 2);
}
void WriteBytes(VirtAddr a) {
    const uint8_t b[2] = {1, 2};
    plat::WriteRegisterBytes(a, b, 2);
}
void WriteWords(VirtAddr a) {
    const uint32_t w[2] = {1, 2};
    plat::WriteRegisterWords(a, w, 2);
}
void ReadPort(VirtAddr a) { (void)plat::ReadPortByte(a); }
void WritePort(VirtAddr a) { plat::WritePortByte(a, 1); }

// Maps a bus range in memory space through a handle; 0 when refused.
VirtAddr MapAt(plat::Handle bus, uint64_t address, uint32_t length) {
    uint32_t space = plat::kAddressSpaceMemory;
    VirtAddr va = 0;
    if (!plat::BusTranslateAndMap(bus, plat::kInterfaceTypePci, 0, address, length, &space, &va) ||
        space != plat::kAddressSpaceMemory) {
        return 0;
    }
    return va;
}

class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reg::ClearAll();
        target_ = std::make_shared<MemoryTarget>(kWindow);
        sim::BusAttach(kBusBase, kWindow, target_);
        sim::reg::SetString(u"Drivers\\Active\\90", u"Key", u"Drivers\\BusTest\\Device");
        sim::reg::SetDword(u"Drivers\\BusTest\\Device", u"MemBase",
                           static_cast<uint32_t>(kBusBase + 0x400));
        bus_ = plat::BusOpen(u"Drivers\\Active\\90");
        ASSERT_NE(bus_, 0u);
        baseMappings_ = sim::LiveMappingCount();
    }
    void TearDown() override {
        for (VirtAddr a : mapped_) plat::BusUnmap(a, 0);
        plat::BusClose(bus_);
        sim::BusDetach(kBusBase);
        EXPECT_EQ(sim::LiveMappingCount(), baseMappings_);
        sim::DisarmAllFailures();
    }
    // Maps [kBusBase + offset, + length) and remembers it for TearDown.
    VirtAddr Map(uint32_t offset, uint32_t length) {
        VirtAddr va = MapAt(bus_, kBusBase + offset, length);
        EXPECT_NE(va, 0u);
        if (va) mapped_.push_back(va);
        return va;
    }
    void Unmap(VirtAddr va) {
        plat::BusUnmap(va, 0);
        std::erase(mapped_, va);
    }

    std::shared_ptr<MemoryTarget> target_;
    plat::Handle bus_ = 0;
    size_t baseMappings_ = 0;
    std::vector<VirtAddr> mapped_;
};

TEST_F(BusTest, MappingReachesTheTargetAtTheOffsetAndUnmappingMakesItFault) {
    VirtAddr va = Map(0x410, 15);
    ASSERT_NE(va, 0u);
    EXPECT_GE(va, sim::kBusVirtualBase);
    EXPECT_EQ(va & 0xFFF, 0x410u);  // page-aligned plus the offset
    EXPECT_EQ(sim::LiveMappingCount(), baseMappings_ + 1);

    plat::WriteRegisterByte(va + 3, 0x5A);
    EXPECT_EQ(target_->Read8(0x413), 0x5A);
    target_->Write8(0x41C, 0xA5);
    // Beyond the mapped length but inside the mapped page (a register stride of 4).
    EXPECT_EQ(plat::ReadRegisterByte(va + 0xC), 0xA5);

    Unmap(va);
    EXPECT_EQ(sim::LiveMappingCount(), baseMappings_);
    EXPECT_TRUE(Faults(ReadByte, va + 3));
    char where[16];
    std::snprintf(where, sizeof where, "0x%08X", va + 3);
    EXPECT_NE(sim::LastCaughtFault().find(where), std::string::npos) << sim::LastCaughtFault();
    EXPECT_EQ(target_->Read8(0x413), 0x5A);
}

TEST_F(BusTest, LiveMappingsNeverShareAnAddressAndAreSeparatedByAnUnmappedPage) {
    std::set<VirtAddr> pages;
    for (int i = 0; i < 20; ++i) {
        VirtAddr va = Map(0x100, 0x1000);  // spans two pages
        ASSERT_NE(va, 0u);
        EXPECT_TRUE(pages.insert(va & ~0xFFFu).second);
        EXPECT_TRUE(pages.insert((va & ~0xFFFu) + 0x1000).second);
        // The page after the mapping does not decode.
        EXPECT_TRUE(Faults(ReadByte, (va & ~0xFFFu) + 0x2000));
    }
    // Unmapping one leaves the others working.
    VirtAddr gone = mapped_[5];
    Unmap(gone);
    EXPECT_TRUE(Faults(ReadByte, gone));
    target_->Write8(0x100, 7);
    for (VirtAddr va : mapped_) EXPECT_EQ(plat::ReadRegisterByte(va), 7);
}

TEST_F(BusTest, MappingFailsWhenNoTargetCoversTheWholeRange) {
    struct Case {
        const char* what;
        plat::Handle bus;
        uint32_t interfaceType;
        uint64_t address;
        uint32_t length;
    } cases[] = {
        {"outside every target", bus_, plat::kInterfaceTypePci, 0xD0000000, 16},
        {"running off the end", bus_, plat::kInterfaceTypePci, kBusBase + kWindow - 8, 16},
        {"length 0", bus_, plat::kInterfaceTypePci, kBusBase, 0},
        {"no bus handle", 0, plat::kInterfaceTypePci, kBusBase, 16},
        {"not PCI", bus_, 1, kBusBase, 16},
    };
    for (const Case& c : cases) {
        uint32_t space = 0;
        VirtAddr va = 0;
        EXPECT_EQ(plat::BusTranslateAndMap(c.bus, c.interfaceType, 0, c.address, c.length,
                                           &space, &va),
                  0)
            << c.what;
    }
    EXPECT_EQ(sim::LiveMappingCount(), baseMappings_);
}

TEST_F(BusTest, EveryAccessFormFaultsOnAnUnmappedAddressInsideTheGuard) {
    VirtAddr va = Map(0, 16);
    VirtAddr nowhere = (va & ~0xFFFu) + 0x1000;  // the guard page
    struct Case {
        const char* what;
        void (*access)(VirtAddr);
    } cases[] = {{"byte read", ReadByte},   {"byte write", WriteByte},
                 {"bytes read", ReadBytes}, {"words read", ReadWords},
                 {"bytes write", WriteBytes}, {"words write", WriteWords}};
    sim::ResetCounters(target_.get());
    for (const Case& c : cases) {
        EXPECT_TRUE(Faults(c.access, nowhere)) << c.what;
        EXPECT_TRUE(Faults(c.access, 0)) << c.what;
        EXPECT_TRUE(Faults(c.access, 0xFFFFFFF0u)) << c.what;
        EXPECT_FALSE(Faults(c.access, va)) << c.what;
    }
    // Faulting accesses reached no target and were not counted.
    EXPECT_EQ(sim::CountersOf(target_.get()).accesses(), 1u + 1 + 2 + 2 + 2 + 2);
}

TEST_F(BusTest, DetachingATargetMakesItsMappingsFault) {
    auto other = std::make_shared<MemoryTarget>(0x100);
    sim::BusAttach(0xE1000000, 0x100, other);
    VirtAddr va = MapAt(bus_, 0xE1000000, 0x100);
    ASSERT_NE(va, 0u);
    plat::WriteRegisterByte(va, 3);
    sim::BusDetach(0xE1000000);
    EXPECT_TRUE(Faults(ReadByte, va));
    plat::BusUnmap(va, 0);
    EXPECT_EQ(other->Read8(0), 3);
}

TEST_F(BusTest, IoSpaceIsReportedAndReachedByPortNumber) {
    auto ports = std::make_shared<MemoryTarget>(8);
    sim::BusAttach(0x3F8, 8, ports, /*ioSpace=*/true);
    uint32_t space = plat::kAddressSpaceMemory;
    VirtAddr va = 0;
    EXPECT_EQ(plat::BusTranslateAndMap(bus_, plat::kInterfaceTypePci, 0, 0x3F8, 8, &space, &va),
              1);
    EXPECT_EQ(space, plat::kAddressSpaceIo);
    EXPECT_EQ(va, 0x3F8u);
    EXPECT_EQ(sim::LiveMappingCount(), baseMappings_);  // no mapping for I/O space

    space = plat::kAddressSpaceMemory;
    EXPECT_EQ(plat::BusStaticTranslate(plat::kInterfaceTypePci, 0, 0x3FD, 1, &space, &va), 1);
    EXPECT_EQ(space, plat::kAddressSpaceIo);

    plat::WritePortByte(0x3FB, 0x83);
    EXPECT_EQ(ports->Read8(3), 0x83);
    ports->Write8(5, 0x60);
    EXPECT_EQ(plat::ReadPortByte(0x3FD), 0x60);
    EXPECT_EQ(sim::CountersOf(ports.get()).accesses(), 2u);
    EXPECT_TRUE(Faults(ReadPort, 0x2F8));
    EXPECT_TRUE(Faults(WritePort, 0x400));
    sim::BusDetach(0x3F8);
    EXPECT_TRUE(Faults(ReadPort, 0x3F8));
}

TEST_F(BusTest, StaticTranslationsAreSharedPerPageAndNeverUnmapped) {
    uint32_t space = 0;
    VirtAddr a = 0;
    VirtAddr b = 0;
    ASSERT_EQ(plat::BusStaticTranslate(plat::kInterfaceTypePci, 0, kBusBase + 0x80, 1, &space, &a),
              1);
    EXPECT_EQ(space, plat::kAddressSpaceMemory);
    ASSERT_EQ(plat::BusStaticTranslate(plat::kInterfaceTypePci, 0, kBusBase + 0x93, 1, &space, &b),
              1);
    EXPECT_EQ(b - a, 0x13u);
    EXPECT_EQ(sim::LiveMappingCount(), baseMappings_);
    target_->Write8(0x80, 0x42);
    EXPECT_EQ(plat::ReadRegisterByte(a), 0x42);

    uint64_t refused = sim::RefusedUnmapCount();
    plat::BusUnmap(a, 0);
    EXPECT_EQ(sim::RefusedUnmapCount(), refused + 1);
    EXPECT_EQ(plat::ReadRegisterByte(a), 0x42);
    EXPECT_EQ(plat::BusStaticTranslate(plat::kInterfaceTypePci, 0, 0xD0000000, 1, &space, &a), 0);
}

TEST_F(BusTest, UnmapRefusesWhatIsNotAMappingStartOrHasAnotherLength) {
    VirtAddr va = Map(0x20, 64);
    uint64_t refused = sim::RefusedUnmapCount();
    plat::BusUnmap(va + 1, 0);
    plat::BusUnmap(va, 32);
    plat::BusUnmap(0x12345678, 0);
    EXPECT_EQ(sim::RefusedUnmapCount(), refused + 3);
    EXPECT_FALSE(Faults(ReadByte, va));
    plat::BusUnmap(va, 64);  // the mapped length unmaps as 0 does
    std::erase(mapped_, va);
    EXPECT_TRUE(Faults(ReadByte, va));
}

TEST_F(BusTest, CountersCountEachByteAndEachWordOnceForTheTargetReached) {
    auto other = std::make_shared<MemoryTarget>(0x100);
    sim::BusAttach(0xE1000000, 0x100, other);
    VirtAddr va = Map(0, 0x100);
    sim::ResetCounters(target_.get());
    uint8_t bytes[5] = {};
    uint32_t words[3] = {};
    (void)plat::ReadRegisterByte(va);
    plat::WriteRegisterByte(va, 1);
    plat::ReadRegisterBytes(va, bytes, 5);
    plat::WriteRegisterBytes(va, bytes, 5);
    plat::ReadRegisterWords(va, words, 3);
    plat::WriteRegisterWords(va, words, 3);
    plat::WriteRegisterWords(va, words, 0);
    sim::BusCounters c = sim::CountersOf(target_.get());
    EXPECT_EQ(c.byteReads, 6u);
    EXPECT_EQ(c.byteWrites, 6u);
    EXPECT_EQ(c.wordReads, 3u);
    EXPECT_EQ(c.wordWrites, 3u);
    EXPECT_EQ(c.accesses(), 18u);
    EXPECT_EQ(sim::CountersOf(other.get()).accesses(), 0u);
    sim::ResetCounters(target_.get());
    EXPECT_EQ(sim::CountersOf(target_.get()).accesses(), 0u);
    sim::BusDetach(0xE1000000);
}

TEST(BusBuffers, WordsCarryFourFifoBytesFirstByteLowestInMemoryAtOneAddress) {
    auto fifo = std::make_shared<FifoTarget>();
    sim::BusAttach(0xE2000000, 0x100, fifo);
    sim::reg::SetString(u"Drivers\\Active\\91", u"Key", u"Drivers\\BusTest\\Fifo");
    sim::reg::CreateKey(u"Drivers\\BusTest\\Fifo");
    plat::Handle bus = plat::BusOpen(u"Drivers\\Active\\91");
    ASSERT_NE(bus, 0u);
    VirtAddr va = MapAt(bus, 0xE2000040, 64);
    ASSERT_NE(va, 0u);

    for (uint8_t i = 1; i <= 11; ++i) fifo->in.push_back(i);
    uint32_t words[2];
    uint8_t tail[3];
    plat::ReadRegisterWords(va, words, 2);
    plat::ReadRegisterBytes(va, tail, 3);
    uint8_t asBytes[8];
    std::memcpy(asBytes, words, sizeof asBytes);
    EXPECT_EQ(std::vector<uint8_t>(asBytes, asBytes + 8),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(std::vector<uint8_t>(tail, tail + 3), (std::vector<uint8_t>{9, 10, 11}));

    const uint8_t send[8] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
    uint32_t sendWords[2];
    std::memcpy(sendWords, send, sizeof send);
    plat::WriteRegisterWords(va, sendWords, 2);
    plat::WriteRegisterBytes(va, send, 2);
    EXPECT_EQ(fifo->out, (std::vector<uint8_t>{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                               0x10, 0x11}));

    plat::BusUnmap(va, 0);
    plat::BusClose(bus);
    sim::BusDetach(0xE2000000);
}

// ---------------------------------------------------------------------------------------------
// Bus-access handles and device power.

bool HandleDescribed(const std::string& prefix) {
    for (const auto& h : sim::LiveHandles()) {
        if (h.description.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

TEST_F(BusTest, BusHandleIsAKernelObjectUntilClosed) {
    EXPECT_TRUE(HandleDescribed("bus handle Drivers\\Active\\90"));
    plat::Handle second = plat::BusOpen(u"Drivers\\Active\\90");
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, bus_);
    plat::BusClose(second);
    EXPECT_EQ(sim::HandleLookup(second), nullptr);
    EXPECT_NE(sim::HandleLookup(bus_), nullptr);
}

TEST_F(BusTest, BusOpenFailsWithoutADeviceKeyOrAHandle) {
    EXPECT_EQ(plat::BusOpen(nullptr), 0u);
    EXPECT_EQ(plat::BusOpen(u"Drivers\\Active\\NoSuchKey"), 0u);
    sim::reg::SetString(u"Drivers\\Active\\92", u"Key", u"Drivers\\BusTest\\Missing");
    EXPECT_EQ(plat::BusOpen(u"Drivers\\Active\\92"), 0u);
    sim::FailNth(sim::FailKind::Handle, 1);
    EXPECT_EQ(plat::BusOpen(u"Drivers\\Active\\90"), 0u);
}

TEST_F(BusTest, DevicePowerReachesTheTargetAtTheDevicesOffset) {
    EXPECT_EQ(plat::BusSetDevicePower(bus_, plat::D3, nullptr), 1);
    EXPECT_EQ(plat::BusSetDevicePower(bus_, plat::D0, nullptr), 1);
    EXPECT_EQ(plat::BusSetDevicePower(bus_, 5, nullptr), 0);
    EXPECT_EQ(plat::BusSetDevicePower(0, plat::D0, nullptr), 0);
    EXPECT_EQ(target_->PowerRequests(),
              (std::vector<std::pair<uint32_t, uint32_t>>{{0x400, 3}, {0x400, 0}}));
}

TEST_F(BusTest, MemBaseMayBeBinaryAndWithoutItPowerFails) {
    const uint8_t binary[8] = {0x00, 0x08, 0x00, 0xE0, 0x10, 0x00, 0x00, 0x00};
    sim::reg::SetString(u"Drivers\\Active\\93", u"Key", u"Drivers\\BusTest\\Binary");
    sim::reg::SetBinary(u"Drivers\\BusTest\\Binary", u"MemBase", binary);
    sim::reg::SetString(u"Drivers\\Active\\94", u"Key", u"Drivers\\BusTest\\NoWindow");
    sim::reg::SetDword(u"Drivers\\BusTest\\NoWindow", u"Other", 1);

    plat::Handle binaryBus = plat::BusOpen(u"Drivers\\Active\\93");
    plat::Handle noWindow = plat::BusOpen(u"Drivers\\Active\\94");
    ASSERT_NE(binaryBus, 0u);
    ASSERT_NE(noWindow, 0u);
    EXPECT_EQ(plat::BusSetDevicePower(binaryBus, plat::D4, nullptr), 1);
    EXPECT_EQ(plat::BusSetDevicePower(noWindow, plat::D4, nullptr), 0);
    EXPECT_EQ(target_->PowerRequests(), (std::vector<std::pair<uint32_t, uint32_t>>{{0x800, 4}}));
    plat::BusClose(binaryBus);
    plat::BusClose(noWindow);
}

// ---------------------------------------------------------------------------------------------
// Concurrency: readers never see a freed entry or target.

TEST_F(BusTest, AccessesStayCorrectWhileOtherMappingsAndTargetsChange) {
    VirtAddr va = Map(0x200, 4);
    target_->Write8(0x200, 0x77);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> wrong{0};
    std::thread reader([&] {
        while (!stop) {
            if (plat::ReadRegisterByte(va) != 0x77) ++wrong;
        }
    });
    for (int i = 0; i < 200; ++i) {
        auto other = std::make_shared<MemoryTarget>(0x100);
        sim::BusAttach(0xE3000000, 0x100, other);
        VirtAddr o = MapAt(bus_, 0xE3000000, 16);
        ASSERT_NE(o, 0u);
        plat::WriteRegisterByte(o, 1);
        plat::BusUnmap(o, 0);
        sim::BusDetach(0xE3000000);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0u);
}

TEST_F(BusTest, ADetachedTargetLivesUntilNoAccessIsInsideIt) {
    int destroyedBefore = MemoryTarget::destroyed;
    auto victim = std::make_shared<MemoryTarget>(0x100);
    sim::BusAttach(0xE4000000, 0x100, victim);
    VirtAddr va = MapAt(bus_, 0xE4000000, 16);
    ASSERT_NE(va, 0u);
    victim.reset();  // the bus holds the only reference now
    std::atomic<bool> faulted{false};
    std::thread reader([&] {
        while (!Faults(ReadByte, va)) {
        }
        faulted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sim::BusDetach(0xE4000000);
    EXPECT_EQ(MemoryTarget::destroyed, destroyedBefore + 1);
    reader.join();
    EXPECT_TRUE(faulted);
    plat::BusUnmap(va, 0);
}

}  // namespace
