// The simulated kernel's own interface, for the rest of the simulated machine and for tests.
// The driver never includes this; it sees only src/platform/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace sim {

// Anything a handle can name: events, threads, registry keys, bus-access handles, loaded
// interrupt handlers, devices. The table keeps a shared reference until the handle is closed.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Short description for leak reports ("event", "thread", "registry key HKLM\...").
    virtual std::string Describe() const = 0;
    // Called when the handle naming the object is closed (before the reference is dropped).
    virtual void OnClose() {}
};

// Files an object under a new handle. Returns 0 when handle creation is made to fail.
plat::Handle HandleInsert(std::shared_ptr<KernelObject> object);
// The object a live handle names, or null.
std::shared_ptr<KernelObject> HandleLookup(plat::Handle handle);
template <typename T>
std::shared_ptr<T> HandleLookupAs(plat::Handle handle) {
    return std::dynamic_pointer_cast<T>(HandleLookup(handle));
}
// Removes a live handle (what HandleClose does after checks). False for 0 or an unknown handle.
bool HandleRemove(plat::Handle handle);

struct HandleInfo {
    plat::Handle handle;
    std::string description;
};
// Every live handle, in creation order.
std::vector<HandleInfo> LiveHandles();
// How many handles are live: what LiveHandles().size() says, without describing each.
size_t LiveHandleCount();
// Refusals of HandleClose (closing 0, closing twice) since start, for tests.
uint64_t RefusedCloseCount();

// Failure injection. FailNth(kind, n): the n-th call of that kind from now on fails (n >= 1);
// n = 0 disarms. ShouldFail counts one call of the kind and says whether it must fail.
enum class FailKind { Allocation, Handle, Registry };
void FailNth(FailKind kind, uint64_t n);
bool ShouldFail(FailKind kind);
uint64_t CallCount(FailKind kind);
void DisarmAllFailures();

// Heap blocks and objects allocated through the platform and not yet released.
struct AllocationStats {
    uint64_t blocks;
    uint64_t bytes;
};
AllocationStats LiveAllocations();

// Raises a processor fault on the calling thread: inside RunGuarded it unwinds to the guard;
// elsewhere it prints the reason and aborts the process.
[[noreturn]] void RaiseProcessorFault(const std::string& reason);
// Faults caught by RunGuarded since start, and the reason of the latest one.
uint64_t CaughtFaultCount();
std::string LastCaughtFault();

// System notifications raised so far (event numbers), for tests.
std::vector<uint32_t> RaisedSystemEvents();
void ClearRaisedSystemEvents();

// Tick counter offset, so that tests can run near the 32-bit wrap.
void SetTickOffset(uint32_t offset);
// Whether DisableThreadLibraryCalls was called for this module.
bool ThreadLibraryCallsDisabled(const void* module);

// Threads blocked at this moment in a wait on the event or thread handle (0 for others), so
// tests can tell when a waiter has arrived.
size_t WaitingThreads(plat::Handle handle);

// Recorded priority of a thread handle (-1 when unknown).
int ThreadPriorityOf(plat::Handle thread);

// Lock-order checking. When a thread enters a critical section while holding others, the
// pairs are recorded; an order that contradicts an earlier one is reported. The handler is
// called with the report; the default prints it and aborts.
using LockOrderHandler = void (*)(const std::string& report);
void SetLockOrderHandler(LockOrderHandler handler);  // null restores the default
uint64_t LockOrderReportCount();
// Names of the critical sections the calling thread holds, innermost last.
std::vector<std::string> HeldLocks();

// Every live thread that has entered a critical section, waited, slept or been labelled: what
// it holds and what it is blocked on, so that a stuck program can say who waits for whom.
struct ThreadReport {
    std::string label;  // SetThreadLabel's; "thread N <start routine>" for platform threads
    long tid = 0;       // the host's thread id
    std::vector<std::string> held;  // critical sections, outermost first
    std::string blockedOn;          // "" while running, else "critical section \"X\"", "sleep"...
    uint64_t blockedMs = 0;         // how long the current block has lasted
};
// Names the calling thread in the reports.
void SetThreadLabel(const std::string& label);
std::vector<ThreadReport> ThreadReports();
// One line per thread: label, tid, held sections, what it is blocked on and for how long.
std::string FormatThreadReports(const std::vector<ThreadReport>& reports);

// Debug output goes here (default stderr) when the zone is on.
void SetDebugSink(void (*sink)(const std::string& line));

}  // namespace sim
