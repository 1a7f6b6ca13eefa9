// Device keys and the PCI, window and interrupt descriptions read from them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/records.h"
#include "registry_fixture.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"

namespace zeltest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace reg = sim::reg;
using plat::KeyHandle;

constexpr char16_t kDevice[] = u"Drivers\\BuiltIn\\PCI\\Instance\\Card0";

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
    }
    return bytes;
}

// A test with an open handle to the device key.
class DescriptionTest : public RegistryTest {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        reg::CreateKey(kDevice);
        ASSERT_EQ(plat::RegOpenKey(plat::kLocalMachineRoot, kDevice, 0, 0, &key), 0u);
    }
    void TearDown() override {
        EXPECT_EQ(plat::RegCloseKey(key), 0u);
        RegistryTest::TearDown();
    }
    KeyHandle key = 0;
};

TEST_F(DescriptionTest, PciValidBitsFollowThePresentValues) {
    struct Id {
        const char16_t* name;
        uint32_t plat::PciInfo::*field;
        uint32_t bit;
    };
    const Id ids[] = {
        {u"Class", &plat::PciInfo::classCode, plat::kPciValidClass},
        {u"SubClass", &plat::PciInfo::subclass, plat::kPciValidSubclass},
        {u"ProgIF", &plat::PciInfo::programmingInterface, plat::kPciValidProgIf},
        {u"VendorID", &plat::PciInfo::vendorId, plat::kPciValidVendorId},
        {u"DeviceID", &plat::PciInfo::deviceId, plat::kPciValidDeviceId},
        {u"RevisionID", &plat::PciInfo::revisionId, plat::kPciValidRevisionId},
        {u"SubVendorID", &plat::PciInfo::subsystemVendorId, plat::kPciValidSubsystemVendorId},
        {u"SubSystemID", &plat::PciInfo::subsystemId, plat::kPciValidSubsystemId},
    };
    // Each identity alone sets only its own bit and field.
    for (const Id& id : ids) {
        SCOPED_TRACE(reg::ToUtf8(id.name));
        reg::ClearAll();
        KeyHandle k = 0;
        ASSERT_EQ(plat::RegCreateKey(plat::kLocalMachineRoot, u"Dev", 0, nullptr, 0, 0, nullptr, &k,
                                     nullptr),
                  0u);
        reg::SetDword(u"Dev", id.name, 0x1234);
        plat::PciInfo info;
        std::memset(&info, 0xAB, sizeof info);
        info.size = sizeof info;
        EXPECT_EQ(plat::ReadPciDescription(k, &info), 0u);
        EXPECT_EQ(info.validMask, id.bit);
        EXPECT_EQ(info.*id.field, 0x1234u);
        uint32_t sum = 0;
        for (const Id& other : ids) sum += info.*other.field;
        EXPECT_EQ(sum, 0x1234u) << "absent identities read 0";
        EXPECT_EQ(plat::RegCloseKey(k), 0u);
    }
}

TEST_F(DescriptionTest, PciReadsTheWholeIdentity) {
    const char16_t* names[] = {u"DeviceNumber", u"FunctionNumber", u"InstanceIndex", u"Class",
                               u"SubClass",     u"ProgIF",         u"VendorID",      u"DeviceID",
                               u"RevisionID",   u"SubVendorID",    u"SubSystemID"};
    for (uint32_t i = 0; i < std::size(names); ++i) reg::SetDword(kDevice, names[i], 100 + i);
    plat::PciInfo info{};
    info.size = 52;
    ASSERT_EQ(plat::ReadPciDescription(key, &info), 0u);
    EXPECT_EQ(info.size, 52u);
    EXPECT_EQ(info.validMask, 0xFFu);
    const uint32_t* words = reinterpret_cast<const uint32_t*>(&info);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(words[1 + i], 100 + i);
    for (uint32_t i = 3; i < 11; ++i) EXPECT_EQ(words[2 + i], 100 + i);
}

