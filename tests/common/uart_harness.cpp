#include "tests/common/uart_harness.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <new>
#include <string>

#include "port/entry_points.h"
#include "sim/bus/sim_bus.h"
#include "sim/registry/registry.h"

namespace zeltest {

uint64_t TestBusAddress(uint32_t port) {
    return kTestBusBase + 0x1000ull * port;
}

namespace {

std::atomic<uint32_t> gKeySerial{0};

std::u16string Decimal(uint32_t n, int width) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + n % 10));
        n /= 10;
    } while (n != 0);
    while (static_cast<int>(digits.size()) < width) digits.insert(digits.begin(), u'0');
    return digits;
}

}  // namespace

PortKeys WritePortKeys(const PortKeyValues& keyValues) {
    namespace reg = sim::reg;
    const uint32_t serial = ++gKeySerial;
    PortKeys keys;
    keys.deviceKey =
        u"Drivers\\ZelTest\\Port_" + Decimal(keyValues.port, 2) + u"_" + Decimal(serial, 1);
    // Active key numbers far above what the device manager hands out in these tests.
    keys.activeKey = u"Drivers\\Active\\" + Decimal(100 + serial, 2);

    const std::u16string& k = keys.deviceKey;
    reg::CreateKey(k);
    reg::SetDword(k, u"DeviceArrayIndex", keyValues.port);
    if (keyValues.clockRate) {
        if (keyValues.clockRateAsString) {
            reg::SetString(k, u"ClockRate", u"1843200");
        } else {
            reg::SetDword(k, u"ClockRate", *keyValues.clockRate);
        }
    }
    const uint64_t base = keyValues.memBase ? *keyValues.memBase : TestBusAddress(keyValues.port);
    reg::SetDword(k, u"MemBase", static_cast<uint32_t>(base));
    reg::SetDword(k, u"MemLen", keyValues.memLen);
    reg::SetDword(k, u"InterfaceType", plat::kInterfaceTypePci);
    reg::SetDword(k, u"BusNumber", 0);
    if (keyValues.waterMarker) reg::SetDword(k, u"WaterMarker", *keyValues.waterMarker);
    if (keyValues.regStride) reg::SetDword(k, u"RegStride", *keyValues.regStride);
    if (keyValues.priority256) reg::SetDword(k, u"Priority256", *keyValues.priority256);

    const std::u16string& a = keys.activeKey;
    reg::CreateKey(a);
    reg::SetString(a, u"Key", k);
    if (keyValues.nameBytes) {
        reg::SetValue(a, u"Name", plat::kRegString, *keyValues.nameBytes);
    } else if (keyValues.name) {
        reg::SetString(a, u"Name", *keyValues.name);
    }
    return keys;
}

void DeletePortKeys(const PortKeys& keys) {
    sim::reg::DeleteKeyTree(keys.activeKey);
    sim::reg::DeleteKeyTree(keys.deviceKey);
}

// ---------------------------------------------------------------------------------------------
// ProbePort

ProbePort::ProbePort(const plat::WChar* activeKeyPath, zel::PortDevice* streamContext)
    : UartPort(activeKeyPath, streamContext) {}

ProbePort::~ProbePort() {
    if (zel::AdapterBase* adapter = OwningAdapter()) adapter->RemovePort(this);
}

plat::Bool ProbePort::NotifyInterrupt(uint32_t interruptBits) {
    {
        std::lock_guard lock(mu_);
        interrupts_.push_back(interruptBits);
    }
    if (onInterrupt) onInterrupt(*this, interruptBits);
    if (!bare) return UartPort::NotifyInterrupt(interruptBits);
    if (!serveWhenBare) return 1;
    if (interruptBits & zel::InterruptReceive) {
        uint8_t buffer[kFifoSize];
        uint32_t count = sizeof(buffer);
        ReceiveData(buffer, &count);
        std::lock_guard lock(mu_);
        received_.insert(received_.end(), buffer, buffer + count);
    }
    if (interruptBits & zel::InterruptTransmit) {
        uint32_t none = 0;
        TransmitData(nullptr, &none);
    }
    if (interruptBits & zel::InterruptModem) ServiceModemStatus();
    if (interruptBits & zel::InterruptLine) ServiceLineStatus();
    return 1;
}

