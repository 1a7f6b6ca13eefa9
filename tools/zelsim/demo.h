// "zelsim demo": a file (or generated data) sent from one COM port to another through the whole
// stack, at a chosen speed and hand-shaking, with a progress bar; the bytes that arrive are
// checked against those sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/zelsim/pty.h"

namespace zelsim {

enum class Flow { None, RtsCts, XonXoff };

struct DemoOptions {
    std::string machineFile;  // "" for the built-in default
    std::u16string from = u"COM1:";
    std::u16string to = u"COM2:";
    uint32_t baud = 115200;
    uint32_t rxBaud = 0;  // the receiver's speed when not 0 (to show what a mismatch does)
    Flow flow = Flow::None;
    Frame frame;
    std::string file;  // "" for generated data
    size_t bytes = 256 * 1024;
    bool quiet = false;
    bool priority = true;  // see RaisePriority
};

// Data the demo can send with the options: every byte fits the data bits and, with XON/XOFF
// hand-shaking, none is a flow-control character (the driver takes those out of the data).
// Generated data is made to fit; a file that does not is refused with *error set.
bool DemoData(const DemoOptions& options, std::vector<uint8_t>* data, std::string* error);

// Parses the demo's arguments (after "demo"). False with *error set for bad ones.
bool ParseDemoArguments(const std::vector<std::string>& args, DemoOptions* options,
                        std::string* error);

// Runs the demo; the exit code: 0 when every byte arrived unchanged, 1 otherwise, 2 when the
// demo could not be set up.
int RunDemo(const DemoOptions& options);

}  // namespace zelsim
