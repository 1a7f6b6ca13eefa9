// Command-line arguments, for zelsim and its demo.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/zelsim/pty.h"

namespace zelsim {

class Args {
  public:
    explicit Args(std::vector<std::string> args) : args_(std::move(args)) {}
    bool Done() const { return at_ >= args_.size(); }
    std::string Next() { return args_[at_++]; }
    // The value after a flag; false with *error set when there is none.
    bool Value(const std::string& flag, std::string* value, std::string* error);
    bool Number(const std::string& flag, uint64_t min, uint64_t max, uint64_t* value,
                std::string* error);

  private:
    std::vector<std::string> args_;
    size_t at_ = 0;
};

// "com3", "COM3" or "COM3:" -> u"COM3:".
std::u16string DeviceName(const std::string& text);

// "COM3=7E1" into frames["COM3:"]; false with *error set when it does not parse.
bool ParseFrameAssignment(const std::string& text, std::map<std::string, Frame>* frames,
                          std::string* error);

// The simulated card runs in real time: a UART's 64-byte FIFO overruns when its interrupt is
// not served within 64 character times. So that a busy machine's other work does not stretch
// the simulation's interrupt path past that, zelsim asks for a raised priority (nice -10) for
// itself and every thread it starts. Call before any thread is made. Without the permission
// it runs as it is; returns whether the priority was raised.
bool RaisePriority();

}  // namespace zelsim
