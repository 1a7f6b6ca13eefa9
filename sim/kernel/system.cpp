// Time, per-thread state, system notifications, the fault guard and debug output.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/debug.h"
#include "platform/kernel.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/kernel/wstr_util.h"

namespace sim {
namespace {

std::chrono::steady_clock::time_point StartTime() {
    static const auto start = std::chrono::steady_clock::now();
    return start;
}
// Ticks count from library load, not from the first call.
[[maybe_unused]] const auto gStartAtLoad = StartTime();
std::atomic<uint32_t> gTickOffset{0};

constinit ZEL_FAST_TLS thread_local uint32_t tLastError = 0;
constexpr uint32_t kDefaultPermissions = 1;
constinit ZEL_FAST_TLS thread_local uint32_t tPermissions = kDefaultPermissions;

// Raised by RaiseProcessorFault, caught only by RunGuarded.
struct ProcessorFault {
    std::string reason;
};
constinit ZEL_FAST_TLS thread_local int tGuardDepth = 0;

struct Records {
    std::mutex mutex;
    std::vector<uint32_t> systemEvents;
    std::vector<const void*> quietModules;
    std::string lastCaughtFault;
};
Records& TheRecords() {
    static auto* records = new Records;  // never destroyed: threads may run past exit
    return *records;
}
std::atomic<uint64_t> gCaughtFaults{0};

void DefaultSink(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}
std::atomic<void (*)(const std::string&)> gDebugSink{nullptr};

}  // namespace

void SetTickOffset(uint32_t offset) {
    gTickOffset.store(offset);
}

void RaiseProcessorFault(const std::string& reason) {
    if (tGuardDepth > 0) throw ProcessorFault{reason};
    std::fprintf(stderr, "processor fault: %s\n", reason.c_str());
    std::abort();
}

uint64_t CaughtFaultCount() {
    return gCaughtFaults.load();
}

std::string LastCaughtFault() {
    std::lock_guard lock(TheRecords().mutex);
    return TheRecords().lastCaughtFault;
}

std::vector<uint32_t> RaisedSystemEvents() {
    std::lock_guard lock(TheRecords().mutex);
    return TheRecords().systemEvents;
}

void ClearRaisedSystemEvents() {
    std::lock_guard lock(TheRecords().mutex);
    TheRecords().systemEvents.clear();
}

bool ThreadLibraryCallsDisabled(const void* module) {
    std::lock_guard lock(TheRecords().mutex);
    for (const void* m : TheRecords().quietModules) {
        if (m == module) return true;
    }
    return false;
}

void SetDebugSink(void (*sink)(const std::string& line)) {
    gDebugSink.store(sink);
}

}  // namespace sim

namespace plat {

uint32_t TickCount() {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - sim::StartTime());
    return static_cast<uint32_t>(elapsed.count()) +
           sim::gTickOffset.load(std::memory_order_relaxed);
}

void SetLastErrorCode(uint32_t code) {
    sim::tLastError = code;
}
uint32_t LastErrorCode() {
    return sim::tLastError;
}

uint32_t GetPermissions() {
    return sim::tPermissions;
}

uint32_t SetPermissions(uint32_t permissions) {
    const uint32_t previous = sim::tPermissions;
    sim::tPermissions = permissions;
    return previous;
}

void RaiseSystemEvent(uint32_t event, const WChar* /*commandLine*/) {
    std::lock_guard lock(sim::TheRecords().mutex);
    sim::TheRecords().systemEvents.push_back(event);
}

Bool DisableThreadLibraryCalls(void* module) {
    std::lock_guard lock(sim::TheRecords().mutex);
    sim::TheRecords().quietModules.push_back(module);
    return 1;
}

Bool RunGuarded(void (*fn)(void*), void* context) {
    if (fn == nullptr) return 0;
    struct Depth {
        Depth() { ++sim::tGuardDepth; }
        ~Depth() { --sim::tGuardDepth; }
    };
    try {
        Depth guard;
        fn(context);
    } catch (const sim::ProcessorFault& fault) {
        sim::gCaughtFaults.fetch_add(1);
        std::lock_guard lock(sim::TheRecords().mutex);
        sim::TheRecords().lastCaughtFault = fault.reason;
        return 0;
    }
    return 1;
}

void PureVirtualCalled() {
    std::fprintf(stderr,
                 "pure virtual function called: an object was used during its "
                 "construction or after its destruction\n");
    std::abort();
}

void DebugMessage(const DebugZones* zones, uint32_t zoneMask, const char* format, ...) {
    if (zones == nullptr || (zones->zoneMask & zoneMask) == 0 || format == nullptr) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    const std::u16string_view module(
        zones->moduleName, sim::WStrNLen(zones->moduleName, std::size(zones->moduleName)));
    std::string line = sim::ToUtf8(module) + ": " + text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    auto sink = sim::gDebugSink.load();
    (sink != nullptr ? sink : sim::DefaultSink)(line);
}

}  // namespace plat
