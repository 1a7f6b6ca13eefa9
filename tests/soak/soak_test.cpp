// Soak: two cards, every port busy for a while (SOAK_SECONDS, default 60), with seeded
// randomness (SOAK_SEED; the seed is printed so a failure can be replayed).
//
// Ports: three null-modem pairs (two with RTS/CTS hand-shaking, one of them across the cards,
// and one without) carry rounds of sequence-numbered frames in both directions; two ports on
// external wires get a random mix of application calls while their far ends send data, line
// errors, breaks and modem-line changes. Between rounds (and now and then in the middle of one)
// the machine is suspended and resumed, a port is powered down by the power manager, a port
// device or a whole adapter is removed and started again.
//
// Checked throughout: a watchdog fails the run, naming every thread, the critical sections it
// holds and what it waits on, when any thread makes no progress for SOAK_STALL_SECONDS; with
// hand-shaking each round's exchange is byte-exact; without it every shortfall comes with a
// reported overrun or line error and nothing arrives that was not sent. At the end: no
// lock-order report, no handle, allocation, device or mapping left.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>

#include "sim/hw/uart.h"
#include "sim/power/power.h"
#include "tests/e2e/serial.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZEL_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZEL_SOAK_SANITIZED 1
#endif
#endif
#ifndef ZEL_SOAK_SANITIZED
#define ZEL_SOAK_SANITIZED 0
#endif

namespace soak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using e2e::kReadWrite;
using e2e::PortHandle;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == 0) return fallback;
    return std::strtoull(text, nullptr, 0);
}

struct Options {
    uint64_t seconds = EnvNumber("SOAK_SECONDS", 60);
    uint64_t seed = EnvNumber("SOAK_SEED", std::random_device{}());
    // Sanitized builds run the driver several times slower: slower characters keep the
    // receive FIFOs from overrunning on hand-shaken lines, which would be a false alarm.
    uint64_t linePercent = EnvNumber("SOAK_LINE_PERCENT", ZEL_SOAK_SANITIZED ? 2400 : 800);
    uint64_t stallSeconds = EnvNumber("SOAK_STALL_SECONDS", ZEL_SOAK_SANITIZED ? 180 : 60);
};

// ---------------------------------------------------------------------------------------------
// Failures, progress and the watchdog.

std::mutex gFailMutex;
std::vector<std::string> gFailures;  // guarded by gFailMutex

void Fail(const std::string& what) {
    std::lock_guard lock(gFailMutex);
    std::fprintf(stderr, "soak: FAILURE: %s\n", what.c_str());
    if (gFailures.size() < 100) gFailures.push_back(what);
}

std::mutex gLockOrderMutex;
std::vector<std::string> gLockOrderReports;  // guarded by gLockOrderMutex

