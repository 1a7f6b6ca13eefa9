// Platform threads over std::thread.
//
// A platform thread ends in one of three ways: its start routine returns, it calls ThreadExit,
// or another thread terminates it. ThreadExit and termination unwind the thread's stack with a
// private exception that only the thread's own trampoline catches; termination of a running
// thread takes effect at its next platform wait or sleep, which wakes up for it.
//
// The std::thread is detached at once and the trampoline keeps its own reference to the
// thread object, so closing the handle neither kills nor leaks the thread, and a thread that
// outlives its handle cleans up after itself.

#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/kernel.h"
#include "sim/kernel/internal.h"

namespace sim::kernel {
namespace {

// Default priority of a new thread, in the platform's 0 (highest) .. 255 (lowest) range.
constexpr int kDefaultPriority = 251;

struct ThreadExitSignal {
    uint32_t exitCode;
};

// Something to sleep on that is never signalled, so that sleeps are interruptible waits too.
class Sleeper final : public Waitable {
public:
    std::string Describe() const override { return "sleep"; }

private:
    bool TryAcquireLocked() override { return false; }
};

class ThreadObject final : public Waitable {
public:
    ThreadObject(plat::ThreadStart start, void* arg, bool suspended, uint32_t id)
        : start_(start), arg_(arg), id_(id), suspendCount_(suspended ? 1 : 0) {}

    std::string Describe() const override { return "thread " + std::to_string(id_); }

    // Nobody can resume a thread that never started once its handle is gone: end it now
    // rather than leave it parked for ever.
    void OnClose() override {
        std::lock_guard lock(mutex_);
        if (!started_ && !ended_) EndLocked(0);
    }

    void Run();

    uint32_t Resume() {
        std::lock_guard lock(mutex_);
        const uint32_t previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0) startCv_.notify_one();
        return previous;
    }

    void Terminate(uint32_t exitCode);

    uint32_t ExitCode() {
        std::lock_guard lock(mutex_);
        return ended_ ? exitCode_ : plat::kStillActive;
    }

    bool TerminationRequested() const { return terminating_.load(std::memory_order_acquire); }
    uint32_t TerminationCode() const { return terminateCode_.load(std::memory_order_relaxed); }

    void BeginWait(std::mutex* mutex, std::condition_variable* cv) {
        std::lock_guard lock(waitLock_);
        waitMutex_ = mutex;
        waitCv_ = cv;
    }
    void EndWait() {
        std::lock_guard lock(waitLock_);
        waitMutex_ = nullptr;
        waitCv_ = nullptr;
    }

    void SleepFor(uint32_t ms) { sleeper_.Wait(ms); }

    std::atomic<int> priority{kDefaultPriority};

private:
    bool TryAcquireLocked() override { return ended_; }

    void EndLocked(uint32_t exitCode) {
        ended_ = true;
        suspendCount_ = 0;
        exitCode_ = exitCode;
        ReleaseAllLocked();
        startCv_.notify_one();
    }

    const plat::ThreadStart start_;
    void* const arg_;
    const uint32_t id_;

    // Guarded by mutex_.
    uint32_t suspendCount_;
    bool started_ = false;
    bool ended_ = false;
    uint32_t exitCode_ = plat::kStillActive;
    std::condition_variable startCv_;

    std::atomic<bool> terminating_{false};
    std::atomic<uint32_t> terminateCode_{0};

    // The wait the thread is blocked in, so that termination can wake it.
    std::mutex waitLock_;
    std::mutex* waitMutex_ = nullptr;
    std::condition_variable* waitCv_ = nullptr;

