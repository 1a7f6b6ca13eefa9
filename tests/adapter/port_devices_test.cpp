// Board numbering per family and the port devices an adapter writes and activates.
#include <cstring>

#include "adapter_fixture.h"
#include "sim/devmgr/devmgr.h"
#include "sim/registry/registry.h"

namespace adaptertest {
namespace {

namespace reg = sim::reg;

// Activation requests seen by the device manager (they fail: the test keys name no library
// it can load, or none at all), by key path.
std::vector<std::string> ActivatedPaths() {
    std::vector<std::string> paths;
    for (const std::string& failure : sim::ActivationFailures())
        paths.push_back(failure.substr(0, failure.find(": ")));
    return paths;
}

std::string Narrow(std::u16string_view s) {
    return reg::ToUtf8(s);
}

TEST_F(AdapterTest, BoardNumbersCountPerFamilyAndAreNeverReused) {
    zel::AdapterFamily& kap = NewFamily();
    zel::AdapterFamily& kor = NewFamily();
    BoardSpec korSpec;
    korSpec.prefix = u"KOR";

    zel::PciAdapter* first = InitAdapter(&kap, MakeBoard());
    zel::PciAdapter* korFirst = InitAdapter(&kor, MakeBoard(korSpec));
    zel::PciAdapter* second = InitAdapter(&kap, MakeBoard());
    ASSERT_TRUE(first && korFirst && second);
    EXPECT_EQ(first->Key(), 1u);
    EXPECT_EQ(korFirst->Key(), 1u);
    EXPECT_EQ(second->Key(), 2u);
    EXPECT_EQ(kap.adapterList.Find(2), second);
    EXPECT_TRUE(reg::KeyExists(PortKeyPath(u"KAP", 2, 4)));
    EXPECT_TRUE(reg::KeyExists(PortKeyPath(u"KOR", 1, 1)));

    // A card that fails Init uses no number; one whose port devices fail uses one up.
    BoardSpec refused;
    refused.subsystemId = 0x0A5C;
    EXPECT_EQ(InitAdapter(&kap, MakeBoard(refused)), nullptr);
    EXPECT_EQ(kap.nextBoardNumber, 3u);
    BoardSpec longPrefix;
    longPrefix.prefix = u"KAPX";
    EXPECT_EQ(InitAdapter(&kap, MakeBoard(longPrefix)), nullptr);
    EXPECT_EQ(kap.nextBoardNumber, 4u);
    EXPECT_EQ(kap.adapterList.Count(), 2u);
    zel::PciAdapter* fourth = InitAdapter(&kap, MakeBoard());
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(fourth->Key(), 4u);

    // Deinit takes the adapter out of its list; its number is not given out again.
    DeinitAdapter(second);
    EXPECT_EQ(kap.adapterList.Find(2), nullptr);
    EXPECT_EQ(kap.adapterList.Count(), 2u);
    EXPECT_EQ(zel::AdapterDeinit(nullptr), 0);
    zel::PciAdapter* fifth = InitAdapter(&kap, MakeBoard());
    ASSERT_NE(fifth, nullptr);
    EXPECT_EQ(fifth->Key(), 5u);
}

// The driver's values of one port key, in the order they are written.
TEST_F(AdapterTest, PortKeyHoldsTheDriversValuesInOrder) {
    BoardSpec spec;
    spec.prefix = u"KOR";
    const Board board = MakeBoard(spec);
    zel::AdapterFamily& kor = NewFamily();
    zel::PciAdapter* adapter = InitAdapter(&kor, board);
    ASSERT_NE(adapter, nullptr);

    const std::u16string path = u"Drivers\\ZELSer\\FAM_KOR&BID_01&PID_03";
    ASSERT_EQ(PortKeyPath(u"KOR", 1, 3), path);
    auto dword = [](uint32_t v) {
        std::vector<uint8_t> d(4);
        std::memcpy(d.data(), &v, 4);
        return d;
    };
    const std::vector<reg::Value> expected = {
        {u"Dll", 1, reg::StringBytes(u"nodriver.dll")},
        {u"MemBase", 4, dword(static_cast<uint32_t>(board.busAddress) + 1024)},
        {u"MemLen", 4, dword(15)},
        {u"Flags", 4, dword(8)},
        {u"IClass", 1, reg::StringBytes(u"{CC5195AC-BA49-48a0-BE17-DF6D1B0173DD}")},
        {u"Order", 4, dword(0)},
        {u"Priority", 4, dword(0)},
        {u"DeviceArrayIndex", 4, dword(3)},
        {u"InterfaceType", 4, dword(5)},
        {u"ClockRate", 4, dword(14745600)},
        {u"Prefix", 1, reg::StringBytes(u"COM")},
    };
    const std::vector<reg::Value> values = reg::Values(path);
    ASSERT_EQ(values.size(), expected.size());
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(values[i].name, expected[i].name) << i;
        EXPECT_EQ(values[i].type, expected[i].type) << Narrow(expected[i].name);
        EXPECT_EQ(values[i].data, expected[i].data) << Narrow(expected[i].name);
    }
    EXPECT_EQ(values[4].data.size(), 78u);
    EXPECT_EQ(values[10].data.size(), 8u);