// One record of each kind with its size field set.
struct Records {
    Records() {
        pci.size = sizeof pci;
        windows.size = sizeof windows;
        irq.size = sizeof irq;
    }
    plat::PciInfo pci{};
    plat::WindowInfo windows{};
    plat::InterruptInfo irq{};
};

TEST_F(DescriptionTest, RecordSizeKeyAndValueShapeAreChecked) {
    Records r;
    auto& [pci, windows, irq] = r;
    pci.size = 48;
    windows.size = 112;
    irq.size = 264;
    EXPECT_EQ(plat::ReadPciDescription(key, &pci), plat::kErrorInvalidParameter);
    EXPECT_EQ(plat::ReadWindowDescription(key, &windows), plat::kErrorInvalidParameter);
    EXPECT_EQ(plat::ReadInterruptDescription(key, &irq), plat::kErrorInvalidParameter);
    EXPECT_EQ(plat::ReadPciDescription(key, nullptr), plat::kErrorInvalidParameter);
    pci.size = 52;
    windows.size = 116;
    irq.size = 268;
    EXPECT_EQ(plat::ReadPciDescription(0x4444, &pci), plat::kErrorInvalidHandle);
    EXPECT_EQ(plat::ReadWindowDescription(0, &windows), plat::kErrorInvalidHandle);
    EXPECT_EQ(plat::ReadInterruptDescription(0x4444, &irq), plat::kErrorInvalidHandle);
    // A value of the wrong type is reported, not read as something else.
    reg::SetString(kDevice, u"SubSystemID", u"8");
    reg::SetString(kDevice, u"MemBase", u"8");
    reg::SetBinary(kDevice, u"SysIntr", Words({1, 2}));
    EXPECT_EQ(plat::ReadPciDescription(key, &pci), reg::kErrorInvalidData);
    EXPECT_EQ(plat::ReadWindowDescription(key, &windows), reg::kErrorInvalidData);
    EXPECT_EQ(plat::ReadInterruptDescription(key, &irq), reg::kErrorInvalidData);
}

TEST_F(DescriptionTest, WindowsFromDwordsOrLists) {
    struct Case {
        const char* what;
        std::vector<std::pair<const char16_t*, std::vector<uint8_t>>> values;  // binary values
        std::vector<std::pair<const char16_t*, uint32_t>> dwords;
        uint32_t result;
        std::vector<plat::BusWindow> mem, io;
    };
    const Case cases[] = {
        {"nothing", {}, {}, 0, {}, {}},
        {"one memory window",
         {},
         {{u"MemBase", 0xFE000000}, {u"MemLen", 0x1000}},
         0,
         {{0xFE000000, 0x1000}},
         {}},
        {"several windows of both kinds",
         {{u"MemBase", Words({0x1000, 0x2000, 0x3000})},
          {u"MemLen", Words({0x10, 0x20, 0x30})},
          {u"IoBase", Words({0x3F8, 0x2F8})},
          {u"IoLen", Words({8, 8})}},
         {},
         0,
         {{0x1000, 0x10}, {0x2000, 0x20}, {0x3000, 0x30}},
         {{0x3F8, 8}, {0x2F8, 8}}},
        {"six windows",
         {{u"MemBase", Words({1, 2, 3, 4, 5, 6})}, {u"MemLen", Words({7, 8, 9, 10, 11, 12})}},
         {},
         0,
         {{1, 7}, {2, 8}, {3, 9}, {4, 10}, {5, 11}, {6, 12}},
         {}},
        {"a dword pairs with a one-window list",
         {{u"IoLen", Words({8})}},
         {{u"IoBase", 0x3F8}},
         0,
         {},
         {{0x3F8, 8}}},
        {"seven windows",
         {{u"MemBase", Words({1, 2, 3, 4, 5, 6, 7})}, {u"MemLen", Words({1, 2, 3, 4, 5, 6, 7})}},
         {},
         reg::kErrorInvalidData,
         {},
         {}},
        {"bases without lengths", {}, {{u"MemBase", 0x1000}}, reg::kErrorInvalidData, {}, {}},
        {"counts differ",
         {{u"IoBase", Words({1, 2})}, {u"IoLen", Words({1})}},
         {},
         reg::kErrorInvalidData,
         {},
         {}},
        {"partial word",
         {{u"MemBase", {1, 2, 3}}, {u"MemLen", {1, 2, 3}}},
         {},
         reg::kErrorInvalidData,
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const reg::Value& v : reg::Values(kDevice)) reg::DeleteValue(kDevice, v.name);
        for (const auto& [name, bytes] : c.values) reg::SetBinary(kDevice, name, bytes);
        for (const auto& [name, n] : c.dwords) reg::SetDword(kDevice, name, n);
        plat::WindowInfo info;
        std::memset(&info, 0xCD, sizeof info);
        info.size = sizeof info;
        ASSERT_EQ(plat::ReadWindowDescription(key, &info), c.result);
        EXPECT_EQ(info.size, 116u);
        ASSERT_EQ(info.memWindowCount, c.mem.size());
        ASSERT_EQ(info.ioWindowCount, c.io.size());
        for (size_t i = 0; i < 6; ++i) {
            plat::BusWindow mem = i < c.mem.size() ? c.mem[i] : plat::BusWindow{0, 0};
            plat::BusWindow io = i < c.io.size() ? c.io[i] : plat::BusWindow{0, 0};
            EXPECT_EQ(info.memWindows[i].base, mem.base) << i;
            EXPECT_EQ(info.memWindows[i].length, mem.length) << i;
            EXPECT_EQ(info.ioWindows[i].base, io.base) << i;
            EXPECT_EQ(info.ioWindows[i].length, io.length) << i;
        }
    }
}