void OnLockOrder(const std::string& report) {
    std::lock_guard lock(gLockOrderMutex);
    std::fprintf(stderr, "soak: %s\n", report.c_str());
    gLockOrderReports.push_back(report);
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// Each soak thread beats after every call that returns; a beat older than the stall limit
// means the thread is stuck inside one call.
class Watchdog {
  public:
    struct Beat {
        std::string name;
        std::atomic<int64_t> last{NowMs()};
        std::atomic<const char*> doing{"starting"};
    };

    Watchdog(uint64_t stallSeconds, uint64_t seed) : stallMs_(stallSeconds * 1000), seed_(seed) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    Beat* Enroll(const std::string& name) {
        std::lock_guard lock(mutex_);
        beats_.emplace_back();
        beats_.back().name = name;
        return &beats_.back();
    }
    void Leave(Beat* beat) {
        std::lock_guard lock(mutex_);
        beats_.remove_if([beat](const Beat& b) { return &b == beat; });
    }

  private:
    void Run() {
        sim::SetThreadLabel("soak watchdog");
        std::unique_lock lock(mutex_);
        while (!cv_.wait_for(lock, 1s, [&] { return stop_; })) {
            const int64_t now = NowMs();
            std::string stuck;
            for (const Beat& b : beats_) {
                const int64_t age = now - b.last.load();
                if (age > static_cast<int64_t>(stallMs_))
                    stuck += "  " + b.name + ": no progress for " + std::to_string(age) +
                             " ms, inside " + b.doing.load() + "\n";
            }
            if (stuck.empty()) continue;
            std::fprintf(stderr,
                         "soak: STUCK (seed %" PRIu64 "): threads without progress:\n%s"
                         "every thread known to the kernel:\n%s",
                         seed_, stuck.c_str(),
                         sim::FormatThreadReports(sim::ThreadReports()).c_str());
            std::fflush(stderr);
            std::abort();
        }
    }

    const uint64_t stallMs_;
    const uint64_t seed_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::list<Beat> beats_;  // guarded by mutex_
    bool stop_ = false;      // guarded by mutex_
    std::thread thread_;
};

// A soak thread's enrolment: labelled for the kernel's reports, beating for the watchdog.
class Heartbeat {
  public:
    Heartbeat(Watchdog& dog, const std::string& name) : dog_(dog), beat_(dog.Enroll(name)) {
        sim::SetThreadLabel("soak " + name);
    }
    ~Heartbeat() { dog_.Leave(beat_); }
    // Marks what the thread is about to do; the beat itself comes when it returns.
    void Doing(const char* what) {
        beat_->doing.store(what);
        beat_->last.store(NowMs());
    }
    void Beat() { beat_->last.store(NowMs()); }

  private:
    Watchdog& dog_;
    Watchdog::Beat* beat_;
};

// ---------------------------------------------------------------------------------------------
// The machine.

struct PortId {
    const char* card;
    uint32_t n;
    std::string Text() const { return std::string(card) + " port " + std::to_string(n); }
};

// Two four-port cards of two families (the machine names COM1..COM9 at most).
std::string MachineText() {
    using namespace e2e;
    return CardText("Card1", "ZelKap", 1, 0x0A41) + CardText("Card2", "ZelKor", 2, 0x0A41) +
           NullModem("Card1", 1, "Card2", 1) + NullModem("Card1", 2, "Card1", 3) +
           NullModem("Card2", 2, "Card2", 3) + PortWire("Card1", 4, "external") +
           PortWire("Card2", 4, "external");
}

struct Pair {
    const char* name;
    PortId a, b;
    bool handshake;
};
const Pair kPairs[] = {
    {"H1", {"Card1", 1}, {"Card2", 1}, true},
    {"H2", {"Card1", 2}, {"Card1", 3}, true},
    {"N1", {"Card2", 2}, {"Card2", 3}, false},
};
const PortId kExternal[] = {{"Card1", 4}, {"Card2", 4}};

// Each round picks one speed for all pairs.
constexpr uint32_t kPairBauds[] = {19200, 57600, 115200};
constexpr uint32_t kErrorBits =
    plat::CE_RXOVER | plat::CE_OVERRUN | plat::CE_RXPARITY | plat::CE_FRAME | plat::CE_BREAK;

class Soak {
  public:
    explicit Soak(const Options& options) : options_(options), dog_(options.stallSeconds, options.seed) {}

    void Run();

  private:
    // Port names change when a device is started again: look them up under the structure lock.
    std::u16string NameOf(const PortId& port) {
        std::shared_lock lock(structure_);
        return machine_->PortDeviceName(port.card, port.n);
    }
    // Opens the port, retrying while it is away (removed, its card restarting); 0 on stop.
    api::Handle OpenWhenThere(const PortId& port, uint32_t access, Heartbeat& hb) {
        while (!stop_.load()) {
            hb.Doing("Open");
            const std::u16string name = NameOf(port);
            if (!name.empty()) {
                const api::Handle h = api::Open(name, access, 0);
                hb.Beat();
                if (h != 0) return h;
            }
            std::this_thread::sleep_for(10ms);
        }
        return 0;
    }
    void NoteErrors(const PortId& port, uint32_t errors) {
        errors_[Index(port)].fetch_or(errors);
    }
    static size_t Index(const PortId& port) {
        return (port.card[4] - '1') * 4 + (port.n - 1);
    }
    uint64_t Overruns(const PortId& port) {
        std::shared_lock lock(structure_);
        return machine_->UartOf(port.card, port.n)->Stats().overruns;
    }

    bool RunRound(uint64_t round, std::mt19937_64& rng);
    void Disrupt(std::mt19937_64& rng, Heartbeat& hb);
    void Monitor(const PortId& port);
    void Chaos(const PortId& port, uint64_t seed, uint32_t access);
    void FarEnd(const PortId& port, uint64_t seed);

    const Options options_;
    Watchdog dog_;
    std::unique_ptr<sim::Machine> machine_;
    std::shared_mutex structure_;  // exclusive while devices are removed and started again
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> errors_[8] = {};
    // Totals for the summary.
    std::atomic<uint64_t> calls_{0}, checkedBytes_{0}, lostMatched_{0}, hardwareOverruns_{0}, rounds_{0},
        disrupted_{0}, actions_[6] = {};
};

// One direction of a round: what was sent and what came.
struct Stream {
    std::vector<uint8_t> sent;
    size_t handed = 0;
    std::vector<uint8_t> got;
    std::string writerFailure;  // written by the writer thread only
    std::string readerFailure;  // written by the reader thread only
};

// Frames of 16 bytes: sequence number, round, pair and direction, then 12 bytes that depend on
// all of them, so a lost, repeated or changed byte shows and its frame can be named.
std::vector<uint8_t> Frames(size_t count, uint64_t round, uint32_t streamId) {
    std::vector<uint8_t> bytes;
    bytes.reserve(count * 16);
    for (size_t seq = 0; seq < count; ++seq) {
        const uint8_t head[4] = {uint8_t(seq), uint8_t(seq >> 8), uint8_t(round), uint8_t(streamId)};
        bytes.insert(bytes.end(), head, head + 4);
        uint32_t x = uint32_t(seq * 2654435761u) ^ uint32_t(round * 40503u) ^ streamId;
        for (int i = 0; i < 12; ++i) {
            x = x * 1103515245u + 12345u;
            bytes.push_back(uint8_t(x >> 16));
        }
    }
    return bytes;
}

// True when `got` is `sent` with some bytes left out (nothing changed, added or reordered).
bool IsSubsequence(const std::vector<uint8_t>& got, const std::vector<uint8_t>& sent) {
    size_t i = 0;
    for (uint8_t b : sent) {
        if (i < got.size() && got[i] == b) ++i;
    }
    return i == got.size();
}

bool Soak::RunRound(uint64_t round, std::mt19937_64& rng) {
    const uint32_t baud = kPairBauds[rng() % std::size(kPairBauds)];
    const double bytesPerSecond = baud / 10.0 * 100.0 / double(options_.linePercent);
    const bool disruptMidway = rng() % 4 == 0;
    // Open and set up every pair's two ends; closed when the round ends.
    std::vector<api::Handle> handles;
    struct CloseAll {
        std::vector<api::Handle>& handles;
        ~CloseAll() {
            for (api::Handle h : handles) api::Close(h);
        }
    } closeAll{handles};
    for (const Pair& p : kPairs) {
        for (const PortId& end : {p.a, p.b}) {
            Heartbeat hb(dog_, std::string("round setup ") + p.name);
            const api::Handle h = OpenWhenThere(end, kReadWrite, hb);
            if (h == 0) return false;
            handles.push_back(h);
            const bool hs = p.handshake;
            const bool configured = e2e::Configure(h, baud, [hs](plat::Dcb& d) {
                d.ByteSize = 8;
                d.Parity = plat::kNoParity;
                d.StopBits = plat::kOneStopBit;
                d.flags &= ~(plat::kDcbOutxDsrFlow | plat::kDcbOutX | plat::kDcbInX |
                             plat::kDcbNull | plat::kDcbErrorChar | plat::kDcbDsrSensitivity);
                if (hs) {
                    d.flags |= plat::kDcbOutxCtsFlow;
                    d.flags = plat::WithRtsControl(d.flags, plat::kRtsControlHandshake);
                } else {
                    d.flags &= ~plat::kDcbOutxCtsFlow;
                    d.flags = plat::WithRtsControl(d.flags, plat::kRtsControlEnable);
                }
                d.flags = plat::WithDtrControl(d.flags, plat::kDtrControlEnable);
            });
            // Reads come back at least every few hundred ms; writes with or without a limit.
            const uint32_t writeLimit = rng() % 2 ? 0 : 20000;
            const bool timeouts = e2e::SetTimeouts(h, 50, 300, writeLimit);
            if (!configured || !timeouts) {
                // The device may have gone under us only in a disrupted round, which this is not.
                Fail("round " + std::to_string(round) + ": " + end.Text() + " refused its settings");
                return false;
            }
            api::PurgeComm(h, plat::PURGE_RXCLEAR | plat::PURGE_TXCLEAR);
        }
    }
    for (auto& e : errors_) e.store(0);
    std::vector<uint64_t> overrunsBefore;
    for (const Pair& p : kPairs) {
        overrunsBefore.push_back(Overruns(p.a));
        overrunsBefore.push_back(Overruns(p.b));
    }

    const size_t pairCount = std::size(kPairs);
    std::vector<Stream> streams(pairCount * 2);
    std::atomic<int> writersDone{0};
    std::atomic<int> finished{0};  // threads of this round that have returned
    std::vector<std::thread> threads;
    for (size_t i = 0; i < pairCount; ++i) {
        for (int dir = 0; dir < 2; ++dir) {
            const size_t s = i * 2 + dir;
            const size_t frames =
                size_t(bytesPerSecond * (0.3 + double(rng() % 1000) / 1000.0 * 1.5)) / 16 + 1;
            streams[s].sent = Frames(frames, round, uint32_t(s));
            api::Handle from = handles[i * 2 + dir], to = handles[i * 2 + 1 - dir];
            const PortId toPort = dir == 0 ? kPairs[i].b : kPairs[i].a;
            const std::string label = std::string(kPairs[i].name) + (dir == 0 ? " a->b" : " b->a");
            const uint64_t chunkSeed = rng();
            threads.emplace_back([&, s, from, label, chunkSeed] {
                Heartbeat hb(dog_, label + " writer");
                std::mt19937_64 local(chunkSeed);
                Stream& st = streams[s];
                while (st.handed < st.sent.size()) {
                    const uint32_t want =
                        uint32_t(std::min<size_t>(1 + local() % 700, st.sent.size() - st.handed));
                    uint32_t done = 0;
                    hb.Doing("Write");
                    const bool ok = api::Write(from, st.sent.data() + st.handed, want, &done);
                    hb.Beat();
                    ++calls_;
                    if (!ok) {
                        st.writerFailure =
                            "Write failed with " + std::to_string(plat::LastErrorCode());
                        break;
                    }
                    st.handed += done;
                    if (done < want) {
                        st.writerFailure = "Write timed out after " + std::to_string(done) +
                                           " of " + std::to_string(want);
                        break;
                    }
                }
                ++writersDone;
                ++finished;
            });
            threads.emplace_back([&, s, to, toPort, label, chunkSeed] {
                Heartbeat hb(dog_, label + " reader");
                std::mt19937_64 local(chunkSeed ^ 0x5A5A);
                Stream& st = streams[s];
                uint8_t buffer[1024];
                int64_t quietSince = NowMs();
                for (;;) {
                    const uint32_t want = uint32_t(1 + local() % sizeof buffer);
                    uint32_t done = 0;
                    hb.Doing("Read");
                    const bool ok = api::Read(to, buffer, want, &done);
                    hb.Beat();
                    ++calls_;
                    if (!ok) {
                        st.readerFailure =
                            "Read failed with " + std::to_string(plat::LastErrorCode());
                        break;
                    }
                    uint32_t errors = 0;
                    if (api::ClearCommError(to, &errors, nullptr)) NoteErrors(toPort, errors);
                    st.got.insert(st.got.end(), buffer, buffer + done);
                    if (done > 0) quietSince = NowMs();
                    if (st.got.size() >= st.sent.size()) break;
                    // Writers done and the line quiet for a while: nothing more is coming.
                    if (writersDone.load() == int(pairCount * 2) && NowMs() - quietSince > 1500)
                        break;
                }
                ++finished;
            });
        }
    }
    if (disruptMidway) {
        Heartbeat hb(dog_, "round disruption");
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 400));
        Disrupt(rng, hb);
        // A writer without a limit whose far end went away waits for a CTS that never comes:
        // once the dust has settled, calls still waiting are aborted.
        std::this_thread::sleep_for(1s);
        while (finished.load() < int(threads.size())) {
            hb.Doing("PurgeComm(abort)");
            for (api::Handle h : handles) api::PurgeComm(h, plat::PURGE_TXABORT | plat::PURGE_RXABORT);
            hb.Beat();
            std::this_thread::sleep_for(200ms);
        }
    }
    for (auto& t : threads) t.join();
    ++rounds_;
    if (disruptMidway) {
        // What an aborted writer left in its FIFO must not reach the next round.
        for (api::Handle h : handles) api::PurgeComm(h, plat::PURGE_TXCLEAR | plat::PURGE_RXCLEAR);
        std::this_thread::sleep_for(300ms);
        for (api::Handle h : handles) api::PurgeComm(h, plat::PURGE_RXCLEAR);
        ++disrupted_;
        return true;  // calls returned; the data of a disrupted round proves nothing more
    }

    for (size_t i = 0; i < pairCount; ++i) {
        for (int dir = 0; dir < 2; ++dir) {
            const Stream& st = streams[i * 2 + dir];
            const PortId toPort = dir == 0 ? kPairs[i].b : kPairs[i].a;
            const std::string what = "round " + std::to_string(round) + " pair " +
                                     kPairs[i].name + (dir == 0 ? " a->b" : " b->a") + ": ";
            if (!st.writerFailure.empty() || !st.readerFailure.empty()) {
                Fail(what + st.writerFailure + (st.writerFailure.empty() ? "" : "; ") +
                     st.readerFailure);
                continue;
            }
            const uint32_t errors = errors_[Index(toPort)].load();
            const uint64_t overruns =
                Overruns(toPort) - overrunsBefore[i * 2 + (dir == 0 ? 1 : 0)];
            const std::vector<uint8_t> expected(st.sent.begin(), st.sent.begin() + st.handed);
            checkedBytes_ += st.got.size();
            if (st.got == expected) continue;
            if (kPairs[i].handshake && overruns > 0 && (errors & plat::CE_OVERRUN) &&
                expected.size() - std::min(expected.size(), st.got.size()) == overruns &&
                IsSubsequence(st.got, expected)) {
                // The 16550 has no automatic flow control: hand-shaking guards the ring, not the
                // FIFO, which overruns when the host stalls the interrupt thread. Each byte lost
                // so must be one the UART overran, reported as such.
                hardwareOverruns_ += overruns;
                continue;
            }
            if (kPairs[i].handshake) {
                size_t at = 0;
                while (at < st.got.size() && at < expected.size() && st.got[at] == expected[at])
                    ++at;
                Fail(what + "with hand-shaking " + std::to_string(expected.size()) +
                     " bytes sent, " + std::to_string(st.got.size()) +
                     " received; first difference at byte " + std::to_string(at) + " (frame " +
                     std::to_string(at / 16) + "), errors 0x" + e2e::Hex(errors) +
                     ", overruns " + std::to_string(overruns));
                continue;
            }
            const size_t lost = expected.size() - std::min(expected.size(), st.got.size());
            // With nothing but FIFO overruns reported, the count must match to the byte (a
            // full ring or a damaged character is flagged, not counted).
            if ((errors & kErrorBits & ~plat::CE_OVERRUN) == 0 && lost != overruns) {
                Fail(what + std::to_string(lost) + " bytes lost but " + std::to_string(overruns) +
                     " overrun by the UART (errors 0x" + e2e::Hex(errors) + ")");
                continue;
            }
            const bool reported = (errors & kErrorBits) != 0 || overruns > 0;
            const bool damagedReported = (errors & (plat::CE_FRAME | plat::CE_RXPARITY)) != 0;
            if (!reported) {
                Fail(what + std::to_string(st.got.size()) + " of " +
                     std::to_string(expected.size()) +
                     " bytes received, not as sent, with no overrun or error reported");
            } else if (!IsSubsequence(st.got, expected) && !damagedReported) {
                Fail(what + "bytes arrived that were not sent, and no line error was reported");
            } else {
                lostMatched_ += lost;
            }
        }
    }
    return true;
}