    // Every port got a key and an activation request, in port order.
    const std::vector<std::string> requested = ActivatedPaths();
    ASSERT_EQ(requested.size(), 4u);
    for (uint32_t n = 1; n <= 4; ++n) {
        EXPECT_EQ(requested[n - 1], Narrow(PortKeyPath(u"KOR", 1, n)));
        EXPECT_EQ(reg::GetDword(PortKeyPath(u"KOR", 1, n), u"MemBase"),
                  static_cast<uint32_t>(board.busAddress) + 512 * (n - 1));
    }
}

TEST_F(AdapterTest, PathsThatDoNotFitGetNoKeyAndFailTheAdapter) {
    struct Case {
        const char* name;
        std::u16string prefix;
        uint32_t board;
        bool fits;
    };
    const Case cases[] = {
        {"board 12", u"KOR", 12, true},
        {"board 99", u"KOR", 99, true},
        {"board 100", u"KOR", 100, false},
        {"four-character prefix", u"KORX", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reg::DeleteKeyTree(u"Drivers\\ZELSer");
        sim::ClearActivationFailures();
        BoardSpec spec;
        spec.prefix = c.prefix;
        zel::AdapterFamily& family = NewFamily();
        family.nextBoardNumber = c.board;
        zel::PciAdapter* adapter = InitAdapter(&family, MakeBoard(spec));
        EXPECT_EQ(adapter != nullptr, c.fits);
        EXPECT_EQ(family.nextBoardNumber, c.board + 1);
        EXPECT_EQ(reg::KeyExists(PortKeyPath(c.prefix, c.board, 1)), c.fits);
        EXPECT_EQ(ActivatedPaths().size(), c.fits ? 4u : 0u);
        if (adapter != nullptr) DeinitAdapter(adapter);
    }
}

TEST_F(AdapterTest, PortPropertiesReplaceAndAddValuesOfTheirPortOnly) {
    const Board board = MakeBoard();
    reg::SetDword(board.deviceKey + u"\\PortProp2", u"ClockRate", 1843200);
    reg::SetDword(board.deviceKey + u"\\PortProp2", u"Index", 7);
    // A value already in a port key and not written by the driver stays.
    reg::SetDword(PortKeyPath(u"KAP", 1, 3), u"Stale", 5);
    zel::AdapterFamily& kap = NewFamily();
    ASSERT_NE(InitAdapter(&kap, board), nullptr);

    EXPECT_EQ(reg::GetDword(PortKeyPath(u"KAP", 1, 2), u"ClockRate"), 1843200u);
    EXPECT_EQ(reg::GetDword(PortKeyPath(u"KAP", 1, 2), u"Index"), 7u);
    for (uint32_t n : {1u, 3u, 4u}) {
        EXPECT_EQ(reg::GetDword(PortKeyPath(u"KAP", 1, n), u"ClockRate"), 14745600u) << n;
        EXPECT_FALSE(reg::GetDword(PortKeyPath(u"KAP", 1, n), u"Index")) << n;
    }
    EXPECT_EQ(reg::GetDword(PortKeyPath(u"KAP", 1, 3), u"Stale"), 5u);
    // Missing property sub keys are created empty.
    EXPECT_TRUE(reg::KeyExists(board.deviceKey + u"\\PortProp4"));
}

TEST_F(AdapterTest, KeyWithoutDllStillGetsPortsAndActivations) {
    BoardSpec spec;
    spec.dll.reset();
    zel::AdapterFamily& kap = NewFamily();
    ASSERT_NE(InitAdapter(&kap, MakeBoard(spec)), nullptr);
    for (uint32_t n = 1; n <= 4; ++n) {
        EXPECT_TRUE(reg::KeyExists(PortKeyPath(u"KAP", 1, n)));
        EXPECT_FALSE(reg::GetValue(PortKeyPath(u"KAP", 1, n), u"Dll")) << n;
        EXPECT_EQ(reg::GetDword(PortKeyPath(u"KAP", 1, n), u"DeviceArrayIndex"), n);
    }
    EXPECT_EQ(ActivatedPaths().size(), 4u);
}

TEST_F(AdapterTest, KeyWithoutStringPrefixCreatesNoPorts) {
    for (bool asNumber : {false, true}) {
        SCOPED_TRACE(asNumber);
        BoardSpec spec;
        spec.writePrefix = false;
        const Board board = MakeBoard(spec);
        if (asNumber) reg::SetDword(board.deviceKey, u"Prefix", 1);
        zel::AdapterFamily& kap = NewFamily();
        EXPECT_EQ(InitAdapter(&kap, board), nullptr);
        EXPECT_EQ(kap.nextBoardNumber, 2u);
        EXPECT_FALSE(reg::KeyExists(u"Drivers\\ZELSer"));
        EXPECT_TRUE(ActivatedPaths().empty());
    }
}

TEST_F(AdapterTest, FillPortValuesReportsMissingDllButAddsTheRest) {
    BoardSpec spec;
    spec.dll.reset();
    zel::AdapterFamily& kap = NewFamily();
    zel::PciAdapter* adapter = InitAdapter(&kap, MakeBoard(spec));
    ASSERT_NE(adapter, nullptr);
    zel::RegistryValueList list;
    EXPECT_FALSE(adapter->FillPortValues(1, &list));
    EXPECT_EQ(list.Count(), 10u);
    zel::RegistryValue* index = nullptr;
    ASSERT_TRUE(list.FindCopy(u"DeviceArrayIndex", &index));
    uint32_t n = 0;
    uint32_t size = 4;
    EXPECT_TRUE(index->GetData(&n, &size));
    EXPECT_EQ(n, 2u);
    delete index;
}

}  // namespace
}  // namespace adaptertest
