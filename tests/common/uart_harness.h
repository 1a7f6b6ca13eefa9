// Test harness for UART ports: the registry keys a port is started from, a test adapter that
// makes UartPorts, a service thread that plays the card's interrupt thread, and simulated
// UARTs placed on the bus where the port keys say.
//
// Typical use:
//   UartBench bench;                                  // adapter with up to 8 ports
//   auto& uart = bench.AddUart(1);                    // model UART for port 1 on the bus
//   auto wire = sim::ConnectLoopbackPlug(uart);
//   zel::PortDevice* device = bench.StartStreamPort(1);  // the stream layer's Init
//   ... Open / Read / Write / IOControl through src/port/entry_points.h ...
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "adapter/adapter_base.h"
#include "platform/serial.h"
#include "platform/types.h"
#include "sim/hw/uart.h"
#include "tests/common/scripted_uart.h"
#include "uart/uart_port.h"

namespace zel {
struct OpenHandle;
}

namespace zeltest {

constexpr uint32_t kTestClock = 1843200;
// Bus addresses of the test UART windows: port n at kTestBusBase + 0x1000 * n.
constexpr uint64_t kTestBusBase = 0x40000000;
uint64_t TestBusAddress(uint32_t port);

// What the port's device key and active key hold.
struct PortKeyValues {
    uint32_t port = 1;                // "DeviceArrayIndex"
    std::optional<uint64_t> memBase;  // nothing: TestBusAddress(port)
    uint32_t memLen = 15;             // "MemLen"
    std::optional<uint32_t> clockRate = kTestClock;
    bool clockRateAsString = false;  // store "ClockRate" as a string instead
    std::optional<uint32_t> waterMarker;
    std::optional<uint32_t> regStride;
    std::optional<uint32_t> priority256;
    // The active key's "Name"; nothing writes no name. Raw bytes override the text.
    std::optional<std::u16string> name = u"COM1:";
    std::optional<std::vector<uint8_t>> nameBytes;
};

struct PortKeys {
    std::u16string deviceKey;  // "Drivers\\ZelTest\\Port_NN_k"
    std::u16string activeKey;  // "Drivers\\Active\\NN"
};

// Writes both keys (fresh paths each call) and returns them.
PortKeys WritePortKeys(const PortKeyValues& keyValues);
void DeletePortKeys(const PortKeys& keys);

// A UartPort that records what it reports and lets a test act inside its callbacks.
class ProbePort : public zel::UartPort {
  public:
    ProbePort(const plat::WChar* activeKeyPath, zel::PortDevice* streamContext);
    // Leaves the adapter's port table before this class's members go: the interrupt thread may
    // be inside NotifyInterrupt, which records into them, until the removal returns.
    ~ProbePort() override;

    plat::Bool NotifyInterrupt(uint32_t interruptBits) override;
    plat::Bool NotifyEvents(uint32_t events, uint32_t modemStatus) override;
    plat::Bool FilterReceivedChar(uint8_t* byte, plat::Bool parityError) override;

    struct EventCall {
        uint32_t events;
        uint32_t modemStatus;
        bool operator==(const EventCall&) const = default;
    };
    std::vector<uint32_t> InterruptCalls() const;
    std::vector<EventCall> EventCalls() const;
    // OR of all events reported so far, and how often one bit was reported.
    uint32_t EventsSeen() const;
    size_t EventCount(uint32_t bit) const;
    void ClearRecords();

    // Runs before the base filtering of each received byte (on the thread of ReceiveData).
    std::function<void(ProbePort&, uint8_t byte, plat::Bool parityError)> onFilter;
    // Runs at each NotifyInterrupt before it is handed on (on the interrupt thread).
    std::function<void(ProbePort&, uint32_t bits)> onInterrupt;

    // Without a stream layer behind it (a bare port), interrupts and events are recorded and
    // not handed on. With serveWhenBare a stand-in handler serves each reported kind instead
    // (received bytes are kept, modem and line status read, the transmit interrupt switched
    // off), so that a UART model's interrupt clears.
    bool bare = false;
    bool serveWhenBare = false;
    std::vector<uint8_t> Received() const;

  private:
    mutable std::mutex mu_;
    std::vector<uint32_t> interrupts_;
    std::vector<EventCall> events_;
    std::vector<uint8_t> received_;
};

// An adapter for tests: its CreatePortObject makes ProbePorts (or what the factory makes),
// MaskInterrupt records its calls.
class TestAdapter : public zel::AdapterBase {
  public:
    explicit TestAdapter(uint32_t ports);
    ~TestAdapter() override;

    using Factory = std::function<zel::SerialPort*(const plat::WChar*, zel::PortDevice*)>;
    void SetFactory(Factory factory) { factory_ = std::move(factory); }
    // Called at every MaskInterrupt, on the caller's thread.
    std::function<void(bool)> onMask;

    plat::Bool CreatePortDevices() override { return 1; }
    zel::SerialPort* CreatePortObject(const plat::WChar* activeKeyPath,
                                      zel::PortDevice* device) override;
    void MaskInterrupt(plat::Bool mask) override;
    void PostInit() override {}

    std::vector<bool> MaskCalls() const;
    void ClearMaskCalls();
    ProbePort* Probe(uint32_t port) { return dynamic_cast<ProbePort*>(FindPort(port)); }

