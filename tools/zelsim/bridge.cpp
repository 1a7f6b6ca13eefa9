#include "tools/zelsim/bridge.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/kernel.h"
#include "sim/api/api.h"
#include "sim/registry/registry.h"

namespace zelsim {
namespace {

// Reads return after 50 ms without data, or 5 ms after the last byte; writes hand back
// control every 200 ms while flow control holds the line.
constexpr plat::CommTimeouts kTimeouts{5, 0, 50, 0, 200};
constexpr int kPollMs = 20;

bool SameTerminal(const termios& a, const termios& b) {
    return a.c_cflag == b.c_cflag && a.c_iflag == b.c_iflag && cfgetospeed(&a) == cfgetospeed(&b) &&
           a.c_cc[VSTART] == b.c_cc[VSTART] && a.c_cc[VSTOP] == b.c_cc[VSTOP];
}

std::string ErrorText() {
    return "error " + std::to_string(plat::LastErrorCode());
}

}  // namespace

ComBridge::ComBridge(std::u16string device, Frame frame, Console& console)
    : device_(std::move(device)),
      name_(sim::reg::ToUtf8(device_)),
      frame_(frame),
      console_(console) {}

ComBridge::~ComBridge() {
    Stop();
}

bool ComBridge::Start(std::string* error) {
    if (!pty_.Open(error)) return false;
    port_ = api::Open(device_, plat::kAccessRead | plat::kAccessWrite, 0);
    if (port_ == 0) {
        *error = "cannot open " + name_ + " (" + ErrorText() + ")";
        return false;
    }
    if (!api::SetCommTimeouts(port_, &kTimeouts)) {
        *error = name_ + " refuses the time-outs (" + ErrorText() + ")";
        Stop();
        return false;
    }
    // The terminal starts out showing the port's speed and as much of its frame as it can.
    plat::Dcb dcb{};
    termios t{};
    if (!api::GetCommState(port_, &dcb) || !pty_.GetSettings(&t)) {
        *error = "cannot read the settings of " + name_;
        Stop();
        return false;
    }
    cfsetspeed(&t, SpeedOfBaud(dcb.BaudRate).value_or(B9600));
    ShowFrame(frame_, &t);
    pty_.SetSettings(t);
    pty_.GetSettings(&seen_);
    applied_.baud = dcb.BaudRate;
    applied_.frame = Frame{dcb.ByteSize, dcb.Parity, dcb.StopBits};
    LineSettings wanted = SettingsOfTermios(seen_, frame_);
    if (!Apply(wanted, seen_, false)) {
        *error = name_ + " refuses " + Describe(wanted);
        Stop();
        return false;
    }
    running_ = true;
    toPort_ = std::thread([this] { ToPort(); });
    fromPort_ = std::thread([this] { FromPort(); });
    return true;
}

void ComBridge::Stop() {
    running_ = false;
    if (toPort_.joinable()) toPort_.join();
    if (fromPort_.joinable()) fromPort_.join();
    if (port_ != 0) api::Close(port_);
    port_ = 0;
}

ComBridge::Counters ComBridge::Read() {
    uint32_t errors = 0;
    plat::ComStatRecord status{};
    if (port_ != 0 && running_) api::ClearCommError(port_, &errors, &status);
    std::lock_guard lock(mutex_);
    counters_.holds = status.flags;
    if (errors & plat::CE_OVERRUN) ++counters_.overruns;
    if (errors & plat::CE_RXPARITY) ++counters_.parityErrors;
    if (errors & plat::CE_FRAME) ++counters_.framingErrors;
    if (errors & plat::CE_BREAK) ++counters_.breaks;
    counters_.attached = pty_.Attached();
    return counters_;
}

// Applies wanted to the port (announce: say so). When the port refuses it, finds out whether the
// speed was the reason, says so, and leaves the port on consistent settings. False only when even
// the settings in force before are refused.
bool ComBridge::Apply(const LineSettings& wanted, const termios& seen, bool announce) {
    auto apply = [&](const LineSettings& s) {
        plat::Dcb dcb{};
        if (!api::GetCommState(port_, &dcb)) return false;
        ApplyToDcb(s, dcb);
        return api::SetCommState(port_, &dcb) != 0;
    };
    auto adopt = [&](const LineSettings& s) {
        applied_ = s;
        std::lock_guard lock(mutex_);
        counters_.settings = s;
    };
    if (apply(wanted)) {
        adopt(wanted);
        if (announce) console_.Info(name_ + " line " + Describe(wanted));
        return true;
    }
    const std::string why = ErrorText();
    LineSettings kept = wanted;
    kept.baud = applied_.baud;
    if (wanted.baud != applied_.baud && apply(kept)) {
        adopt(kept);
        console_.Info(name_ + " " + std::to_string(wanted.baud) + " baud refused by the port (" +
                      why + "); line " + Describe(kept));
        // Show the program the speed in force.
        termios t = seen;
        if (auto code = SpeedOfBaud(kept.baud)) {
            cfsetspeed(&t, *code);
            pty_.SetSettings(t);
            pty_.GetSettings(&seen_);
        }
        return true;
    }
    console_.Info(name_ + " " + Describe(wanted) + " refused by the port (" + why + "); line " +
                  Describe(applied_));
    // A refused record may have changed part of the line; put all of it back.
    return apply(applied_);
}

void ComBridge::FollowTerminal() {
    termios t{};
    if (!pty_.GetSettings(&t) || SameTerminal(t, seen_)) return;
    seen_ = t;
    LineSettings wanted = SettingsOfTermios(t, frame_);
    if (cfgetospeed(&t) == B0) {
        bool was;
        {
            std::lock_guard lock(mutex_);
            was = counters_.hungUp;
            counters_.hungUp = true;
        }
        if (!was) {
            api::EscapeCommFunction(port_, api::kClrDtr);
            console_.Info(name_ + " hang-up (speed 0), DTR off");
        }
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (counters_.hungUp) {
            counters_.hungUp = false;
            api::EscapeCommFunction(port_, api::kSetDtr);
        }
    }
    if (wanted.baud == 0) wanted.baud = applied_.baud;  // a speed code with no baud rate known
    if (!(wanted == applied_)) Apply(wanted, t, true);
}

bool ComBridge::WriteAllToPort(const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length && running_) {
        uint32_t n = 0;
        if (!api::Write(port_, data + done, static_cast<uint32_t>(length - done), &n)) {
            console_.Error(name_ + " write failed (" + ErrorText() + ")");
            return false;
        }
        done += n;
        {
            std::lock_guard lock(mutex_);
            counters_.toPort += n;
        }
        // Held by flow control: the program may change its settings meanwhile.
        if (done < length) FollowTerminal();
    }
    return done == length;
}