// One structural change, picked at random.
void Soak::Disrupt(std::mt19937_64& rng, Heartbeat& hb) {
    const uint32_t action = uint32_t(rng() % 6);
    ++actions_[action];
    switch (action) {
        case 0: {  // system suspend and resume
            hb.Doing("SystemSuspend");
            sim::SystemSuspend();
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 100));
            hb.Doing("SystemResume");
            sim::SystemResume();
            break;
        }
        case 1: {  // the power manager takes one port down and up again
            const PortId port = rng() % 2 ? kExternal[rng() % 2] : kPairs[rng() % 3].a;
            const std::u16string name = NameOf(port);
            uint32_t reached = 0;
            hb.Doing("PowerManagerSetPower");
            sim::PowerManagerSetPower(name, rng() % 2 ? plat::D3 : plat::D4, &reached);
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 50));
            sim::PowerManagerSetPower(name, plat::D0, &reached);
            break;
        }
        case 2:
        case 3: {  // a port device removed and started again under its adapter
            const PortId port = rng() % 2 ? kExternal[rng() % 2] : kPairs[rng() % 3].b;
            std::unique_lock lock(structure_);
            const std::u16string name = machine_->PortDeviceName(port.card, port.n);
            auto info = sim::FindDevice(name);
            if (!info) {
                Fail(port.Text() + " has no running device to remove");
                break;
            }
            auto adapter = sim::DeviceOf(info->parent);
            hb.Doing("DeactivateDevice(port)");
            if (!plat::DeactivateDevice(info->handle)) Fail("removing " + port.Text() + " failed");
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 100));
            hb.Doing("ActivateChildDevice(port)");
            if (!adapter || sim::ActivateChildDevice(adapter->handle, info->keyPath,
                                                     adapter->context) == 0) {
                Fail("starting " + port.Text() + " again failed: " + sim::LastActivationError());
            }
            break;
        }
        case 4: {  // a whole adapter removed and started again
            const char* card = rng() % 2 ? "Card1" : "Card2";
            std::unique_lock lock(structure_);
            hb.Doing("StopCard");
            if (!machine_->StopCard(card)) Fail(std::string("stopping ") + card + " failed");
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 100));
            hb.Doing("RestartCard");
            if (!machine_->RestartCard(card)) {
                Fail(std::string("restarting ") + card + " failed: " +
                     ::testing::PrintToString(machine_->Problems()));
            }
            break;
        }
        default:
            break;  // nothing this time
    }
    hb.Beat();
}

