// Pieces of the simulated kernel shared between its own source files.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "sim/kernel/sim_kernel.h"

// Per-thread state of the kernel sits on the enter, leave, set and wait paths. zelplat is
// linked by every program rather than loaded later, so its thread-locals can live in the
// static block, which avoids a resolver call on every access.
#define ZEL_FAST_TLS __attribute__((tls_model("initial-exec")))

namespace sim::kernel {

// One thread blocked in a wait; lives on the waiting thread's stack. Whoever releases it sets
// `released` and notifies `cv` while holding the owning Waitable's mutex, so the record is
// never touched after the waiter has seen `released` and returned.
struct Waiter {
    std::condition_variable cv;
    bool released = false;
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
};

// Anything a thread can wait on. Waiters queue in arrival order, so a single release goes to
// the thread that has waited longest.
class Waitable : public KernelObject {
public:
    // kWaitSignalled, or kWaitTimedOut. On a platform thread that has been terminated it
    // unwinds the thread instead of returning.
    uint32_t Wait(uint32_t timeoutMs);
    size_t WaitingThreads();

protected:
    // With mutex_ held: takes the signal when there is one (and consumes it if it is one-shot).
    virtual bool TryAcquireLocked() = 0;
    bool HasWaitersLocked() const { return head_ != nullptr; }
    void ReleaseFirstLocked();
    void ReleaseAllLocked();

    std::mutex mutex_;

private:
    void EnqueueLocked(Waiter* w);
    void DequeueLocked(Waiter* w);

    Waiter* head_ = nullptr;
    Waiter* tail_ = nullptr;
    size_t waiting_ = 0;
};

// The waitable object (event or thread) a live handle names, or null. The table notes at
// insertion whether an object is waitable, so this costs no cast.
std::shared_ptr<Waitable> LookupWaitable(plat::Handle handle);
// Runs visit on the waitable object a live handle names while holding the table's read lock
// (the handle cannot be closed meanwhile and no reference is taken); false when there is none.
// visit must be short and must not use the handle table.
using WaitableVisitor = void (*)(Waitable& object, void* context);
bool VisitWaitable(plat::Handle handle, WaitableVisitor visit, void* context);

// A wait that can be cut short: the calling platform thread publishes it so that a
// ThreadTerminate from another thread can wake it.
void BeginInterruptibleWait(std::mutex* mutex, std::condition_variable* cv);
void EndInterruptibleWait();
// True when the calling thread is a platform thread that has been asked to end.
bool TerminationRequested();
// Unwinds the calling thread when it has been asked to end (no-op otherwise).
void ExitIfTerminationRequested();

// Critical sections the calling thread still holds, for the report when a thread ends.
void ReportAndForgetHeldLocks(const char* why);

// What a thread shows to ThreadReports: the critical sections it holds and what it is blocked
// on. Every thread that enters a section, waits, sleeps or is labelled gets one; it is dropped
// when the thread ends.
constexpr int kMaxPublishedLocks = 64;
struct ThreadRecord {
    // Written by the owning thread only, read by reports without a lock: a report taken while
    // the owner moves may be one step behind, never unsafe, because names are string literals
    // and records are only printed.
    std::atomic<int> heldCount{0};
    std::atomic<const char*> heldNames[kMaxPublishedLocks] = {};
    std::atomic<const void*> heldRecords[kMaxPublishedLocks] = {};

    std::mutex mutex;  // guards the fields below
    std::string label;
    long tid = 0;
    // The object a wait is blocked on (kept alive by the waiter until it clears this), or the
    // section an enter is blocked on; none while the thread runs.
    const KernelObject* waitObject = nullptr;
    bool waitingForSection = false;
    const char* waitSectionName = nullptr;
    const void* waitSectionRecord = nullptr;
    std::chrono::steady_clock::time_point since;
};

extern constinit ZEL_FAST_TLS thread_local ThreadRecord* tThreadRecord;
// Files the calling thread; null once its thread-local storage is being torn down.
ThreadRecord* RegisterCurrentThread();
inline ThreadRecord* CurrentThreadRecord() {
    ThreadRecord* record = tThreadRecord;
    return record != nullptr ? record : RegisterCurrentThread();
}

// Marks the calling thread blocked on a waitable object for the lifetime of the note.
class WaitNote {
public:
    explicit WaitNote(const KernelObject* object);
    ~WaitNote();
    WaitNote(const WaitNote&) = delete;
    WaitNote& operator=(const WaitNote&) = delete;

private:
    ThreadRecord* record_;
};
// The same for a critical section whose enter has to wait.
void NoteSectionWait(const char* name, const void* record);
void EndSectionWait();
// "thread N" and the start routine's symbol, for a platform thread's record.
std::string PlatformThreadLabel(uint32_t id, const void* start);

// Steady time point after timeoutMs, or max() for the infinite time-out.
inline std::chrono::steady_clock::time_point DeadlineAfter(uint32_t timeoutMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace sim::kernel

