#include "sim/hw/line_clock.h"

#include <algorithm>
#include <vector>

namespace sim {

namespace {
std::chrono::steady_clock::time_point Origin() {
    static const std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();
    return origin;
}
}  // namespace

LineClock& LineClock::Shared() {
    static LineClock* clock = new LineClock;
    return *clock;
}

LineClock::Ps LineClock::FromTimePoint(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t - Origin()).count() * 1000;
}

std::chrono::steady_clock::time_point LineClock::ToTimePoint(Ps t) {
    // Rounded up, so that a wait until the returned instant never ends before t.
    return Origin() + std::chrono::nanoseconds((t + 999) / 1000);
}

LineClock::Ps LineClock::Now() { return FromTimePoint(std::chrono::steady_clock::now()); }

void LineClock::Add(Client* client) {
    std::lock_guard life(lifeMutex_);
    {
        std::lock_guard lock(mutex_);
        clients_.emplace(client, Entry{});
    }
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void LineClock::Remove(Client* client) {
    if (OnTimingThread()) {
        // Called from a client's serving (an interrupt callback tearing a model down): the
        // thread keeps running; the loop skips clients that are gone.
        std::lock_guard lock(mutex_);
        clients_.erase(client);
        return;
    }
    std::lock_guard life(lifeMutex_);
    std::thread finished;
    {
        std::unique_lock lock(mutex_);
        served_.wait(lock, [&] {
            auto it = clients_.find(client);
            return it == clients_.end() || !it->second.serving;
        });
        clients_.erase(client);
        if (clients_.empty() && thread_.joinable()) {
            stop_ = true;
            wake_.notify_all();
            finished = std::move(thread_);
        }
    }
    if (finished.joinable()) {
        finished.join();
        std::lock_guard lock(mutex_);
        stop_ = false;
    }
}

void LineClock::Schedule(Client* client, Ps when) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    it->second.due = std::min(it->second.due, when);
    if (when < sleepingUntil_) wake_.notify_all();
}

bool LineClock::OnTimingThread() const {
    std::lock_guard lock(mutex_);
    return threadId_ == std::this_thread::get_id();
}

uint64_t LineClock::Rounds() const {
    std::lock_guard lock(mutex_);
    return rounds_;
}

void LineClock::Loop() {
    std::unique_lock lock(mutex_);
    threadId_ = std::this_thread::get_id();
    Ps lastRound = -kMinRoundGap;
    std::vector<Client*> due;
    while (!stop_) {
        Ps earliest = kNever;
        for (const auto& [client, entry] : clients_) earliest = std::min(earliest, entry.due);
        Ps target = earliest == kNever ? kNever : std::max(earliest, lastRound + kMinRoundGap);
        Ps now = Now();
        if (now < target || target == kNever) {
            sleepingUntil_ = target;
            if (target == kNever) {
                wake_.wait(lock);
            } else {
                wake_.wait_until(lock, ToTimePoint(target));
            }
            sleepingUntil_ = kNever;
            continue;
        }
        due.clear();
        for (auto& [client, entry] : clients_) {
            if (entry.due <= now) {
                entry.due = kNever;
                due.push_back(client);
            }
        }
        lastRound = now;
        ++rounds_;
        for (Client* client : due) {
            auto it = clients_.find(client);
            if (it == clients_.end()) continue;  // removed during this round
            it->second.serving = true;
            lock.unlock();
            Ps next = client->Serve(Now());
            lock.lock();
            it = clients_.find(client);
            if (it != clients_.end()) {
                it->second.serving = false;
                it->second.due = std::min(it->second.due, next);
            }
            served_.notify_all();
        }
    }
    threadId_ = std::thread::id();
}

}  // namespace sim