// A monitor handle on a pair's port: event waits (released by mask changes), modem and queue
// status. It never changes the line, so the pair's data stays checkable.
void Soak::Monitor(const PortId& port) {
    Heartbeat hb(dog_, "monitor " + port.Text());
    std::mt19937_64 rng(options_.seed ^ Index(port));
    while (!stop_.load()) {
        api::Handle h = OpenWhenThere(port, 0, hb);
        if (h == 0) break;
        std::atomic<bool> waiting{true};
        std::thread waiter([&] {
            Heartbeat whb(dog_, "event waiter " + port.Text());
            while (waiting.load()) {
                uint32_t events = 0;
                whb.Doing("WaitCommEvent");
                const bool ok = api::WaitCommEvent(h, &events);
                whb.Beat();
                ++calls_;
                if (!ok) {
                    // No mask yet, or the device went: look again shortly.
                    std::this_thread::sleep_for(5ms);
                }
            }
        });
        bool alive = true;
        while (alive && !stop_.load()) {
            const uint32_t masks[] = {plat::EV_RXCHAR | plat::EV_TXEMPTY, plat::EV_ERR | plat::EV_BREAK,
                                      plat::EV_CTS | plat::EV_DSR | plat::EV_RLSD, plat::EV_POWER,
                                      0xFFFF};
            hb.Doing("SetCommMask");
            alive = api::SetCommMask(h, masks[rng() % std::size(masks)]);
            uint32_t modem = 0, errors = 0;
            plat::ComStatRecord status{};
            hb.Doing("GetCommModemStatus");
            alive = api::GetCommModemStatus(h, &modem) && alive;
            hb.Doing("ClearCommError");
            if (api::ClearCommError(h, &errors, &status)) NoteErrors(port, errors);
            hb.Beat();
            calls_ += 3;
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 200));
        }
        waiting = false;
        api::SetCommMask(h, 0);
        api::Close(h);  // ends a wait still parked
        waiter.join();
    }
}

