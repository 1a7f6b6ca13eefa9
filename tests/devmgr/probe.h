// Shared between the test driver library and the device-manager tests: the driver records
// what was called on it here and reads the behaviour the test asks for. It lives in its own
// library so that it outlives every load and unload of the test driver.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tst {

struct Probe {
    // Behaviour.
    std::atomic<bool> blockCalls{false};  // Read and IOControl code kBlockingCode block
    std::atomic<int> abortsToIgnore{0};   // a blocked call swallows this many wake-ups
    std::atomic<bool> failOpen{false};    // Open returns null
    std::atomic<uint32_t> openError{0};   // last-error code a failed Open sets (0: none)

    // What happened.
    std::atomic<int> attaches{0};
    std::atomic<int> detaches{0};
    std::atomic<int> callsInside{0};   // calls inside the driver right now
    std::atomic<int> blockedCalls{0};  // calls waiting for a wake-up right now

    void Record(const std::string& line);
    void Violation(const std::string& what);
    std::vector<std::string> Log();
    std::vector<std::string> Violations();
    void Reset();

  private:
    std::mutex mu_;
    std::vector<std::string> log_;
    std::vector<std::string> violations_;
};

Probe& TheProbe();

// IOControl codes of the test driver.
constexpr uint32_t kEchoCode = 1;      // out = the open record's number, actual = 4
constexpr uint32_t kRefuseCode = 2;    // fails with last error 87
constexpr uint32_t kBlockingCode = 3;  // blocks (while blockCalls) until woken
// IOCTL_POWER_CAPABILITIES answers DeviceDx 0x19; IOCTL_POWER_SET reaches D0 for D0 and D4
// for D1 .. D4 and refuses higher states with 87. Both are logged with the handle's access.
// Serial codes (0x1B00xx) succeed, are logged with their lengths and first input word (or
// byte), and fill the output with the bytes 1, 2, 3, ...

}  // namespace tst