    Sleeper sleeper_;
};

constinit ZEL_FAST_TLS thread_local ThreadObject* tCurrent = nullptr;
std::atomic<uint32_t> gNextThreadId{1};

void ThreadObject::Run() {
    tCurrent = this;
    SetThreadLabel(PlatformThreadLabel(id_, reinterpret_cast<const void*>(start_)));
    {
        std::unique_lock lock(mutex_);
        startCv_.wait(lock, [&] { return suspendCount_ == 0 || ended_; });
        if (ended_) {  // terminated (or abandoned) before it ever ran
            tCurrent = nullptr;
            return;
        }
        started_ = true;
    }
    uint32_t exitCode;
    try {
        exitCode = start_(arg_);
    } catch (const ThreadExitSignal& signal) {
        exitCode = signal.exitCode;
    }
    ReportAndForgetHeldLocks(("thread " + std::to_string(id_) + " ended").c_str());
    {
        std::lock_guard lock(mutex_);
        EndLocked(TerminationRequested() ? TerminationCode() : exitCode);
    }
    tCurrent = nullptr;
}

void ThreadObject::Terminate(uint32_t exitCode) {
    {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        if (!started_) {
            // Its start routine never runs; the trampoline wakes and returns.
            EndLocked(exitCode);
            return;
        }
        terminateCode_.store(exitCode, std::memory_order_relaxed);
        terminating_.store(true, std::memory_order_release);
    }
    if (tCurrent == this) throw ThreadExitSignal{exitCode};
    std::lock_guard lock(waitLock_);
    if (waitMutex_ != nullptr) {
        std::lock_guard waitLock(*waitMutex_);
        waitCv_->notify_all();
    }
}

std::shared_ptr<ThreadObject> LookupThread(plat::Handle thread) {
    auto t = HandleLookupAs<ThreadObject>(thread);
    if (t == nullptr) plat::SetLastErrorCode(plat::kErrorInvalidHandle);
    return t;
}

}  // namespace

void BeginInterruptibleWait(std::mutex* mutex, std::condition_variable* cv) {
    if (tCurrent != nullptr) tCurrent->BeginWait(mutex, cv);
}

void EndInterruptibleWait() {
    if (tCurrent != nullptr) tCurrent->EndWait();
}

bool TerminationRequested() {
    return tCurrent != nullptr && tCurrent->TerminationRequested();
}

void ExitIfTerminationRequested() {
    if (TerminationRequested()) throw ThreadExitSignal{tCurrent->TerminationCode()};
}

}  // namespace sim::kernel

namespace sim {

int ThreadPriorityOf(plat::Handle thread) {
    auto t = HandleLookupAs<kernel::ThreadObject>(thread);
    return t == nullptr ? -1 : t->priority.load();
}

}  // namespace sim

namespace plat {

using sim::kernel::ThreadObject;

Handle ThreadCreate(uint32_t /*stackSize*/, ThreadStart start, void* arg, uint32_t flags,
                    uint32_t* threadId) {
    if (start == nullptr) {
        SetLastErrorCode(kErrorInvalidParameter);
        return 0;
    }
    const uint32_t id = sim::kernel::gNextThreadId.fetch_add(1);
    auto thread =
        std::make_shared<ThreadObject>(start, arg, (flags & kThreadCreateSuspended) != 0, id);
    const Handle handle = sim::HandleInsert(thread);
    if (handle == 0) {
        SetLastErrorCode(kErrorNotEnoughMemory);
        return 0;
    }
    try {
        std::thread([thread] { thread->Run(); }).detach();
    } catch (const std::system_error&) {
        sim::HandleRemove(handle);  // ends the never-started thread object
        SetLastErrorCode(kErrorNotEnoughMemory);
        return 0;
    }
    if (threadId != nullptr) *threadId = id;
    return handle;
}

uint32_t ThreadResume(Handle thread) {
    auto t = sim::kernel::LookupThread(thread);
    return t == nullptr ? 0xFFFFFFFFu : t->Resume();
}

Bool ThreadSetPriority(Handle thread, uint32_t priority) {
    auto t = sim::kernel::LookupThread(thread);
    if (t == nullptr) return 0;
    if (priority > 255) {
        SetLastErrorCode(kErrorInvalidParameter);
        return 0;
    }
    t->priority.store(static_cast<int>(priority));
    return 1;
}

Bool ThreadTerminate(Handle thread, uint32_t exitCode) {
    auto t = sim::kernel::LookupThread(thread);
    if (t == nullptr) return 0;
    t->Terminate(exitCode);
    return 1;
}

void ThreadExit(uint32_t exitCode) {
    if (sim::kernel::tCurrent == nullptr) {
        std::fprintf(stderr, "ThreadExit called on a thread the platform did not create\n");
        std::abort();
    }
    throw sim::kernel::ThreadExitSignal{exitCode};
}

Bool ThreadGetExitCode(Handle thread, uint32_t* exitCode) {
    auto t = sim::kernel::LookupThread(thread);
    if (t == nullptr || exitCode == nullptr) return 0;
    *exitCode = t->ExitCode();
    return 1;
}

void SleepMs(uint32_t ms) {
    sim::kernel::ExitIfTerminationRequested();
    if (sim::kernel::tCurrent != nullptr && ms != 0) {
        sim::kernel::tCurrent->SleepFor(ms);
    } else if (ms == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

}  // namespace plat