std::vector<uint8_t> ProbePort::Received() const {
    std::lock_guard lock(mu_);
    return received_;
}

plat::Bool ProbePort::NotifyEvents(uint32_t events, uint32_t modemStatus) {
    {
        std::lock_guard lock(mu_);
        events_.push_back({events, modemStatus});
    }
    if (bare) return 1;
    return UartPort::NotifyEvents(events, modemStatus);
}

plat::Bool ProbePort::FilterReceivedChar(uint8_t* byte, plat::Bool parityError) {
    if (onFilter && byte != nullptr) onFilter(*this, *byte, parityError);
    return UartPort::FilterReceivedChar(byte, parityError);
}

std::vector<uint32_t> ProbePort::InterruptCalls() const {
    std::lock_guard lock(mu_);
    return interrupts_;
}

std::vector<ProbePort::EventCall> ProbePort::EventCalls() const {
    std::lock_guard lock(mu_);
    return events_;
}

uint32_t ProbePort::EventsSeen() const {
    std::lock_guard lock(mu_);
    uint32_t all = 0;
    for (const EventCall& e : events_) all |= e.events;
    return all;
}

size_t ProbePort::EventCount(uint32_t bit) const {
    std::lock_guard lock(mu_);
    size_t n = 0;
    for (const EventCall& e : events_) n += (e.events & bit) ? 1 : 0;
    return n;
}

void ProbePort::ClearRecords() {
    std::lock_guard lock(mu_);
    interrupts_.clear();
    events_.clear();
}

// ---------------------------------------------------------------------------------------------
// TestAdapter

TestAdapter::TestAdapter(uint32_t ports) : AdapterBase(nullptr) {
    portCount = ports;
}

TestAdapter::~TestAdapter() = default;

zel::SerialPort* TestAdapter::CreatePortObject(const plat::WChar* activeKeyPath,
                                               zel::PortDevice* device) {
    if (factory_) return factory_(activeKeyPath, device);
    return new (std::nothrow) ProbePort(activeKeyPath, device);
}

void TestAdapter::MaskInterrupt(plat::Bool mask) {
    {
        std::lock_guard lock(mu_);
        maskCalls_.push_back(mask != 0);
    }
    if (onMask) onMask(mask != 0);
}

std::vector<bool> TestAdapter::MaskCalls() const {
    std::lock_guard lock(mu_);
    return maskCalls_;
}

void TestAdapter::ClearMaskCalls() {
    std::lock_guard lock(mu_);
    maskCalls_.clear();
}

// ---------------------------------------------------------------------------------------------
// InterruptService

InterruptService::InterruptService(zel::AdapterBase& adapter) : adapter_(adapter) {
    thread_ = std::thread([this] { Loop(); });
    // The card's interrupt thread runs above ordinary threads; where the machine allows it this
    // one does too, so that a busy machine does not hold it past the receive FIFO's capacity.
    sched_param param{};
    param.sched_priority = 10;
    pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &param);
}

