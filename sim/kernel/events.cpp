// Waits and events.
//
// Every waiter sleeps on its own condition variable, queued in arrival order on the object it
// waits for, so a set or pulse of an auto-reset event wakes exactly the one thread it releases
// and nobody polls.

#include <typeinfo>

#include "platform/kernel.h"
#include "sim/kernel/internal.h"

namespace sim::kernel {

void Waitable::EnqueueLocked(Waiter* w) {
    w->prev = tail_;
    w->next = nullptr;
    (tail_ != nullptr ? tail_->next : head_) = w;
    tail_ = w;
    ++waiting_;
}

void Waitable::DequeueLocked(Waiter* w) {
    (w->prev != nullptr ? w->prev->next : head_) = w->next;
    (w->next != nullptr ? w->next->prev : tail_) = w->prev;
    w->prev = w->next = nullptr;
    --waiting_;
}

size_t Waitable::WaitingThreads() {
    std::lock_guard lock(mutex_);
    return waiting_;
}

void Waitable::ReleaseFirstLocked() {
    Waiter* w = head_;
    if (w == nullptr) return;
    DequeueLocked(w);
    w->released = true;
    // Notified under the mutex: once the waiter sees `released` it may return and destroy w.
    w->cv.notify_one();
}

void Waitable::ReleaseAllLocked() {
    while (head_ != nullptr) ReleaseFirstLocked();
}

uint32_t Waitable::Wait(uint32_t timeoutMs) {
    ExitIfTerminationRequested();
    {
        // Fast path: a signal that is already there, or a poll.
        std::lock_guard lock(mutex_);
        if (TryAcquireLocked()) return plat::kWaitSignalled;
        if (timeoutMs == 0) return plat::kWaitTimedOut;
    }
    Waiter w;
    // Published before taking mutex_: ThreadTerminate takes the thread's wait record and then
    // this mutex, never the other way round.
    struct Published {
        Published(std::mutex* m, std::condition_variable* cv) { BeginInterruptibleWait(m, cv); }
        ~Published() { EndInterruptibleWait(); }
    } published(&mutex_, &w.cv);
    WaitNote note(this);

    bool released;
    {
        std::unique_lock lock(mutex_);
        if (TryAcquireLocked()) return plat::kWaitSignalled;
        EnqueueLocked(&w);
        auto done = [&] { return w.released || TerminationRequested(); };
        if (timeoutMs == plat::kInfinite) {
            w.cv.wait(lock, done);
        } else {
            w.cv.wait_until(lock, DeadlineAfter(timeoutMs), done);
        }
        released = w.released;
        if (!released) DequeueLocked(&w);
    }
    // A thread released together with its termination keeps the signal; it ends at its next
    // wait, so an auto-reset signal is not lost.
    if (released) return plat::kWaitSignalled;
    ExitIfTerminationRequested();
    return plat::kWaitTimedOut;
}

namespace {

class EventObject final : public Waitable {
public:
    EventObject(bool manualReset, bool signalled) : manual_(manualReset), signalled_(signalled) {}

    std::string Describe() const override {
        return manual_ ? "event (manual-reset)" : "event (auto-reset)";
    }

    bool Modify(uint32_t op) {
        std::lock_guard lock(mutex_);
        switch (op) {
            case plat::kEventSet:
                if (manual_) {
                    signalled_ = true;
                    ReleaseAllLocked();
                } else if (HasWaitersLocked()) {
                    // Handed straight to the longest waiter: the signal is consumed.
                    ReleaseFirstLocked();
                } else {
                    signalled_ = true;
                }
                return true;
            case plat::kEventReset:
                signalled_ = false;
                return true;
            case plat::kEventPulse:
                if (manual_) {
                    ReleaseAllLocked();
                } else {
                    ReleaseFirstLocked();
                }
                signalled_ = false;
                return true;
            default:
                return false;
        }
    }

private:
    bool TryAcquireLocked() override {
        if (!signalled_) return false;
        if (!manual_) signalled_ = false;
        return true;
    }

    const bool manual_;
    bool signalled_;  // guarded by mutex_
};

}  // namespace
}  // namespace sim::kernel

namespace sim {

size_t WaitingThreads(plat::Handle handle) {
    auto object = kernel::LookupWaitable(handle);
    return object == nullptr ? 0 : object->WaitingThreads();
}

}  // namespace sim

namespace plat {

Handle EventCreate(Bool manualReset, Bool initiallySignalled) {
    return sim::HandleInsert(
        std::make_shared<sim::kernel::EventObject>(manualReset != 0, initiallySignalled != 0));
}

Bool EventModify(Handle event, uint32_t op) {
    // Runs under the handle table's read lock: no reference is taken on this hot path.
    struct Request {
        uint32_t op;
        int result;  // -1: not an event
    } request{op, -1};
    sim::kernel::VisitWaitable(
        event,
        [](sim::kernel::Waitable& w, void* context) {
            auto* r = static_cast<Request*>(context);
            if (typeid(w) == typeid(sim::kernel::EventObject)) {
                r->result = static_cast<sim::kernel::EventObject&>(w).Modify(r->op) ? 1 : 0;
            }
        },
        &request);
    if (request.result < 0) {
        SetLastErrorCode(kErrorInvalidHandle);
        return 0;
    }
    if (request.result == 0) {
        SetLastErrorCode(kErrorInvalidParameter);
        return 0;
    }
    return 1;
}

uint32_t WaitOne(Handle handle, uint32_t timeoutMs) {
    auto object = sim::kernel::LookupWaitable(handle);
    if (object == nullptr) {
        SetLastErrorCode(kErrorInvalidHandle);
        return kWaitFailed;
    }
    return object->Wait(timeoutMs);
}

}  // namespace plat