// Application calls on a port with an external wire, in a random mix.
void Soak::Chaos(const PortId& port, uint64_t seed, uint32_t access) {
    Heartbeat hb(dog_, std::string(access != 0 ? "chaos owner " : "chaos monitor ") + port.Text());
    std::mt19937_64 rng(seed);
    api::Handle h = 0;
    auto reopen = [&] {
        if (h != 0) api::Close(h);
        h = OpenWhenThere(port, access, hb);
        if (h != 0) e2e::SetTimeouts(h, 20, 100, 500);
    };
    reopen();
    while (h != 0 && !stop_.load()) {
        bool ok = true;
        uint32_t done = 0;
        uint8_t buffer[256];
        const uint32_t op = uint32_t(rng() % 14);
        switch (op) {
            case 0:
                hb.Doing("Close+Open");
                reopen();
                continue;
            case 1: {
                hb.Doing("Read");
                ok = api::Read(h, buffer, uint32_t(1 + rng() % sizeof buffer), &done);
                break;
            }
            case 2: {
                for (auto& b : buffer) b = uint8_t(rng());
                hb.Doing("Write");
                ok = api::Write(h, buffer, uint32_t(1 + rng() % 200), &done);
                break;
            }
            case 3: {  // time-outs, including "return at once"
                // Always a limit: hand-shaking or an XOFF from the far end may hold a write, and
                // a settings mismatch may hold a read, for ever (the pairs write without one).
                const uint32_t interval = rng() % 3 == 0 ? 0xFFFFFFFFu : uint32_t(rng() % 50);
                hb.Doing("SetCommTimeouts");
                ok = e2e::SetTimeouts(h, interval, uint32_t(1 + rng() % 200),
                                      uint32_t(50 + rng() % 300));
                break;
            }
            case 4: {  // settings
                static const uint32_t bauds[] = {1200, 9600, 19200, 57600, 115200, 230400};
                const uint64_t r = rng();
                hb.Doing("SetCommState");
                ok = e2e::Configure(h, bauds[r % std::size(bauds)], [&](plat::Dcb& d) {
                    d.ByteSize = uint8_t(7 + (r >> 8) % 2);
                    d.Parity = uint8_t((r >> 9) % 3);
                    d.StopBits = uint8_t((r >> 11) % 2 ? plat::kTwoStopBits : plat::kOneStopBit);
                    d.flags = plat::kDcbBinary | (uint32_t(r >> 12) & (plat::kDcbOutxCtsFlow |
                                                                      plat::kDcbOutxDsrFlow |
                                                                      plat::kDcbOutX | plat::kDcbInX |
                                                                      plat::kDcbNull |
                                                                      plat::kDcbErrorChar));
                    d.flags = plat::WithRtsControl(d.flags, uint32_t(r >> 24) % 4);
                    d.flags = plat::WithDtrControl(d.flags, uint32_t(r >> 26) % 3);
                });
                break;
            }
            case 5: {
                // A wait that nothing ends within its limit is called off by a mask change;
                // the change is repeated because one made before the wait began does not count.
                const uint32_t mask =
                    plat::EV_RXCHAR | plat::EV_ERR | plat::EV_BREAK | plat::EV_CTS | plat::EV_RING;
                hb.Doing("SetCommMask");
                ok = api::SetCommMask(h, mask);
                if (!ok) break;
                hb.Doing("WaitCommEvent (called off by a mask change)");
                auto wait = std::async(std::launch::async, [h] {
                    uint32_t events = 0;
                    return api::WaitCommEvent(h, &events);
                });
                if (wait.wait_for(std::chrono::milliseconds(rng() % 200)) !=
                    std::future_status::ready) {
                    do {
                        api::SetCommMask(h, mask);
                    } while (wait.wait_for(20ms) != std::future_status::ready);
                }
                ok = wait.get();
                break;
            }
            case 6: {
                static const uint32_t flags[] = {plat::PURGE_RXCLEAR, plat::PURGE_TXCLEAR,
                                                 plat::PURGE_RXABORT | plat::PURGE_TXABORT,
                                                 0xF};
                hb.Doing("PurgeComm");
                ok = api::PurgeComm(h, flags[rng() % std::size(flags)]);
                break;
            }
            case 7: {
                static const uint32_t functions[] = {api::kSetRts, api::kClrRts, api::kSetDtr,
                                                     api::kClrDtr, api::kSetXon, api::kSetXoff};
                hb.Doing("EscapeCommFunction");
                ok = api::EscapeCommFunction(h, functions[rng() % std::size(functions)]);
                break;
            }
            case 8: {
                hb.Doing("SetCommBreak");
                ok = api::SetCommBreak(h);
                std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 5));
                ok = api::ClearCommBreak(h) && ok;
                break;
            }
            case 9: {
                hb.Doing("TransmitCommChar");
                ok = api::TransmitCommChar(h, uint8_t(rng()));
                break;
            }
            case 10: {
                uint32_t errors = 0;
                plat::ComStatRecord status{};
                hb.Doing("ClearCommError");
                ok = api::ClearCommError(h, &errors, &status);
                break;
            }
            case 11: {
                uint32_t modem = 0;
                plat::CommProp props{};
                hb.Doing("GetCommModemStatus");
                ok = api::GetCommModemStatus(h, &modem) && api::GetCommProperties(h, &props);
                break;
            }
            case 12: {  // a second, monitor, handle comes and goes
                hb.Doing("Open monitor");
                const std::u16string name = NameOf(port);
                api::Handle m = name.empty() ? 0 : api::Open(name, 0, 0);
                if (m != 0) api::Close(m);
                break;
            }
            default: {
                plat::Dcb dcb{};
                hb.Doing("GetCommState");
                ok = api::GetCommState(h, &dcb);
                break;
            }
        }
        hb.Beat();
        ++calls_;
        // A failed call is fine when the device has gone (its handle then fails with 6);
        // argument errors are the soak's own choice and fine too. Either way, start afresh.
        if (!ok && plat::LastErrorCode() == plat::kErrorInvalidHandle) reopen();
    }
    if (h != 0) api::Close(h);
}