InterruptService::~InterruptService() {
    std::vector<std::shared_ptr<sim::Uart>> uarts;
    {
        std::lock_guard lock(mu_);
        for (auto& w : watched_) uarts.push_back(w->uart);
    }
    for (auto& u : uarts) u->SetInterruptCallback(nullptr);
    {
        std::lock_guard lock(mu_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void InterruptService::Watch(uint32_t port, std::shared_ptr<sim::Uart> uart) {
    auto entry = std::make_shared<Watched>();
    entry->port = port;
    entry->uart = uart;
    {
        std::lock_guard lock(mu_);
        watched_.push_back(entry);
        std::sort(watched_.begin(), watched_.end(),
                  [](const auto& a, const auto& b) { return a->port < b->port; });
    }
    uart->SetInterruptCallback([this, raw = entry.get()](bool asserted) {
        if (!asserted) return;
        {
            std::lock_guard lock(mu_);
            raw->raised = true;
        }
        wake_.notify_all();
    });
}

void InterruptService::Unwatch(uint32_t port) {
    std::shared_ptr<Watched> entry;
    {
        std::lock_guard lock(mu_);
        for (auto& w : watched_) {
            if (w->port == port) entry = w;
        }
    }
    if (!entry) return;
    // After this returns the callback no longer runs, so the entry can go.
    entry->uart->SetInterruptCallback(nullptr);
    std::lock_guard lock(mu_);
    std::erase(watched_, entry);
}

void InterruptService::Loop() {
    // The UART's output is a level. Its callback reports rises, but a source that becomes
    // pending again before the output was seen to fall gives no new rise, so while an output
    // stays up after a pass the thread looks again shortly (as the card's line, still asserted
    // after the end of interrupt, would be reported again).
    std::unique_lock lock(mu_);
    while (!stop_) {
        auto anyRaised = [this] {
            for (auto& w : watched_) {
                if (w->raised) return true;
            }
            return false;
        };
        bool anyRecheck = false;
        for (auto& w : watched_) anyRecheck |= w->recheck.load();
        if (!anyRaised()) {
            // A missed or late report is caught by looking at every port each millisecond.
            wake_.wait_for(lock, anyRecheck ? std::chrono::microseconds(200)
                                            : std::chrono::microseconds(1000));
            if (stop_) return;
            for (auto& w : watched_) w->recheck = true;
        }
        const std::vector<std::shared_ptr<Watched>> snapshot = watched_;
        lock.unlock();
        for (const auto& w : snapshot) {
            const bool recheck = w->recheck.exchange(false);
            const bool serve =
                w->raised.exchange(false) || (recheck && w->uart->InterruptPending());
            if (serve) {
                adapter_.ServicePort(w->port);
                ++passes_;
            }
            if (serve || recheck) {
                if (w->uart->InterruptPending()) {
                    w->raised = true;
                } else if (w->uart->InterruptOutput()) {
                    w->recheck = true;
                }
            }
        }
        lock.lock();
    }
}

// ---------------------------------------------------------------------------------------------
// UartBench

UartBench::UartBench(uint32_t ports) {
    adapter_.reset(new (std::nothrow) TestAdapter(ports));
    service_ = std::make_unique<InterruptService>(*adapter_);
}

UartBench::~UartBench() {
    // Ports first (they leave the adapter), then the service, the bus targets and the keys.
    for (zel::PortDevice* device : devices_) ::Deinit(device);
    devices_.clear();
    service_.reset();
    for (uint64_t base : attached_) sim::BusDetach(base);
    uarts_.clear();
    adapter_.reset();
    for (const PortKeys& keys : keys_) DeletePortKeys(keys);
}

sim::Uart& UartBench::AddUart(uint32_t port, sim::UartConfig config) {
    if (config.name == "uart") config.name = "uart" + std::to_string(port);
    std::shared_ptr<sim::Uart> uart = sim::Uart::Create(config);
    sim::BusAttach(TestBusAddress(port), sim::uart::kWindowLength, uart);
    attached_.push_back(TestBusAddress(port));
    uarts_.emplace_back(port, uart);
    service_->Watch(port, uart);
    return *uart;
}

std::shared_ptr<sim::Uart> UartBench::UartShared(uint32_t port) {
    for (auto& [p, u] : uarts_) {
        if (p == port) return u;
    }
    return nullptr;
}

void UartBench::AttachTarget(uint32_t port, std::shared_ptr<sim::BusTarget> target) {
    sim::BusAttach(TestBusAddress(port), sim::uart::kWindowLength, std::move(target));
    attached_.push_back(TestBusAddress(port));
}

zel::PortDevice* UartBench::StartStreamPort(const PortKeyValues& keyValues) {
    keys_.push_back(WritePortKeys(keyValues));
    zel::PortDevice* device = ::Init(keys_.back().activeKey.c_str(), adapter_.get());
    if (device != nullptr) devices_.push_back(device);
    return device;
}

zel::PortDevice* UartBench::StartStreamPort(uint32_t port) {
    PortKeyValues keyValues;
    keyValues.port = port;
    keyValues.name = u"COM" + Decimal(port, 1) + u":";
    return StartStreamPort(keyValues);
}

void UartBench::StopStreamPort(zel::PortDevice* device) {
    std::erase(devices_, device);
    ::Deinit(device);
}

PortPtr UartBench::MakeBarePort(const PortKeyValues& keyValues, bool fileAndPostInit,
                                plat::Bool* initResult) {
    keys_.push_back(WritePortKeys(keyValues));
    PortPtr port(new (std::nothrow) ProbePort(keys_.back().activeKey.c_str(), nullptr));
    if (!port) return port;
    port->bare = true;
    const plat::Bool ok = port->Init();
    if (initResult != nullptr) *initResult = ok;
    if (ok && fileAndPostInit) {
        adapter_->AddPort(port.get(), keyValues.port);
        port->PostInit();
    }
    return port;
}

ScriptedPort::ScriptedPort(const PortKeyValues& keyValues, bool fileAndPostInit) {
    bench.AttachTarget(keyValues.port, uart);
    plat::Bool ok = 0;
    port = bench.MakeBarePort(keyValues, fileAndPostInit, &ok);
    if (!ok) port.reset();
    uart->ClearLog();
}

// ---------------------------------------------------------------------------------------------
// Stream requests

zel::OpenHandle* OpenReadWrite(zel::PortDevice* device) {
    return ::Open(device, plat::kAccessRead | plat::kAccessWrite, 0);
}

plat::Dcb GetDcb(zel::OpenHandle* handle) {
    plat::Dcb dcb{};
    uint32_t actual = 0;
    ::IOControl(handle, plat::IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof(dcb), &actual);
    return dcb;
}

bool SetDcb(zel::OpenHandle* handle, const plat::Dcb& dcb) {
    return ::IOControl(handle, plat::IOCTL_SERIAL_SET_DCB, &dcb, sizeof(dcb), nullptr, 0,
                       nullptr) != 0;
}

bool SetTimeouts(zel::OpenHandle* handle, const plat::CommTimeouts& timeouts) {
    return ::IOControl(handle, plat::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts),
                       nullptr, 0, nullptr) != 0;
}

plat::SerialDevStatus CommStatus(zel::OpenHandle* handle) {
    plat::SerialDevStatus status{};
    uint32_t actual = 0;
    ::IOControl(handle, plat::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status),
                &actual);
    return status;
}

bool Purge(zel::OpenHandle* handle, uint32_t flags) {
    return ::IOControl(handle, plat::IOCTL_SERIAL_PURGE, &flags, sizeof(flags), nullptr, 0,
                       nullptr) != 0;
}

std::vector<uint8_t> ReadFor(zel::OpenHandle* handle, size_t n, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> got(n);
    size_t have = 0;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (have < n && std::chrono::steady_clock::now() < end) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(n - have, 4096));
        const uint32_t r = ::Read(handle, got.data() + have, chunk);
        if (r == 0xFFFFFFFFu) break;
        have += r;
    }
    got.resize(have);
    return got;
}

uint32_t WaitCommEventFor(zel::OpenHandle* handle, uint32_t mask, std::chrono::milliseconds timeout,
                          const std::function<void()>& whileWaiting) {
    ::IOControl(handle, plat::IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0, nullptr);
    auto wait = std::async(std::launch::async, [handle] {
        uint32_t seen = 0;
        uint32_t actual = 0;
        ::IOControl(handle, plat::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &seen, sizeof(seen),
                    &actual);
        return seen;
    });
    if (whileWaiting) whileWaiting();
    if (wait.wait_for(timeout) != std::future_status::ready) {
        // A new mask ends the wait in progress.
        ::IOControl(handle, plat::IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0,
                    nullptr);
        wait.get();
        return 0;
    }
    return wait.get();
}

std::vector<uint8_t> Pattern(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace zeltest
