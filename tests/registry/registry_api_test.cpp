// The registry services the driver calls: keys, values, enumeration, handles, failures.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "registry_fixture.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"

namespace zeltest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace reg = sim::reg;
using plat::KeyHandle;
using plat::kLocalMachineRoot;

// An open key that closes itself and checks that the close succeeded.
class Key {
  public:
    explicit Key(KeyHandle h = 0) : handle(h) {}
    Key(const Key&) = delete;
    ~Key() {
        if (handle != 0) {
            EXPECT_EQ(plat::RegCloseKey(handle), plat::kSuccess);
        }
    }
    KeyHandle handle;
};

uint32_t Create(const char16_t* path, Key* key, uint32_t* disposition = nullptr) {
    return plat::RegCreateKey(kLocalMachineRoot, path, 0, nullptr, 0, 0, nullptr, &key->handle,
                              disposition);
}

uint32_t Open(KeyHandle parent, const char16_t* path, Key* key) {
    return plat::RegOpenKey(parent, path, 0, 0, &key->handle);
}

uint32_t SetBytes(KeyHandle key, const char16_t* name, uint32_t type,
                  const std::vector<uint8_t>& data) {
    return plat::RegSetValue(key, name, 0, type, data.data(), static_cast<uint32_t>(data.size()));
}

using RegistryApiTest = RegistryTest;

TEST_F(RegistryApiTest, CreateReportsCreatedThenOpenedAndMakesIntermediateKeys) {
    uint32_t disposition = 0;
    {
        Key k;
        ASSERT_EQ(Create(u"Drivers\\ZELSer\\Port1", &k, &disposition), plat::kSuccess);
        EXPECT_NE(k.handle, 0u);
        EXPECT_EQ(disposition, plat::kRegCreatedNewKey);
    }
    EXPECT_TRUE(reg::KeyExists(u"Drivers"));
    EXPECT_TRUE(reg::KeyExists(u"Drivers\\ZELSer"));
    {
        Key k;
        ASSERT_EQ(Create(u"DRIVERS\\zelser\\PORT1", &k, &disposition), plat::kSuccess);
        EXPECT_EQ(disposition, plat::kRegOpenedExistingKey);
    }
    {
        // The last key is new although the ones above it exist.
        Key k;
        ASSERT_EQ(Create(u"Drivers\\ZELSer\\Port2", &k, &disposition), plat::kSuccess);
        EXPECT_EQ(disposition, plat::kRegCreatedNewKey);
    }
    // Names keep the case they were created with.
    EXPECT_THAT(reg::SubKeys(u"drivers\\zelser"), ElementsAre(u"Port1", u"Port2"));
}

TEST_F(RegistryApiTest, OpenFindsOnlyExistingKeysWhateverTheCase) {
    reg::CreateKey(u"Drivers\\Active\\03");
    Key parent;
    ASSERT_EQ(Open(kLocalMachineRoot, u"drivers\\ACTIVE", &parent), plat::kSuccess);
    {
        Key child;
        EXPECT_EQ(Open(parent.handle, u"03", &child), plat::kSuccess);
        EXPECT_EQ(reg::PathOfKey(child.handle), u"Drivers\\Active\\03");
    }
    Key missing(0x1234);
    EXPECT_EQ(Open(parent.handle, u"04", &missing), plat::kErrorFileNotFound);
    EXPECT_EQ(missing.handle, 0u) << "a failed open leaves no handle";
    EXPECT_FALSE(reg::KeyExists(u"Drivers\\Active\\04")) << "open never creates";
}

TEST_F(RegistryApiTest, BadHandlesAndArgumentsAreRefused) {
    uint32_t length = 0;
    KeyHandle result;
    EXPECT_EQ(plat::RegOpenKey(0x7777, u"x", 0, 0, &result), plat::kErrorInvalidHandle);
    EXPECT_EQ(plat::RegOpenKey(kLocalMachineRoot, u"x", 0, 0, nullptr),
              plat::kErrorInvalidParameter);
    EXPECT_EQ(plat::RegQueryValue(0x7777, u"v", nullptr, nullptr, nullptr, &length),
              plat::kErrorInvalidHandle);
    EXPECT_EQ(plat::RegSetValue(0, u"v", 0, plat::kRegBinary, nullptr, 0),
              plat::kErrorInvalidHandle);
    EXPECT_EQ(plat::RegSetValue(kLocalMachineRoot, u"v", 0, plat::kRegBinary, nullptr, 4),
              plat::kErrorInvalidParameter);
    EXPECT_EQ(plat::RegCloseKey(0), plat::kErrorInvalidHandle);
    EXPECT_EQ(plat::RegCloseKey(0x7777), plat::kErrorInvalidHandle);
    EXPECT_THAT(reg::Values(u""), IsEmpty());
}

