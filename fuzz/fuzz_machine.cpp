#include "fuzz/fuzz_machine.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "sim/devmgr/devmgr.h"
#include "sim/devmgr/machine.h"
#include "sim/hw/uart.h"
#include "sim/kernel/sim_kernel.h"

namespace zelfuzz {
namespace {

constexpr const char* kMachineText = R"(Windows Registry Editor Version 5.00
[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\PCI\Template\ZelKap]
"Dll"="zelser.dll"
"Prefix"="KAP"

[HKEY_LOCAL_MACHINE\Machine\Cards\Card1]
"Template"="ZelKap"
"Slot"=dword:00000001
"VendorID"=dword:00007a11
"DeviceID"=dword:00000154
"SubSystemID"=dword:00000a40

[HKEY_LOCAL_MACHINE\Machine\Cards\Card1\Port1]
"Wire"="loopback"

[HKEY_LOCAL_MACHINE\Machine\Cards\Card1\Port2]
"Wire"="external"
)";

constexpr double kLineTimeScale = 0.001;

// Shuts the machine down when the process exits normally.
struct Booted {
    std::unique_ptr<sim::Machine> machine;
    FuzzMachine view;
    ~Booted() {
        if (machine) machine->Shutdown();
    }
};

Booted* Boot() {
    auto* booted = new Booted;
    std::string error;
    booted->machine = sim::Machine::Boot(kMachineText, "fuzz.reg", &error);
    if (!booted->machine) Fault("machine", "cannot build the machine: " + error);
    if (!booted->machine->Start()) Fault("machine", "the machine did not start");
    FuzzMachine& m = booted->view;
    m.loopbackPort = booted->machine->PortDeviceName("Card1", 1);
    m.externalPort = booted->machine->PortDeviceName("Card1", 2);
    m.loopbackUart = booted->machine->UartOf("Card1", 1);
    m.externalUart = booted->machine->UartOf("Card1", 2);
    m.wire = booted->machine->ExternalOf("Card1", 2);
    m.recorder = booted->machine->RecorderOf("Card1", 2);
    if (m.loopbackPort.empty() || m.externalPort.empty() || !m.loopbackUart || !m.externalUart ||
        !m.wire || !m.recorder) {
        Fault("machine", "the ports are not there");
    }
    m.loopbackUart->SetCharTimeScale(kLineTimeScale);
    m.externalUart->SetCharTimeScale(kLineTimeScale);
    m.loopbackDevice = sim::FindDevice(m.loopbackPort)->handle;
    m.externalDevice = sim::FindDevice(m.externalPort)->handle;
    const sim::MachineCard* card = booted->machine->FindCard("Card1");
    const std::optional<sim::DeviceInfo> adapter = sim::DeviceOf(card->device);
    if (!adapter) Fault("machine", "no adapter device");
    m.adapterContext = adapter->context;
    m.sysIntr = card->sysIntr;
    void* library = dlopen(adapter->library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) {
        m.adapterIoControl = reinterpret_cast<decltype(m.adapterIoControl)>(
            dlsym(library, "KAP_IOControl"));
        dlclose(library);  // the device manager keeps its own reference
    }
    if (m.adapterIoControl == nullptr) Fault("machine", "no KAP_IOControl in the library");
    return booted;
}

}  // namespace

FuzzMachine& Machine() {
    static const std::unique_ptr<Booted> booted(Boot());
    return booted->view;
}

void Fault(const char* target, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::fflush(stderr);
    std::abort();
}

void ExpectHandleCount(const char* target, size_t expected) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (sim::LiveHandleCount() == expected) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::vector<sim::HandleInfo> live = sim::LiveHandles();
    std::string list;
    for (const sim::HandleInfo& h : live) list += "\n  " + h.description;
    Fault(target, std::to_string(live.size()) + " live handles, expected " +
                      std::to_string(expected) + ":" + list);
}

Helper::Helper() : thread_([this] { Loop(); }) {}

Helper::~Helper() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool Helper::TryRun(std::function<void()> job) {
    {
        std::lock_guard lock(mu_);
        if (busy_) return false;
        job_ = std::move(job);
        busy_ = true;
    }
    wake_.notify_all();
    return true;
}

bool Helper::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return idle_.wait_for(lock, timeout, [this] { return !busy_; });
}

void Helper::Loop() {
    std::unique_lock lock(mu_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || busy_; });
        if (stop_) return;
        std::function<void()> job = std::move(job_);
        lock.unlock();
        job();
        lock.lock();
        busy_ = false;
        idle_.notify_all();
    }
}

}  // namespace zelfuzz