  private:
    Factory factory_;
    mutable std::mutex mu_;
    std::vector<bool> maskCalls_;
};

// The card's interrupt thread, for UART models on the bus: waits for any watched UART's
// interrupt output and calls the adapter's ServicePort for it (lowest port first), then looks
// again while an interrupt is still pending, as the card's level-triggered line would.
class InterruptService {
  public:
    explicit InterruptService(zel::AdapterBase& adapter);
    ~InterruptService();
    InterruptService(const InterruptService&) = delete;
    InterruptService& operator=(const InterruptService&) = delete;

    void Watch(uint32_t port, std::shared_ptr<sim::Uart> uart);
    void Unwatch(uint32_t port);
    uint64_t Passes() const { return passes_.load(); }

  private:
    struct Watched {
        uint32_t port;
        std::shared_ptr<sim::Uart> uart;
        std::atomic<bool> raised{false};   // the output rose (set by the UART's callback)
        std::atomic<bool> recheck{false};  // the output was still up after the last pass
    };
    void Loop();

    zel::AdapterBase& adapter_;
    std::mutex mu_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<Watched>> watched_;  // guarded by mu_, sorted by port
    bool stop_ = false;
    std::atomic<uint64_t> passes_{0};
    std::thread thread_;
};

// Deletes a bare port through its virtual destructor.
struct PortDeleter {
    void operator()(zel::SerialPort* port) const { delete port; }
};
using PortPtr = std::unique_ptr<ProbePort, PortDeleter>;

// Everything one test needs: the adapter, the UART models on the bus, the service thread, and
// ports started through the stream layer or built bare.
class UartBench {
  public:
    explicit UartBench(uint32_t ports = 8);
    ~UartBench();
    UartBench(const UartBench&) = delete;
    UartBench& operator=(const UartBench&) = delete;

    TestAdapter& Adapter() { return *adapter_; }
    InterruptService& Service() { return *service_; }

    // A UART model for the port, attached at TestBusAddress(port) and watched by the service.
    sim::Uart& AddUart(uint32_t port, sim::UartConfig config = {});
    std::shared_ptr<sim::Uart> UartShared(uint32_t port);
    // Any bus target in place of a model (not watched: it has no interrupt output).
    void AttachTarget(uint32_t port, std::shared_ptr<sim::BusTarget> target);

    // Starts the port as the device manager would (the stream layer's Init with this adapter);
    // null when Init fails. Deinit happens in the destructor, or through StopStreamPort.
    zel::PortDevice* StartStreamPort(const PortKeyValues& keyValues);
    zel::PortDevice* StartStreamPort(uint32_t port);
    void StopStreamPort(zel::PortDevice* device);
    ProbePort* Probe(uint32_t port) { return adapter_->Probe(port); }

    // A port built by hand: constructed, Init, and (when asked) filed with the adapter and
    // PostInit, with no stream layer behind it. Init's result is in *initResult.
    PortPtr MakeBarePort(const PortKeyValues& keyValues, bool fileAndPostInit,
                         plat::Bool* initResult);

  private:
    std::unique_ptr<TestAdapter> adapter_;
    std::unique_ptr<InterruptService> service_;
    std::vector<std::pair<uint32_t, std::shared_ptr<sim::Uart>>> uarts_;
    std::vector<uint64_t> attached_;
    std::vector<zel::PortDevice*> devices_;
    std::vector<PortKeys> keys_;
};

// A bare port on a scripted UART (filed with the adapter and PostInit'ed when asked), the
// UART's log cleared once the port is up.
struct ScriptedPort {
    UartBench bench;
    std::shared_ptr<ScriptedUart> uart = std::make_shared<ScriptedUart>();
    PortPtr port;

    explicit ScriptedPort(const PortKeyValues& keyValues = {}, bool fileAndPostInit = true);
    ~ScriptedPort() { port.reset(); }
};

// Requests on an open stream handle (src/port/entry_points.h), for end-to-end tests.
zel::OpenHandle* OpenReadWrite(zel::PortDevice* device);
plat::Dcb GetDcb(zel::OpenHandle* handle);
bool SetDcb(zel::OpenHandle* handle, const plat::Dcb& dcb);
bool SetTimeouts(zel::OpenHandle* handle, const plat::CommTimeouts& timeouts);
plat::SerialDevStatus CommStatus(zel::OpenHandle* handle);
bool Purge(zel::OpenHandle* handle, uint32_t flags);
// Reads until n bytes have come or the time-out has passed; returns what came.
std::vector<uint8_t> ReadFor(zel::OpenHandle* handle, size_t n, std::chrono::milliseconds timeout);
// Sets the wait mask and waits for a comm event; 0 when none came in time (the wait is then
// ended by setting the mask again).
uint32_t WaitCommEventFor(zel::OpenHandle* handle, uint32_t mask, std::chrono::milliseconds timeout,
                          const std::function<void()>& whileWaiting = {});

// n bytes counting up from first (wrapping).
std::vector<uint8_t> Pattern(size_t n, uint8_t first = 1);

// Waits until pred() holds or the time-out passes; true when it held.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

}  // namespace zeltest
