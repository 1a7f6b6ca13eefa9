// What the device-manager and power tests share: a fixture that starts every test with an
// empty registry, no devices and a reset probe, helpers that write test-driver keys, and
// queries of the probe's log.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "platform/stream.h"
#include "sim/devmgr/devmgr.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"
#include "tests/devmgr/probe.h"

namespace tst {

inline std::u16string U(const std::string& text) {
    return sim::reg::FromUtf8(text);
}

// Index in the probe's log of the first line starting with text, or -1.
inline int LogIndex(const std::string& text) {
    auto log = TheProbe().Log();
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].rfind(text, 0) == 0) return static_cast<int>(i);
    }
    return -1;
}

// The lines starting with text, in order.
inline std::vector<std::string> LogLines(const std::string& text) {
    std::vector<std::string> lines;
    for (auto& line : TheProbe().Log()) {
        if (line.rfind(text, 0) == 0) lines.push_back(line);
    }
    return lines;
}

inline int LogCount(const std::string& text) {
    return static_cast<int>(LogLines(text).size());
}

template <typename Pred>
bool WaitFor(Pred pred, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }

    void TearDown() override {
        TheProbe().blockCalls = false;
        sim::DeactivateAll();
        EXPECT_THAT(TheProbe().Violations(), ::testing::IsEmpty());
        EXPECT_THAT(sim::LoadedLibraries(), ::testing::IsEmpty());
        EXPECT_THAT(sim::LiveHandles(), ::testing::IsEmpty());
    }

    static void Reset() {
        TheProbe().blockCalls = false;
        sim::DeactivateAll();
        sim::reg::ClearAll();
        sim::SetDriverDirectory(ZEL_TEST_DRIVER_DIR);
        sim::ClearActivationFailures();
        TheProbe().Reset();
    }

    // Writes a test-driver key below Drivers\Test.
    static std::u16string Key(const std::string& name, const std::string& prefix = "TST",
                              uint32_t flags = plat::kDeviceFlagNakedEntries,
                              std::optional<uint32_t> index = std::nullopt) {
        std::u16string path = u"Drivers\\Test\\" + U(name);
        sim::reg::SetString(path, u"Dll", u"tstdrv.dll");
        if (!prefix.empty()) sim::reg::SetString(path, u"Prefix", U(prefix));
        sim::reg::SetDword(path, u"Flags", flags);
        if (index) sim::reg::SetDword(path, u"Index", *index);
        return path;
    }

    static plat::Handle Activate(const std::u16string& path, void* context = nullptr) {
        return plat::ActivateDevice(path.c_str(), nullptr, 0, context);
    }
};

constexpr uint32_t kReadWrite = plat::kAccessRead | plat::kAccessWrite;

}  // namespace tst