// The far end of an external wire: data, characters with parity or framing errors, breaks
// and modem-line changes.
void Soak::FarEnd(const PortId& port, uint64_t seed) {
    Heartbeat hb(dog_, "far end " + port.Text());
    std::mt19937_64 rng(seed);
    sim::ExternalWire* wire = machine_->ExternalOf(port.card, port.n);
    sim::RecordingEndpoint* recorder = machine_->RecorderOf(port.card, port.n);
    while (!stop_.load()) {
        const uint32_t op = uint32_t(rng() % 8);
        hb.Doing("far end");
        if (op < 4) {
            std::vector<uint8_t> bytes(1 + rng() % 48);
            for (auto& b : bytes) b = uint8_t(rng());
            wire->Send(bytes);
        } else if (op == 4) {
            wire->SendWithError(uint8_t(rng()), rng() % 2, rng() % 2);
        } else if (op == 5) {
            wire->SendBreak();
        } else {
            const uint64_t r = rng();
            wire->SetModemLines({bool(r & 1), bool(r & 2), bool(r & 4), bool(r & 8)});
        }
        if (recorder != nullptr && rng() % 16 == 0) recorder->Clear();
        hb.Beat();
        // Keep at most a little queued, so the far end does not run ahead of the line.
        while (wire->PendingToUart() > 64 && !stop_.load()) std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 30));
    }
}

