// The machine's line clock: one timing thread that serves every serial line model.
//
// A client asks to be served at an instant; the thread sleeps until the earliest instant asked
// for and then serves, in one round, every client that is due. Serving returns the next instant
// the client wants. Rounds are at least kMinRoundGap apart, so a fast line is advanced in
// batches rather than once per character; the client accounts exact instants itself.
//
// Time is counted in picoseconds from the clock's origin (a steady-clock instant taken at first
// use), so that character times at high baud rates keep their fractions.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

namespace sim {

class LineClock {
public:
    using Ps = int64_t;  // picoseconds since the origin
    static constexpr Ps kNever = std::numeric_limits<Ps>::max();
    static constexpr Ps kMinRoundGap = 50'000'000;  // 50 µs

    class Client {
    public:
        // Called on the timing thread, never twice at once for one client. Returns the next
        // instant at which the client wants to be served, or kNever.
        virtual Ps Serve(Ps now) = 0;

    protected:
        ~Client() = default;
    };

    // The machine's one clock. Never destroyed.
    static LineClock& Shared();

    static Ps Now();
    static Ps FromTimePoint(std::chrono::steady_clock::time_point t);
    static std::chrono::steady_clock::time_point ToTimePoint(Ps t);

    // Registers a client (not yet due). The thread starts with the first client.
    void Add(Client* client);
    // Unregisters a client; when it is being served on another thread, waits for that to end.
    // The thread stops with the last client (unless called on the timing thread itself).
    void Remove(Client* client);
    // Asks for the client to be served at `when` (or earlier, if it already asked so).
    void Schedule(Client* client, Ps when);

    bool OnTimingThread() const;
    // Rounds served so far, for tests and the status view.
    uint64_t Rounds() const;

private:
    LineClock() = default;
    void Loop();

    struct Entry {
        Ps due = kNever;
        bool serving = false;
    };

    std::mutex lifeMutex_;  // start and stop of the thread; taken before mutex_
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable served_;
    std::map<Client*, Entry> clients_;  // guarded by mutex_
    Ps sleepingUntil_ = kNever;         // guarded by mutex_
    bool stop_ = false;                 // guarded by mutex_
    uint64_t rounds_ = 0;               // guarded by mutex_
    std::thread thread_;                // guarded by lifeMutex_
    std::thread::id threadId_;          // guarded by mutex_
};

}  // namespace sim
