// Shared fixture of the registry tests: every test starts from an empty registry with no
// failure armed, and must leave no registry key handle open.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"

namespace zeltest {

inline std::vector<std::string> OpenKeyHandles() {
    std::vector<std::string> keys;
    for (const sim::HandleInfo& h : sim::LiveHandles()) {
        if (h.description.starts_with("registry key")) keys.push_back(h.description);
    }
    return keys;
}

// Closes what a failed test left open, so that one failure does not cascade.
inline void CloseOpenKeyHandles() {
    for (const sim::HandleInfo& h : sim::LiveHandles()) {
        if (h.description.starts_with("registry key")) plat::RegCloseKey(h.handle);
    }
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::DisarmAllFailures();
        sim::reg::ClearAll();
        ASSERT_TRUE(OpenKeyHandles().empty()) << "an earlier test leaked a key handle";
    }
    void TearDown() override {
        sim::DisarmAllFailures();
        EXPECT_TRUE(OpenKeyHandles().empty()) << "key handles left open";
        CloseOpenKeyHandles();
        sim::reg::ClearAll();
    }
};

}  // namespace zeltest