void Soak::Run() {
    std::string error;
    machine_ = sim::Machine::Boot(e2e::Templates() +
                                      "[HKEY_LOCAL_MACHINE\\Machine]\n\"LineTimePercent\"=dword:" +
                                      e2e::Hex(uint32_t(options_.linePercent)) + "\n" +
                                      MachineText(),
                                  "soak.reg", &error);
    ASSERT_NE(machine_, nullptr) << error;
    ASSERT_TRUE(machine_->Start()) << ::testing::PrintToString(machine_->Problems());

    std::vector<std::thread> background;
    uint64_t seeds = options_.seed;
    for (const Pair& p : kPairs) {
        background.emplace_back([this, &p] { Monitor(p.a); });
        background.emplace_back([this, &p] { Monitor(p.b); });
    }
    for (const PortId& port : kExternal) {
        background.emplace_back([this, port, s = ++seeds] { Chaos(port, s * 7919, kReadWrite); });
        background.emplace_back([this, port, s = ++seeds] { Chaos(port, s * 104729, 0); });
        background.emplace_back([this, port, s = ++seeds] { FarEnd(port, s * 15485863); });
    }

    {
        Heartbeat hb(dog_, "controller");
        std::mt19937_64 rng(options_.seed);
        const auto end = Clock::now() + std::chrono::seconds(options_.seconds);
        for (uint64_t round = 1; Clock::now() < end; ++round) {
            if (!RunRound(round, rng)) break;
            hb.Beat();
            Disrupt(rng, hb);
            std::lock_guard lock(gFailMutex);
            if (!gFailures.empty()) break;
        }
    }
    stop_ = true;
    for (auto& t : background) t.join();

    std::printf("soak: seed %" PRIu64 ", %" PRIu64 " s, line %" PRIu64
                " %%: %" PRIu64 " rounds (%" PRIu64 " disrupted), %" PRIu64
                " calls, %" PRIu64 " bytes checked, %" PRIu64
                " bytes lost with an error reported (%" PRIu64
                " of them FIFO overruns on hand-shaken lines); actions: %" PRIu64 " suspends, %" PRIu64
                " power requests, %" PRIu64 " port restarts, %" PRIu64 " adapter restarts\n",
                options_.seed, options_.seconds, options_.linePercent, rounds_.load(),
                disrupted_.load(), calls_.load(), checkedBytes_.load(),
                lostMatched_.load() + hardwareOverruns_.load(), hardwareOverruns_.load(),
                actions_[0].load(), actions_[1].load(), actions_[2].load() + actions_[3].load(),
                actions_[4].load());
    machine_.reset();
}

