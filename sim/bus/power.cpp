// The power-management service.
//
// Each handle carries the callback given at creation, which is the only way the service moves
// the device. All work on handles runs on the service's one thread, in the order the calls
// arrive; the calling thread waits until its work (and so the callback) has finished. A call
// made from inside a callback runs at once on the service thread.
//
// Levels: a held request for level L keeps the device at L or higher power (a numerically lower
// state); the driver asks for D0 only. Setting a level while requests are held moves the device
// only when it is not already at the level the requests allow. PowerCurrentLevel reports the
// state the callback last returned, D0 before any callback, and 0xFFFFFFFF for a bad handle.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/bus.h"
#include "sim/kernel/sim_kernel.h"

namespace plat {
namespace {

class PowerHandleObject : public sim::KernelObject {
public:
    PowerHandleObject(PowerCallback callback, void* context)
        : callback_(callback), context_(context) {}
    std::string Describe() const override { return "power handle"; }

    // The members below are touched only on the service thread.
    void MoveTo(uint32_t state) { level_ = callback_(context_, state); }
    uint32_t Floor() const {
        uint32_t floor = D4;
        for (const auto& [token, state] : requests_) floor = std::min(floor, state);
        return floor;
    }

    PowerCallback const callback_;
    void* const context_;
    std::atomic<uint32_t> level_{D0};
    std::map<uint32_t, uint32_t> requests_;  // token -> level held
    bool released_ = false;
};

class PowerService {
public:
    static PowerService& Instance() {
        // Never destroyed: handles may still be released during process exit.
        static PowerService* service = new PowerService;
        return *service;
    }

    // Runs job on the service thread and waits for it.
    void Run(const std::function<void()>& job) {
        if (std::this_thread::get_id() == threadId_) {
            job();
            return;
        }
        std::unique_lock lock(mutex_);
        uint64_t ticket = ++posted_;
        queue_.push_back(&job);
        wake_.notify_one();
        done_.wait(lock, [&] { return finished_ >= ticket; });
    }

    uint32_t NextToken() { return ++lastToken_; }

private:
    PowerService() : thread_([this] { Loop(); }) {
        std::unique_lock lock(mutex_);
        started_.wait(lock, [&] { return threadId_ != std::thread::id(); });
        thread_.detach();
    }

    void Loop() {
        std::unique_lock lock(mutex_);
        threadId_ = std::this_thread::get_id();
        started_.notify_all();
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            const std::function<void()>* job = queue_.front();
            queue_.pop_front();
            lock.unlock();
            (*job)();
            lock.lock();
            ++finished_;
            done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_, started_;
    std::deque<const std::function<void()>*> queue_;
    uint64_t posted_ = 0;
    uint64_t finished_ = 0;
    uint32_t lastToken_ = 0;  // service thread only
    std::thread::id threadId_;
    std::thread thread_;
};

std::shared_ptr<PowerHandleObject> Lookup(uint32_t power) {
    if (power == kPowerHandleNone) return nullptr;
    return sim::HandleLookupAs<PowerHandleObject>(power);
}

}  // namespace

uint32_t PowerCreate(PowerCallback callback, void* context, uint32_t /*options*/,
                     uint32_t /*timeoutMs*/) {
    if (!callback) return kPowerHandleNone;
    Handle h = sim::HandleInsert(std::make_shared<PowerHandleObject>(callback, context));
    return h ? h : kPowerHandleNone;
}

void PowerRelease(uint32_t power) {
    auto handle = Lookup(power);
    if (!handle) return;
    // Through the service thread, so that no callback of this handle runs after the return.
    PowerService::Instance().Run([&] {
        handle->released_ = true;
        handle->requests_.clear();
    });
    sim::HandleRemove(power);
}

uint32_t PowerRequestLevel(uint32_t power, uint32_t state) {
    auto handle = Lookup(power);
    if (!handle || state > D4) return 0;
    uint32_t token = 0;
    PowerService::Instance().Run([&] {
        if (handle->released_) return;
        token = PowerService::Instance().NextToken();
        handle->requests_.emplace(token, state);
        if (handle->level_ > state) handle->MoveTo(state);
    });
    return token;
}

void PowerReleaseRequest(uint32_t power, uint32_t token) {
    auto handle = Lookup(power);
    if (!handle) return;
    PowerService::Instance().Run([&] { handle->requests_.erase(token); });
}

Bool PowerSetLevel(uint32_t power, uint32_t state, uint32_t /*reserved*/) {
    auto handle = Lookup(power);
    if (!handle || state > D4) return 0;
    Bool result = 0;
    PowerService::Instance().Run([&] {
        if (handle->released_) return;
        result = 1;
        if (handle->requests_.empty()) {
            handle->MoveTo(state);
            return;
        }
        uint32_t allowed = std::min(state, handle->Floor());
        if (handle->level_ != allowed) handle->MoveTo(allowed);
    });
    return result;
}

uint32_t PowerCurrentLevel(uint32_t power) {
    auto handle = Lookup(power);
    return handle ? handle->level_.load() : kPowerHandleNone;
}

}  // namespace plat