bool ComBridge::WriteAllToTerminal(const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length && running_) {
        ssize_t n = write(pty_.MasterFd(), data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        if (!pty_.Attached()) break;
        // The program does not read: wait, and so hold the port (its flow control decides).
        pollfd p{pty_.MasterFd(), POLLOUT, 0};
        poll(&p, 1, kPollMs);
    }
    std::lock_guard lock(mutex_);
    counters_.fromPort += done;
    counters_.lost += length - done;
    return done == length;
}

void ComBridge::ToPort() {
    uint8_t buffer[4096];
    while (running_) {
        FollowTerminal();
        pollfd p{pty_.MasterFd(), POLLIN, 0};
        if (poll(&p, 1, kPollMs) < 0 && errno != EINTR) break;
        if (p.revents & POLLIN) {
            ssize_t n = read(pty_.MasterFd(), buffer, sizeof buffer);
            if (n > 0 && !WriteAllToPort(buffer, static_cast<size_t>(n))) {
                // The port is gone; nothing more to do but wait for the end.
                while (running_) usleep(kPollMs * 1000);
            }
        } else if (p.revents & POLLHUP) {
            usleep(kPollMs * 1000);  // nobody has the terminal open
        }
    }
}

void ComBridge::FromPort() {
    uint8_t buffer[4096];
    while (running_) {
        uint32_t n = 0;
        if (!api::Read(port_, buffer, sizeof buffer, &n)) {
            console_.Error(name_ + " read failed (" + ErrorText() + ")");
            while (running_) usleep(kPollMs * 1000);
            break;
        }
        if (n == 0) continue;
        if (!pty_.Attached()) {
            std::lock_guard lock(mutex_);
            counters_.lost += n;
            continue;
        }
        WriteAllToTerminal(buffer, n);
    }
}

}  // namespace zelsim
