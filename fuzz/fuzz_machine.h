// The machine the stream-level fuzz targets run on, booted once per process: one two-port card
// served by the real driver library through the device manager, port 1 with a loopback plug,
// port 2 wired to an external far end that the fuzzer drives. Lines run a thousand times faster
// than real time, so an input costs microseconds of line time, not milliseconds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/types.h"

namespace sim {
class ExternalWire;
class RecordingEndpoint;
class Uart;
}  // namespace sim

namespace zelfuzz {

struct FuzzMachine {
    std::u16string loopbackPort;  // "COM1:"
    std::u16string externalPort;  // "COM2:"
    sim::Uart* loopbackUart = nullptr;
    sim::Uart* externalUart = nullptr;
    sim::ExternalWire* wire = nullptr;  // the far end of the external port
    sim::RecordingEndpoint* recorder = nullptr;  // what the external port sent
    plat::Handle loopbackDevice = 0;    // the port devices, for PowerDown / PowerUp
    plat::Handle externalDevice = 0;
    uint32_t sysIntr = 0;               // the card's system interrupt
    void* adapterContext = nullptr;     // what the family's Init returned
    // The family's IOControl entry point in the loaded library.
    plat::Bool (*adapterIoControl)(void*, uint32_t, const void*, uint32_t, void*, uint32_t,
                                   uint32_t*) = nullptr;
};

// Boots on the first call; a machine that does not come up ends the process.
FuzzMachine& Machine();

// Reports a broken expectation and aborts, which libFuzzer records as a crash with the input.
[[noreturn]] void Fault(const char* target, const std::string& what);

// Fails with the live handles listed when their count is not `expected`, after giving the
// machine's own threads a moment to let go of any they hold briefly.
void ExpectHandleCount(const char* target, size_t expected);

// A second application thread: runs one call at a time, handed over by the fuzzer's thread,
// so that the fuzzer's thread goes on while that call blocks inside the driver.
class Helper {
  public:
    Helper();
    ~Helper();
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // False when a call is still running there.
    bool TryRun(std::function<void()> job);
    bool WaitIdle(std::chrono::milliseconds timeout);

  private:
    void Loop();

    std::mutex mu_;
    std::condition_variable wake_, idle_;
    std::function<void()> job_;  // guarded by mu_, like the two flags
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace zelfuzz