TEST_F(RegistryApiTest, NamesPastTheLimitsAreRefused) {
    Key k;
    std::u16string longKey(reg::kMaxKeyNameLength + 1, u'k');
    EXPECT_EQ(Create(longKey.c_str(), &k), plat::kErrorInvalidParameter);
    EXPECT_EQ(k.handle, 0u);
    std::u16string okKey(reg::kMaxKeyNameLength, u'k');
    ASSERT_EQ(Create(okKey.c_str(), &k), plat::kSuccess);
    std::u16string longName(reg::kMaxValueNameLength + 1, u'n');
    EXPECT_EQ(SetBytes(k.handle, longName.c_str(), plat::kRegBinary, {1}),
              plat::kErrorInvalidParameter);
    longName.pop_back();
    EXPECT_EQ(SetBytes(k.handle, longName.c_str(), plat::kRegBinary, {1}), plat::kSuccess);
}

TEST_F(RegistryApiTest, QueryReportsSizeAndRefusesShortBuffers) {
    Key k;
    ASSERT_EQ(Create(u"Dev", &k), plat::kSuccess);
    const std::vector<uint8_t> value = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(SetBytes(k.handle, u"Data", plat::kRegBinary, value), plat::kSuccess);

    // Null buffer: the size, result 0. Type may be null.
    uint32_t length = 0;
    uint32_t type = 0;
    EXPECT_EQ(plat::RegQueryValue(k.handle, u"Data", nullptr, &type, nullptr, &length),
              plat::kSuccess);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(type, plat::kRegBinary);

    // One byte short: fails, reports the size, copies nothing.
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    length = 5;
    EXPECT_EQ(plat::RegQueryValue(k.handle, u"Data", nullptr, nullptr, buffer, &length),
              plat::kErrorMoreData);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(buffer[0], 0xEE);

    // Large enough: copied, the length becomes the value's.
    length = sizeof buffer;
    EXPECT_EQ(plat::RegQueryValue(k.handle, u"Data", nullptr, &type, buffer, &length),
              plat::kSuccess);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), value);
    EXPECT_EQ(buffer[6], 0xEE);

    EXPECT_EQ(plat::RegQueryValue(k.handle, u"Missing", nullptr, nullptr, nullptr, &length),
              plat::kErrorFileNotFound);
    EXPECT_EQ(plat::RegQueryValue(k.handle, u"Data", nullptr, nullptr, buffer, nullptr),
              plat::kErrorInvalidParameter);
}

TEST_F(RegistryApiTest, ValueNamesCompareWithoutCaseAndKeepTheirPlace) {
    Key k;
    ASSERT_EQ(Create(u"Dev", &k), plat::kSuccess);
    ASSERT_EQ(SetBytes(k.handle, u"First", plat::kRegBinary, {1}), plat::kSuccess);
    ASSERT_EQ(SetBytes(k.handle, u"Priority256", plat::kRegBinary, {2}), plat::kSuccess);
    ASSERT_EQ(SetBytes(k.handle, u"Last", plat::kRegBinary, {3}), plat::kSuccess);
    // Replacing under another case keeps one value, its place and its name.
    ASSERT_EQ(SetBytes(k.handle, u"PRIORITY256", plat::kRegDword, {9, 0, 0, 0}), plat::kSuccess);
    std::vector<reg::Value> values = reg::Values(u"dev");
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[1], (reg::Value{u"Priority256", plat::kRegDword, {9, 0, 0, 0}}));
    EXPECT_EQ(reg::GetDword(u"DEV", u"priority256"), 9u);
}

TEST_F(RegistryApiTest, DefaultValueHasTheEmptyName) {
    Key k;
    ASSERT_EQ(Create(u"Dev", &k), plat::kSuccess);
    ASSERT_EQ(SetBytes(k.handle, nullptr, plat::kRegBinary, {7}), plat::kSuccess);
    uint8_t byte = 0;
    uint32_t length = 1;
    EXPECT_EQ(plat::RegQueryValue(k.handle, u"", nullptr, nullptr, &byte, &length), plat::kSuccess);
    EXPECT_EQ(byte, 7);
    EXPECT_EQ(reg::Values(u"Dev").at(0).name, u"");
}