TEST_F(DescriptionTest, WindowBusAndInterfaceDefaultToZero) {
    plat::WindowInfo info;
    std::memset(&info, 0xCD, sizeof info);
    info.size = 116;
    ASSERT_EQ(plat::ReadWindowDescription(key, &info), 0u);
    EXPECT_EQ(info.busNumber, 0u);
    EXPECT_EQ(info.interfaceType, 0u);
    reg::SetDword(kDevice, u"BusNumber", 3);
    reg::SetDword(kDevice, u"InterfaceType", plat::kInterfaceTypePci);
    ASSERT_EQ(plat::ReadWindowDescription(key, &info), 0u);
    EXPECT_EQ(info.busNumber, 3u);
    EXPECT_EQ(info.interfaceType, plat::kInterfaceTypePci);
}

TEST_F(DescriptionTest, InterruptNeedsAnIrqOrASystemInterrupt) {
    struct Case {
        const char* what;
        bool irq, sysIntr;
        uint32_t result;
    };
    const Case cases[] = {
        {"both", true, true, 0},
        {"irq only", true, false, 0},
        {"system interrupt only", false, true, 0},
        {"neither", false, false, plat::kErrorFileNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reg::DeleteValue(kDevice, u"Irq");
        reg::DeleteValue(kDevice, u"SysIntr");
        if (c.irq) reg::SetDword(kDevice, u"Irq", 11);
        if (c.sysIntr) reg::SetDword(kDevice, u"SysIntr", 17);
        reg::SetString(kDevice, u"IsrDll", u"isrstat.dll");
        plat::InterruptInfo info;
        std::memset(&info, 0xEE, sizeof info);
        info.size = sizeof info;
        EXPECT_EQ(plat::ReadInterruptDescription(key, &info), c.result);
        EXPECT_EQ(info.irq, c.irq ? 11u : 0u);
        EXPECT_EQ(info.sysIntr, c.sysIntr ? 17u : 0u);
        EXPECT_EQ(std::u16string(info.isrDll), u"isrstat.dll");
        EXPECT_EQ(info.isrHandler[0], u'\0') << "an absent name reads empty";
    }
}

TEST_F(DescriptionTest, InterruptNamesAreBoundedAndTerminated) {
    const std::u16string longName(100, u'd');
    const std::u16string exact(63, u'h');
    reg::SetDword(kDevice, u"SysIntr", 17);
    reg::SetString(kDevice, u"IsrDll", longName);
    reg::SetString(kDevice, u"IsrHandler", exact);
    plat::InterruptInfo info;
    std::memset(&info, 0xEE, sizeof info);
    info.size = 268;
    ASSERT_EQ(plat::ReadInterruptDescription(key, &info), 0u);
    EXPECT_EQ(std::u16string(info.isrDll), longName.substr(0, 63));
    EXPECT_EQ(info.isrDll[63], u'\0');
    EXPECT_EQ(std::u16string(info.isrHandler), exact) << "the cut did not spill over";
    // String data without a terminator is still terminated in the record.
    reg::SetValue(kDevice, u"IsrHandler", plat::kRegString, std::vector<uint8_t>{'a', 0, 'b', 0});
    ASSERT_EQ(plat::ReadInterruptDescription(key, &info), 0u);
    EXPECT_EQ(std::u16string(info.isrHandler), u"ab");
}

TEST_F(DescriptionTest, InjectedFailureOfEachRead) {
    reg::SetDword(kDevice, u"SysIntr", 17);
    Records r;
    auto& [pci, windows, irq] = r;
    sim::FailNth(sim::FailKind::Registry, 1);
    EXPECT_NE(plat::ReadPciDescription(key, &pci), 0u);
    sim::FailNth(sim::FailKind::Registry, 1);
    EXPECT_NE(plat::ReadWindowDescription(key, &windows), 0u);
    sim::FailNth(sim::FailKind::Registry, 1);
    EXPECT_NE(plat::ReadInterruptDescription(key, &irq), 0u);
    EXPECT_EQ(plat::ReadInterruptDescription(key, &irq), 0u);
}

using DeviceKeyTest = RegistryTest;

TEST_F(DeviceKeyTest, OpensTheKeyNamedByTheActiveKey) {
    reg::SetDword(kDevice, u"SubSystemID", 0x42);
    reg::SetString(u"Drivers\\Active\\03", u"Key", kDevice);
    KeyHandle h = plat::OpenDeviceKey(u"Drivers\\Active\\03");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(reg::PathOfKey(h), kDevice);
    EXPECT_THAT(OpenKeyHandles(),
                ElementsAre("registry key HKLM\\Drivers\\BuiltIn\\PCI\\Instance\\Card0"));
    plat::PciInfo info{};
    info.size = 52;
    ASSERT_EQ(plat::ReadPciDescription(h, &info), 0u);
    EXPECT_EQ(info.subsystemId, 0x42u);
    EXPECT_EQ(plat::RegCloseKey(h), 0u);
    EXPECT_THAT(OpenKeyHandles(), IsEmpty());
}

TEST_F(DeviceKeyTest, FailsWithoutAUsableActiveKey) {
    reg::CreateKey(kDevice);
    reg::SetString(u"Drivers\\Active\\01", u"Key", u"Drivers\\Missing");
    reg::CreateKey(u"Drivers\\Active\\02");
    reg::SetDword(u"Drivers\\Active\\04", u"Key", 5);
    reg::SetString(u"Drivers\\Active\\05", u"Key", u"");
    struct Case {
        const char* what;
        const char16_t* path;
    };
    const Case cases[] = {
        {"null path", nullptr},
        {"missing active key", u"Drivers\\Active\\09"},
        {"device key missing", u"Drivers\\Active\\01"},
        {"no Key value", u"Drivers\\Active\\02"},
        {"Key is not a string", u"Drivers\\Active\\04"},
        {"Key is empty", u"Drivers\\Active\\05"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(plat::OpenDeviceKey(c.path), 0u);
    }
    EXPECT_THAT(OpenKeyHandles(), IsEmpty());
    // Made to fail by failure injection even when everything is in place.
    reg::SetString(u"Drivers\\Active\\03", u"Key", kDevice);
    sim::FailNth(sim::FailKind::Registry, 1);
    EXPECT_EQ(plat::OpenDeviceKey(u"Drivers\\Active\\03"), 0u);
    EXPECT_THAT(OpenKeyHandles(), IsEmpty());
}

}  // namespace
}  // namespace zeltest
