// Linux pseudo-terminals for the simulated machine's serial lines, and how a terminal's
// settings map onto the driver's settings record.
//
// What a pseudo-terminal can carry: every tcsetattr on either side forces CS8 and clears
// PARENB (the pty driver does this), so the data bits and the parity enable a program sets
// cannot be read back. PARODD, CMSPAR, CSTOPB, the speed, CRTSCTS, IXON and IXOFF survive.
// Where the terminal cannot say, a port's Frame decides: its data bits always, and its choice
// between no parity and even parity (both look the same on a terminal). PARODD alone means odd
// parity, CMSPAR with PARODD mark parity and CMSPAR alone space parity, whatever the Frame says.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/serial.h"

namespace zelsim {

// A character frame: data bits, parity and stop bits in the settings record's codes.
struct Frame {
    uint8_t dataBits = 8;
    uint8_t parity = plat::kNoParity;
    uint8_t stopBits = plat::kOneStopBit;
    bool operator==(const Frame&) const = default;
};
// "8N1", "7E2", "5N1.5", "8M1", "8S1" (N, O, E, M, S; stop bits 1, 1.5, 2); nothing otherwise.
std::optional<Frame> ParseFrame(std::string_view text);
std::string FrameText(const Frame& frame);

// Line settings a program made on its terminal, in the driver's terms.
struct LineSettings {
    uint32_t baud = 9600;  // 0: the terminal asks for a hang-up (B0) or an unknown speed
    Frame frame;
    bool rtsCts = false;  // CRTSCTS
    bool ixon = false;    // IXON: the far end's XOFF holds our output
    bool ixoff = false;   // IXOFF: we send XOFF when our input fills
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
    bool operator==(const LineSettings&) const = default;
};

// The baud rate a termios speed code stands for; nothing for B0 and unknown codes.
std::optional<uint32_t> BaudOfSpeed(speed_t speed);
// The termios speed code of a baud rate; nothing when there is none.
std::optional<speed_t> SpeedOfBaud(uint32_t baud);

// The settings a terminal shows, read as described at the top (`frame` fills in).
LineSettings SettingsOfTermios(const termios& t, const Frame& frame);
// Puts what a terminal can show of a frame (stop bits, odd / mark / space parity) into t.
void ShowFrame(const Frame& frame, termios* t);
// Applies settings to a settings record, leaving its other fields as they are.
void ApplyToDcb(const LineSettings& s, plat::Dcb& dcb);
std::string Describe(const LineSettings& s);  // "115200 8N1 rtscts"

// One pseudo-terminal pair. zelsim keeps the master (non-blocking); a Linux program opens the
// slave by its name. The slave starts in raw mode at 9600 baud. While no program has the slave
// open the master reports a hang-up and Attached() says false. What is written to the master
// then may be thrown away or may reach the next program that opens the slave, depending on
// the kernel's timing; so zelsim writes nothing to a master while it is not attached.
class Pty {
  public:
    Pty() = default;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty();

    // Opens a new pair; false with a reason in *error.
    bool Open(std::string* error);

    int MasterFd() const { return master_; }
    const std::string& SlaveName() const { return slaveName_; }
    // Whether a program has the slave open now.
    bool Attached() const;
    // The slave's settings, read and written through the master.
    bool GetSettings(termios* t) const;
    bool SetSettings(const termios& t) const;

  private:
    int master_ = -1;
    std::string slaveName_;
};

}  // namespace zelsim