TEST_F(RegistryApiTest, EnumerationFollowsCreationOrderAndEndsWith259) {
    Key k;
    ASSERT_EQ(Create(u"Dev", &k), plat::kSuccess);
    const char16_t* names[] = {u"Zeta", u"alpha", u"Mid"};
    for (uint8_t i = 0; i < 3; ++i) {
        ASSERT_EQ(SetBytes(k.handle, names[i], plat::kRegBinary, std::vector<uint8_t>(i + 1, i)),
                  plat::kSuccess);
    }
    for (uint32_t i = 0; i < 3; ++i) {
        char16_t name[16];
        uint32_t nameLength = 16, type = 0, dataLength = 0;
        ASSERT_EQ(plat::RegEnumValue(k.handle, i, name, &nameLength, nullptr, &type, nullptr,
                                     &dataLength),
                  plat::kSuccess);
        EXPECT_EQ(std::u16string(name), names[i]);
        EXPECT_EQ(nameLength, std::u16string(names[i]).size());
        EXPECT_EQ(dataLength, i + 1) << "a null data buffer is a size query";
        EXPECT_EQ(type, plat::kRegBinary);
    }
    char16_t name[16];
    uint32_t nameLength = 16;
    EXPECT_EQ(
        plat::RegEnumValue(k.handle, 3, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
        plat::kErrorNoMoreItems);
    EXPECT_EQ(plat::RegEnumValue(k.handle, 0xFFFFFFFF, name, &nameLength, nullptr, nullptr, nullptr,
                                 nullptr),
              plat::kErrorNoMoreItems);
}

TEST_F(RegistryApiTest, EnumerationBufferLimits) {
    Key k;
    ASSERT_EQ(Create(u"Dev", &k), plat::kSuccess);
    ASSERT_EQ(SetBytes(k.handle, u"Name5", plat::kRegBinary, {1, 2, 3, 4}), plat::kSuccess);
    struct Case {
        const char* what;
        uint32_t nameCapacity;
        bool withData;
        uint32_t dataCapacity;
        uint32_t result;
    };
    const Case cases[] = {
        {"name and terminator fit exactly", 6, true, 4, plat::kSuccess},
        {"no room for the terminator", 5, true, 4, plat::kErrorMoreData},
        {"no name buffer at all", 0, true, 4, plat::kErrorMoreData},
        {"data one byte short", 6, true, 3, plat::kErrorMoreData},
        {"both short", 2, true, 0, plat::kErrorMoreData},
        {"size query", 6, false, 0, plat::kSuccess},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char16_t name[8];
        std::fill(std::begin(name), std::end(name), u'#');
        uint8_t data[8] = {};
        uint32_t nameLength = c.nameCapacity, dataLength = c.dataCapacity;
        EXPECT_EQ(plat::RegEnumValue(k.handle, 0, name, &nameLength, nullptr, nullptr,
                                     c.withData ? data : nullptr, &dataLength),
                  c.result);
        // Sizes are reported whether or not the buffers were large enough.
        EXPECT_EQ(nameLength, 5u);
        EXPECT_EQ(dataLength, 4u);
        if (c.nameCapacity < 6) {
            EXPECT_EQ(name[0], u'#') << "nothing written into a short name buffer";
        } else {
            EXPECT_EQ(std::u16string(name), u"Name5");
        }
        if (c.result == plat::kSuccess && c.withData) {
            EXPECT_THAT(std::vector<uint8_t>(data, data + 4), ElementsAre(1, 2, 3, 4));
        } else {
            EXPECT_EQ(data[0], 0) << "nothing written into a short data buffer";
        }
    }
    uint32_t nameLength = 8;
    EXPECT_EQ(
        plat::RegEnumValue(k.handle, 0, nullptr, &nameLength, nullptr, nullptr, nullptr, nullptr),
        plat::kErrorInvalidParameter);
}

TEST_F(RegistryApiTest, OpenKeysAreLiveHandlesUntilClosed) {
    reg::CreateKey(u"Drivers\\ZELSer");
    KeyHandle h = 0;
    ASSERT_EQ(plat::RegOpenKey(kLocalMachineRoot, u"drivers\\zelser", 0, 0, &h), plat::kSuccess);
    EXPECT_THAT(OpenKeyHandles(), ElementsAre("registry key HKLM\\Drivers\\ZELSer"));
    EXPECT_EQ(plat::RegCloseKey(h), plat::kSuccess);
    EXPECT_THAT(OpenKeyHandles(), IsEmpty());
    EXPECT_EQ(plat::RegCloseKey(h), plat::kErrorInvalidHandle) << "closed twice";
    uint32_t length;
    EXPECT_EQ(plat::RegQueryValue(h, u"x", nullptr, nullptr, nullptr, &length),
              plat::kErrorInvalidHandle);
}

TEST_F(RegistryApiTest, TheRootIsAlwaysValidAndNeverClosed) {
    EXPECT_EQ(plat::RegCloseKey(kLocalMachineRoot), plat::kSuccess);
    EXPECT_EQ(plat::RegCloseKey(kLocalMachineRoot), plat::kSuccess);
    EXPECT_EQ(SetBytes(kLocalMachineRoot, u"OnRoot", plat::kRegBinary, {1}), plat::kSuccess);
    EXPECT_THAT(OpenKeyHandles(), IsEmpty());
    // An empty sub key opens a new, closable handle to the same key.
    Key same;
    ASSERT_EQ(Open(kLocalMachineRoot, u"", &same), plat::kSuccess);
    EXPECT_NE(same.handle, kLocalMachineRoot);
    EXPECT_EQ(reg::PathOfKey(same.handle), u"");
}

TEST_F(RegistryApiTest, HandlesToADeletedKeyFailButStillClose) {
    Key k;
    ASSERT_EQ(Create(u"Gone\\Child", &k), plat::kSuccess);
    ASSERT_TRUE(reg::DeleteKeyTree(u"gone"));
    EXPECT_FALSE(reg::KeyExists(u"Gone"));
    EXPECT_EQ(SetBytes(k.handle, u"v", plat::kRegBinary, {1}), reg::kErrorKeyDeleted);
    Key sub;
    EXPECT_EQ(Create(u"x", &sub), plat::kSuccess);  // the root is unaffected
    KeyHandle grandChild = 0;
    EXPECT_EQ(plat::RegCreateKey(k.handle, u"x", 0, nullptr, 0, 0, nullptr, &grandChild, nullptr),
              reg::kErrorKeyDeleted);
    EXPECT_FALSE(reg::KeyExists(u"Gone")) << "nothing revived under a deleted key";
    EXPECT_EQ(reg::PathOfKey(k.handle), std::nullopt);
}

// Each registry call, made to fail once by failure injection, reports 8 and changes nothing.
TEST_F(RegistryApiTest, InjectedFailureOfEachCall) {
    reg::SetBinary(u"Dev", u"V", std::vector<uint8_t>{5});
    Key dev;
    ASSERT_EQ(Open(kLocalMachineRoot, u"Dev", &dev), plat::kSuccess);
    const KeyHandle h = dev.handle;
    struct Case {
        const char* what;
        std::function<uint32_t()> call;
    };
    KeyHandle opened = 0;
    const Case cases[] = {
        {"open", [&] { return plat::RegOpenKey(kLocalMachineRoot, u"Dev", 0, 0, &opened); }},
        {"create",
         [&] {
             return plat::RegCreateKey(kLocalMachineRoot, u"New", 0, nullptr, 0, 0, nullptr,
                                       &opened, nullptr);
         }},
        {"query",
         [&] {
             uint32_t length = 0;
             return plat::RegQueryValue(h, u"V", nullptr, nullptr, nullptr, &length);
         }},
        {"set", [&] { return SetBytes(h, u"V", plat::kRegBinary, {6}); }},
        {"enum",
         [&] {
             char16_t name[4];
             uint32_t nameLength = 4;
             return plat::RegEnumValue(h, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = reg::ExportRegText().text;
        sim::FailNth(sim::FailKind::Registry, 1);
        opened = 0xDEAD;
        EXPECT_EQ(c.call(), plat::kErrorNotEnoughMemory);
        EXPECT_TRUE(opened == 0 || opened == 0xDEAD);
        EXPECT_EQ(reg::ExportRegText().text, before);
        EXPECT_THAT(OpenKeyHandles(), ElementsAre("registry key HKLM\\Dev"));
        // Only that one call failed.
        EXPECT_EQ(c.call(), plat::kSuccess);
        if (opened != 0 && opened != 0xDEAD) {
            EXPECT_EQ(plat::RegCloseKey(opened), plat::kSuccess);
        }
        opened = 0;
    }
    // Closing is not a counted registry call.
    KeyHandle extra = 0;
    ASSERT_EQ(plat::RegOpenKey(kLocalMachineRoot, u"Dev", 0, 0, &extra), plat::kSuccess);
    const uint64_t calls = sim::CallCount(sim::FailKind::Registry);
    EXPECT_EQ(plat::RegCloseKey(extra), plat::kSuccess);
    EXPECT_EQ(sim::CallCount(sim::FailKind::Registry), calls);
}

TEST_F(RegistryApiTest, FailedHandleCreationLeavesNoHandle) {
    reg::CreateKey(u"Dev");
    sim::FailNth(sim::FailKind::Handle, 1);
    KeyHandle h = 0;
    EXPECT_NE(plat::RegOpenKey(kLocalMachineRoot, u"Dev", 0, 0, &h), plat::kSuccess);
    EXPECT_EQ(h, 0u);
    EXPECT_THAT(OpenKeyHandles(), IsEmpty());
}

TEST_F(RegistryApiTest, PathHelpersRoundTripTheirTypes) {
    ASSERT_TRUE(reg::SetString(u"A\\B", u"Text", u"h\u00e9llo"));
    ASSERT_TRUE(reg::SetDword(u"A\\B", u"Num", 0xA1B2C3D4));
    ASSERT_TRUE(reg::SetMultiString(u"A\\B", u"List", {u"one", u"two"}));
    EXPECT_EQ(reg::GetString(u"a\\b", u"text"), u"h\u00e9llo");
    EXPECT_EQ(reg::GetValue(u"A\\B", u"Text")->data.size(), 12u) << "terminator counted";
    EXPECT_EQ(reg::GetDword(u"A\\B", u"Num"), 0xA1B2C3D4u);
    EXPECT_EQ(reg::GetValue(u"A\\B", u"Num")->data, (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(reg::GetMultiString(u"A\\B", u"List"), (std::vector<std::u16string>{u"one", u"two"}));
    EXPECT_EQ(reg::GetValue(u"A\\B", u"List")->data.size(), 18u);
    // Wrong type or shape reads as nothing.
    EXPECT_EQ(reg::GetDword(u"A\\B", u"Text"), std::nullopt);
    EXPECT_EQ(reg::GetString(u"A\\B", u"Num"), std::nullopt);
    EXPECT_EQ(reg::GetDword(u"A\\B", u"Missing"), std::nullopt);
    EXPECT_TRUE(reg::DeleteValue(u"A\\B", u"NUM"));
    EXPECT_FALSE(reg::DeleteValue(u"A\\B", u"NUM"));
    EXPECT_FALSE(reg::DeleteKeyTree(u"")) << "the root is cleared, not deleted";
    reg::ClearAll();
    EXPECT_THAT(reg::SubKeys(u""), IsEmpty());
}

TEST_F(RegistryApiTest, SubKeysAreSortedWithoutCase) {
    for (const char16_t* name : {u"b", u"C", u"a", u"D10", u"d2"}) {
        reg::CreateKey(std::u16string(u"K\\") + name);
    }
    EXPECT_THAT(reg::SubKeys(u"K"), ElementsAre(u"a", u"b", u"C", u"D10", u"d2"));
}

// Concurrent writers, readers and enumerators on shared keys: every write lands once and
// enumeration never sees a torn value.
TEST_F(RegistryApiTest, ConcurrentUseIsSafe) {
    constexpr int kThreads = 4;
    constexpr int kValues = 300;
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &bad] {
            KeyHandle k = 0;
            if (plat::RegCreateKey(kLocalMachineRoot, u"Shared", 0, nullptr, 0, 0, nullptr, &k,
                                   nullptr) != 0) {
                bad = true;
                return;
            }
            for (int i = 0; i < kValues; ++i) {
                std::u16string name = u"v" + reg::FromUtf8(std::to_string(t * kValues + i));
                const uint32_t n = static_cast<uint32_t>(t * kValues + i);
                if (plat::RegSetValue(k, name.c_str(), 0, plat::kRegDword,
                                      reinterpret_cast<const uint8_t*>(&n), 4) != 0) {
                    bad = true;
                }
                char16_t got[32];
                uint32_t gotLength = 32, data = 0, dataLength = 4;
                uint32_t r =
                    plat::RegEnumValue(k, static_cast<uint32_t>(i), got, &gotLength, nullptr,
                                       nullptr, reinterpret_cast<uint8_t*>(&data), &dataLength);
                if (r != 0 || dataLength != 4) bad = true;
            }
            plat::RegCloseKey(k);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(bad);
    EXPECT_EQ(reg::Values(u"Shared").size(), size_t{kThreads * kValues});
}

}  // namespace
}  // namespace zeltest
