#include "tools/zelsim/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zelsim {
namespace {

struct SpeedRow {
    speed_t code;
    uint32_t baud;
};
constexpr SpeedRow kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

constexpr char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};

}  // namespace

std::optional<Frame> ParseFrame(std::string_view text) {
    if (text.size() < 3) return std::nullopt;
    Frame f;
    if (text[0] < '5' || text[0] > '8') return std::nullopt;
    f.dataBits = static_cast<uint8_t>(text[0] - '0');
    const char p = text[1];
    bool found = false;
    for (uint8_t i = 0; i < sizeof kParityLetters; ++i) {
        if (p == kParityLetters[i] || p == kParityLetters[i] + ('a' - 'A')) {
            f.parity = i;
            found = true;
        }
    }
    if (!found) return std::nullopt;
    std::string_view stop = text.substr(2);
    if (stop == "1") {
        f.stopBits = plat::kOneStopBit;
    } else if (stop == "1.5") {
        f.stopBits = plat::kOne5StopBits;
    } else if (stop == "2") {
        f.stopBits = plat::kTwoStopBits;
    } else {
        return std::nullopt;
    }
    return f;
}

std::string FrameText(const Frame& f) {
    std::string out = std::to_string(f.dataBits);
    out += f.parity < sizeof kParityLetters ? kParityLetters[f.parity] : '?';
    out += f.stopBits == plat::kOneStopBit ? "1" : f.stopBits == plat::kOne5StopBits ? "1.5" : "2";
    return out;
}

std::optional<uint32_t> BaudOfSpeed(speed_t speed) {
    for (const SpeedRow& r : kSpeeds) {
        if (r.code == speed) return r.baud;
    }
    return std::nullopt;
}

std::optional<speed_t> SpeedOfBaud(uint32_t baud) {
    for (const SpeedRow& r : kSpeeds) {
        if (r.baud == baud) return r.code;
    }
    return std::nullopt;
}

LineSettings SettingsOfTermios(const termios& t, const Frame& frame) {
    LineSettings s;
    s.baud = BaudOfSpeed(cfgetospeed(&t)).value_or(0);
    // A terminal that does keep the word length and the parity enable is believed.
    switch (t.c_cflag & CSIZE) {
        case CS5:
            s.frame.dataBits = 5;
            break;
        case CS6:
            s.frame.dataBits = 6;
            break;
        case CS7:
            s.frame.dataBits = 7;
            break;
        default:
            s.frame.dataBits = frame.dataBits;
            break;
    }
    const bool odd = (t.c_cflag & PARODD) != 0;
    const bool stick = (t.c_cflag & CMSPAR) != 0;
    if (stick) {
        s.frame.parity = odd ? plat::kMarkParity : plat::kSpaceParity;
    } else if (odd) {
        s.frame.parity = plat::kOddParity;
    } else if (t.c_cflag & PARENB) {
        s.frame.parity = plat::kEvenParity;
    } else {
        // No parity and even parity look alike here.
        s.frame.parity = frame.parity == plat::kEvenParity ? plat::kEvenParity : plat::kNoParity;
    }
    if (t.c_cflag & CSTOPB) {
        s.frame.stopBits =
            frame.stopBits == plat::kOne5StopBits ? plat::kOne5StopBits : plat::kTwoStopBits;
    } else {
        s.frame.stopBits = plat::kOneStopBit;
    }
    s.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    s.ixon = (t.c_iflag & IXON) != 0;
    s.ixoff = (t.c_iflag & IXOFF) != 0;
    s.xonChar = t.c_cc[VSTART];
    s.xoffChar = t.c_cc[VSTOP];
    return s;
}

void ShowFrame(const Frame& frame, termios* t) {
    t->c_cflag &= ~(CSTOPB | PARODD | CMSPAR);
    if (frame.stopBits != plat::kOneStopBit) t->c_cflag |= CSTOPB;
    switch (frame.parity) {
        case plat::kOddParity:
            t->c_cflag |= PARODD;
            break;
        case plat::kMarkParity:
            t->c_cflag |= PARODD | CMSPAR;
            break;
        case plat::kSpaceParity:
            t->c_cflag |= CMSPAR;
            break;
        default:
            break;
    }
}

void ApplyToDcb(const LineSettings& s, plat::Dcb& dcb) {
    dcb.DCBlength = sizeof(plat::Dcb);
    dcb.BaudRate = s.baud;
    dcb.ByteSize = s.frame.dataBits;
    dcb.Parity = s.frame.parity;
    dcb.StopBits = s.frame.stopBits;
    uint32_t f = dcb.flags | plat::kDcbBinary;
    f &= ~(plat::kDcbOutxCtsFlow | plat::kDcbOutX | plat::kDcbInX | plat::kDcbParity);
    if (s.frame.parity != plat::kNoParity) f |= plat::kDcbParity;
    if (s.rtsCts) {
        f |= plat::kDcbOutxCtsFlow;
        f = plat::WithRtsControl(f, plat::kRtsControlHandshake);
    } else if (plat::RtsControl(f) == plat::kRtsControlHandshake) {
        f = plat::WithRtsControl(f, plat::kRtsControlEnable);
    }
    if (s.ixon) f |= plat::kDcbOutX;
    if (s.ixoff) f |= plat::kDcbInX;
    if (s.ixon || s.ixoff) {
        dcb.XonChar = static_cast<char>(s.xonChar);
        dcb.XoffChar = static_cast<char>(s.xoffChar);
    }
    dcb.flags = f;
}

std::string Describe(const LineSettings& s) {
    std::string out = std::to_string(s.baud) + ' ' + FrameText(s.frame);
    if (s.rtsCts) out += " rtscts";
    if (s.ixon && s.ixoff) {
        out += " xon/xoff";
    } else if (s.ixon) {
        out += " ixon";
    } else if (s.ixoff) {
        out += " ixoff";
    }
    return out;
}

Pty::~Pty() {
    if (master_ >= 0) close(master_);
}

bool Pty::Open(std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error != nullptr) *error = what + ": " + std::strerror(errno);
        if (master_ >= 0) close(master_);
        master_ = -1;
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) return fail("cannot open a pseudo-terminal");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0)
        return fail("cannot unlock a pseudo-terminal");
    char name[128];
    if (ptsname_r(master_, name, sizeof(name)) != 0) return fail("ptsname");
    slaveName_ = name;
    // Opening and closing the slave once puts the master into the hang-up state that tells
    // zelsim when a program has the slave open; a fresh pair does not report it.
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return fail("cannot open " + slaveName_);
    termios t;
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&t, B9600);
        tcsetattr(slave, TCSANOW, &t);
    }
    close(slave);
    return true;
}

bool Pty::Attached() const {
    if (master_ < 0) return false;
    pollfd p{master_, 0, 0};
    if (poll(&p, 1, 0) < 0) return false;
    return (p.revents & POLLHUP) == 0;
}

bool Pty::GetSettings(termios* t) const {
    return master_ >= 0 && tcgetattr(master_, t) == 0;
}

bool Pty::SetSettings(const termios& t) const {
    return master_ >= 0 && tcsetattr(master_, TCSANOW, &t) == 0;
}

}  // namespace zelsim
