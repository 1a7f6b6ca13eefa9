#include "tests/port/port_fixture.h"

#include "sim/registry/registry.h"

namespace zel::test {

namespace {

constexpr const plat::WChar* kTestRoot = u"Drivers\\ZelStreamTest";

void SetDword(plat::KeyHandle key, const plat::WChar* name, uint32_t value) {
    ASSERT_EQ(plat::RegSetValue(key, name, 0, plat::kRegDword,
                                reinterpret_cast<const uint8_t*>(&value), sizeof(value)),
              plat::kSuccess);
}

}  // namespace

void PortKeysTest::WriteKeys(bool withIndex, bool withPriority, uint32_t index, uint32_t priority) {
    DeleteKeys();
    plat::KeyHandle key = 0;
    ASSERT_EQ(plat::RegCreateKey(plat::kLocalMachineRoot, kDeviceKey, 0, nullptr, 0, 0, nullptr,
                                 &key, nullptr),
              plat::kSuccess);
    if (withIndex) SetDword(key, u"DeviceArrayIndex", index);
    if (withPriority) SetDword(key, u"Priority256", priority);
    plat::RegCloseKey(key);

    plat::KeyHandle active = 0;
    ASSERT_EQ(plat::RegCreateKey(plat::kLocalMachineRoot, kActiveKey, 0, nullptr, 0, 0, nullptr,
                                 &active, nullptr),
              plat::kSuccess);
    const std::u16string path(kDeviceKey);
    ASSERT_EQ(plat::RegSetValue(active, u"Key", 0, plat::kRegString,
                                reinterpret_cast<const uint8_t*>(path.c_str()),
                                static_cast<uint32_t>((path.size() + 1) * sizeof(char16_t))),
              plat::kSuccess);
    plat::RegCloseKey(active);
}

void PortKeysTest::DeleteKeys() {
    sim::reg::DeleteKeyTree(kTestRoot);
    sim::reg::DeleteKeyTree(kActiveKey);
}

void PortTest::SetUp() {
    PortKeysTest::SetUp();
    device = Init(kActiveKey, &adapter);
    ASSERT_NE(device, nullptr);
    port = adapter.lastPort;
    ASSERT_NE(port, nullptr);
}

void PortTest::TearDown() {
    if (device != nullptr) {
        EXPECT_EQ(Deinit(device), 1);
    }
    device = nullptr;
    port = nullptr;
    PortKeysTest::TearDown();
}

}  // namespace zel::test