TEST(Soak, EveryPortBusyWhileTheMachineIsSuspendedAndDevicesComeAndGo) {
    const Options options;
    std::printf("soak: seed %" PRIu64 " (replay with SOAK_SEED=%" PRIu64 "), %" PRIu64
                " seconds\n",
                options.seed, options.seed, options.seconds);
    std::fflush(stdout);
    sim::DeactivateAll();
    sim::reg::ClearAll();
    sim::SetDriverDirectory("");
    sim::ClearActivationFailures();
    sim::DisarmAllFailures();
    const uint64_t lockOrderBefore = sim::LockOrderReportCount();
    const uint64_t blocksBefore = sim::LiveAllocations().blocks;
    sim::SetLockOrderHandler(&OnLockOrder);
    {
        Soak soak(options);
        soak.Run();
    }
    sim::SetLockOrderHandler(nullptr);

    {
        std::lock_guard lock(gFailMutex);
        EXPECT_TRUE(gFailures.empty()) << "seed " << options.seed << ": "
                                       << ::testing::PrintToString(gFailures);
    }
    EXPECT_EQ(sim::LockOrderReportCount(), lockOrderBefore)
        << ::testing::PrintToString(gLockOrderReports);
    EXPECT_TRUE(sim::ListDevices().empty());
    auto handles = sim::LiveHandles();
    EXPECT_TRUE(handles.empty()) << handles.size() << " handles left, first "
                                 << (handles.empty() ? "" : handles[0].description);
    EXPECT_EQ(sim::LiveAllocations().blocks, blocksBefore);
    EXPECT_EQ(sim::LiveMappingCount(), 0u);
    EXPECT_EQ(sim::IrqLoadedHandlerCount(), 0u);
    EXPECT_TRUE(sim::LoadedLibraries().empty());
}

}  // namespace
}  // namespace soak
