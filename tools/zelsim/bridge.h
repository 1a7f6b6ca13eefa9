// A COM port of the simulated machine as a Linux pseudo-terminal.
//
// The bridge opens the port ("COM1:") through the application calls and keeps it open while
// zelsim runs. Two threads move the bytes unchanged: one reads the port and writes the
// terminal's master, one reads the master and writes the port. What a program sets on its
// terminal (see pty.h for what a terminal can carry) is applied to the port as a settings
// record as soon as it is seen; a setting the port refuses is reported, and the terminal's
// speed is put back to the one the port runs at, so the program can read the refusal back.
// Speed 0 (a hang-up) drops DTR until another speed is set.
//
// Bytes the port receives while no program has the terminal open are lost, as they are on a
// real port that nobody has opened; they are counted.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/types.h"
#include "tools/zelsim/console.h"
#include "tools/zelsim/pty.h"

namespace zelsim {

class ComBridge {
  public:
    // device: "COM1:"; frame: data bits and no/even parity where the terminal cannot say.
    ComBridge(std::u16string device, Frame frame, Console& console);
    ~ComBridge();  // Stop
    ComBridge(const ComBridge&) = delete;
    ComBridge& operator=(const ComBridge&) = delete;

    // Opens the port and the terminal and starts moving bytes. False with a reason.
    bool Start(std::string* error);
    // Stops the threads and closes the port. A second call does nothing.
    void Stop();

    const std::string& Name() const { return name_; }  // "COM1:"
    const std::string& SlaveName() const { return pty_.SlaveName(); }

    struct Counters {
        LineSettings settings;  // as applied to the port
        bool attached = false;
        bool hungUp = false;
        uint64_t toPort = 0;    // bytes from the terminal written to the port
        uint64_t fromPort = 0;  // bytes read from the port and given to the terminal
        uint64_t lost = 0;      // read from the port while nobody had the terminal open
        // Line errors the port reported (CE_* bits seen), counted per kind.
        uint64_t overruns = 0, parityErrors = 0, framingErrors = 0, breaks = 0;
        uint32_t holds = 0;  // kComStat* bits: what holds the port's output now
    };
    // Also collects the line errors the port reported since the last call.
    Counters Read();

  private:
    void ToPort();    // thread: terminal -> port, and the terminal's settings
    void FromPort();  // thread: port -> terminal
    void FollowTerminal();
    bool Apply(const LineSettings& wanted, const termios& seen, bool announce);
    bool WriteAllToPort(const uint8_t* data, size_t length);
    bool WriteAllToTerminal(const uint8_t* data, size_t length);

    const std::u16string device_;
    const std::string name_;
    const Frame frame_;
    Console& console_;
    Pty pty_;
    plat::Handle port_ = 0;
    std::atomic<bool> running_{false};
    std::thread toPort_;
    std::thread fromPort_;

    std::mutex mutex_;
    Counters counters_;     // guarded by mutex_
    termios seen_{};        // ToPort thread: the terminal's settings last looked at
    LineSettings applied_;  // ToPort thread (copied into counters_)
};

}  // namespace zelsim
