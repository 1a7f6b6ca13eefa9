// Loading a machine file: the text (a file, or the built-in default), the values only zelsim
// reads, and errors that say where in the file the fault is.
//
// Besides what the machine builder reads (sim/devmgr/machine.h), a port key may hold:
//   "Expose"=dword:00000001   zelsim bridges the port's COM device to a pseudo-terminal
//   "Frame"="7E1"             data bits and parity where the terminal cannot say (pty.h);
//                             default 8N1
//   "Endpoint"="pty"          the port's wire goes to the outside: a pseudo-terminal whose
//   "Endpoint"="tcp:7004"       slave a program opens, or a TCP socket listening on
//                               127.0.0.1 (port 0: any free port); the port then has no
//                               other "Wire"
// Keys under "Drivers\Active" are what a running machine writes; a file exported by an earlier
// run carries them, and they are dropped before the machine starts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/devmgr/machine.h"
#include "sim/registry/registry.h"
#include "tools/zelsim/pty.h"

namespace zelsim {

// The built-in default machine (machines/default.reg).
std::string_view DefaultMachineText();

enum class EndpointKind { None, Pty, Tcp };

struct PortExtras {
    std::string card;
    uint32_t port = 0;
    bool expose = false;
    std::optional<Frame> frame;
    EndpointKind endpoint = EndpointKind::None;
    uint16_t tcpPort = 0;
};

struct LoadedMachine {
    std::unique_ptr<sim::Machine> machine;
    std::vector<PortExtras> ports;  // every port of every card, in card and port order
    std::string source;             // the file name, or "(built-in default)"
};

// Reads the file ("" for the default), checks zelsim's values, imports the text into the
// registry and builds the machine (not yet started). Nothing with *error set, in the form
// "file:line: reason", when the file is unreadable, does not parse or describes a machine that
// cannot be built.
std::optional<LoadedMachine> LoadMachine(const std::string& fileName, std::string* error);
std::optional<LoadedMachine> LoadMachineText(std::string_view text, std::string_view source,
                                             std::string* error);

// Where a machine builder's message ("Card1: Port3 has an unknown \"Wire\"") points in the
// file: the line of the value or key it names, as "source:line: message".
std::string LocateError(const std::vector<sim::reg::Op>& ops, std::string_view source,
                        const std::string& message);

}  // namespace zelsim
