#include "tools/zelsim/session.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "sim/bus/sim_bus.h"
#include "sim/devmgr/devmgr.h"
#include "sim/hw/card.h"
#include "sim/hw/uart.h"
#include "sim/irq/sim_irq.h"
#include "sim/kernel/sim_kernel.h"

namespace zelsim {
namespace {

namespace reg = sim::reg;

std::string PortKey(const std::string& card, uint32_t port) {
    return card + "\\Port" + std::to_string(port);
}

std::string LineText(const sim::LineFrame& f) {
    if (f.divisor == 0) return "off";
    static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
    std::string stop = f.stopHalfBits == 2 ? "1" : f.stopHalfBits == 3 ? "1.5" : "2";
    return std::to_string(std::lround(f.Baud())) + ' ' + std::to_string(f.dataBits) +
           kParity[static_cast<size_t>(f.parity)] + stop;
}

std::string Duration(std::chrono::steady_clock::duration d) {
    long s = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

// What in a card's description a driver is likely to refuse, when its Init says no more.
std::string RefusalHint(const sim::MachineCard& card) {
    const std::u16string key = u"Machine\\Cards\\" + reg::FromUtf8(card.name);
    std::string hint;
    for (const char16_t* name : {u"DeviceID", u"SubSystemID"}) {
        if (!reg::GetDword(key, name))
            hint += std::string(hint.empty() ? "" : "; ") + "the card has no \"" +
                    reg::ToUtf8(name) + "\"";
    }
    const uint16_t subsystem = card.card->Config().subsystemId;
    if (!sim::CardModelFor(subsystem)) {
        char text[64];
        std::snprintf(text, sizeof text, "subsystem ID 0x%04X is no known card model", subsystem);
        hint += std::string(hint.empty() ? "" : "; ") + text;
    }
    return hint;
}

}  // namespace

Session::~Session() {
    std::string ignored;
    Shutdown(&ignored);
}

bool Session::Boot(const SessionOptions& options, std::string* error) {
    if (options.outside && !options.linkDir.empty()) {
        if (!links_.Open(options.linkDir, error)) return false;
        linking_ = true;
        for (const std::string& path : links_.Removed())
            console_.Info("removed the stale link " + path);
    }
    auto loaded = LoadMachine(options.machineFile, error);
    if (!loaded) return false;
    loaded_ = std::move(*loaded);

    if (options.outside && !ConnectEndpoints(error)) return false;
    allStarted_ = loaded_.machine->Start();
    for (const std::string& problem : loaded_.machine->Problems()) {
        const sim::MachineCard* card =
            loaded_.machine->FindCard(problem.substr(0, problem.find(':')));
        // The driver's Init says no more than that it refused.
        std::string hint =
            card != nullptr && card->device == 0 && problem.find("Init") != std::string::npos
                ? RefusalHint(*card)
                : "";
        console_.Error(problem + (hint.empty() ? "" : " (" + hint + ")"));
    }
    if (options.outside) StartBridges(options);

    if (!options.registryOut.empty()) {
        reg::Status written = reg::ExportRegFile(u"", options.registryOut);
        if (!written.ok) {
            *error = written.error;
            return false;
        }
    }
    return true;
}

bool Session::ConnectEndpoints(std::string* error) {
    for (const PortExtras& p : loaded_.ports) {
        if (p.endpoint == EndpointKind::None) continue;
        const std::string label = PortKey(p.card, p.port);
        std::unique_ptr<Transport> transport = p.endpoint == EndpointKind::Pty
                                                   ? PtyTransport(error)
                                                   : TcpTransport(p.tcpPort, &console_, error);
        if (transport == nullptr) {
            *error = label + ": " + *error;
            return false;
        }
        auto line = std::make_shared<StreamLine>(std::move(transport), label);
        sim::ExternalWire* wire = loaded_.machine->Connect(p.card, p.port, line);
        if (wire == nullptr) {
            *error = label + ": the wire cannot be connected";
            return false;
        }
        if (!line->Start(wire, error)) return false;
        lines_.push_back(line);
        lineOf_[label] = line.get();
        std::string text = label + " wire -> " + line->Where();
        if (linking_ && p.endpoint == EndpointKind::Pty) {
            std::string why;
            std::string path =
                links_.Link(LinkDir::WireLinkName(p.card, p.port), line->Where(), &why);
            if (path.empty()) {
                console_.Error(why);
            } else {
                text += " (" + path + ")";
            }
        }
        console_.Info(text);
    }
    return true;
}

void Session::StartBridges(const SessionOptions& options) {
    for (const PortExtras& p : loaded_.ports) {
        if (!p.expose) continue;
        const std::string label = PortKey(p.card, p.port);
        std::u16string device = loaded_.machine->PortDeviceName(p.card, p.port);
        if (device.empty()) {
            console_.Error(label + ": no COM device to bridge (its card did not start)");
            continue;
        }
        const std::string name = reg::ToUtf8(device);
        Frame frame = p.frame.value_or(Frame{});
        if (auto it = options.frames.find(name); it != options.frames.end()) frame = it->second;
        auto bridge = std::make_unique<ComBridge>(device, frame, console_);
        std::string why;
        if (!bridge->Start(&why)) {
            console_.Error(label + ": " + why);
            continue;
        }
        std::string text = name + " -> " + bridge->SlaveName();
        if (linking_) {
            std::string path =
                links_.Link(name.substr(0, name.size() - 1), bridge->SlaveName(), &why);
            if (path.empty()) {
                console_.Error(why);
            } else {
                text += " (" + path + ")";
            }
        }
        console_.Info(text);
        bridgeOf_[label] = bridge.get();
        bridges_.push_back(std::move(bridge));
    }
}

std::string Session::PortLine(const sim::MachineCard& card, const sim::MachinePort& port) {
    const std::string key = PortKey(card.name, port.number);
    std::string name = reg::ToUtf8(loaded_.machine->PortDeviceName(card.name, port.number));
    sim::Uart& uart = card.card->UartOf(port.number);

    char head[48];
    std::snprintf(head, sizeof head, "  %-6s",
                  name.empty() ? ("P" + std::to_string(port.number)).c_str() : name.c_str());
    std::string out = head;
    std::string line = LineText(uart.Frame());
    ComBridge* bridge = bridgeOf_.count(key) ? bridgeOf_[key] : nullptr;
    ComBridge::Counters bc;
    if (bridge != nullptr) {
        bc = bridge->Read();
        if (bc.settings.rtsCts) line += " rtscts";
        if (bc.settings.ixon || bc.settings.ixoff) line += " xon/xoff";
    }
    char cell[64];
    std::snprintf(cell, sizeof cell, " %-22s", line.c_str());
    out += cell;

    std::string wire;
    switch (port.wire) {
        case sim::WireKind::None:
            wire = "no wire";
            break;
        case sim::WireKind::Loopback:
            wire = "loopback plug";
            break;
        case sim::WireKind::NullModem:
            wire = "null-modem " + PortKey(port.peerCard, port.peerPort);
            break;
        case sim::WireKind::External:
            wire = "test endpoint";
            break;
    }
    if (StreamLine* l = lineOf_.count(key) ? lineOf_[key] : nullptr) {
        StreamLine::Counters lc = l->Read();
        wire = "wire " + l->Where() + (lc.attached ? "" : " (idle)");
    }
    std::snprintf(cell, sizeof cell, " %-24s", wire.c_str());
    out += cell;

    if (bridge != nullptr) {
        std::string pty = bridge->SlaveName() + (bc.attached ? " open" : " closed");
        std::snprintf(cell, sizeof cell, " %-18s", pty.c_str());
        out += cell;
    }

    sim::ControlLines c = uart.WireControlLines();
    sim::ModemLines m = uart.ModemInputs();
    std::string lines;
    for (auto [on, text] : {std::pair{c.dtr, "DTR"},
                            {c.rts, "RTS"},
                            {m.cts, "CTS"},
                            {m.dsr, "DSR"},
                            {m.dcd, "DCD"},
                            {m.ri, "RI"}}) {
        lines += on ? std::string(text) + " " : std::string(std::strlen(text) + 1, ' ');
    }
    out += " " + lines;

    sim::UartStats s = uart.Stats();
    std::snprintf(cell, sizeof cell, "in %9llu out %9llu",
                  static_cast<unsigned long long>(s.charsReceived),
                  static_cast<unsigned long long>(s.charsSent));
    out += cell;

    if (bridge != nullptr) {
        std::string held;
        for (auto [bit, text] : {std::pair{plat::kComStatCtsHold, "cts"},
                                 {plat::kComStatDsrHold, "dsr"},
                                 {plat::kComStatXoffHold, "xoff"},
                                 {plat::kComStatXoffSent, "xoff-sent"}}) {
            if (bc.holds & bit) held += std::string(held.empty() ? " held:" : ",") + text;
        }
        out += held;
    }
    uint64_t errors = s.overruns;
    std::string detail;
    if (bridge != nullptr) {
        errors += bc.overruns + bc.parityErrors + bc.framingErrors + bc.breaks;
        for (auto [n, text] : {std::pair{bc.overruns, "overrun"},
                               {bc.parityErrors, "parity"},
                               {bc.framingErrors, "framing"},
                               {bc.breaks, "break"}}) {
            if (n != 0) detail += (detail.empty() ? "" : ", ") + std::to_string(n) + " " + text;
        }
    }
    if (s.overruns != 0)
        detail += (detail.empty() ? "" : ", ") + std::to_string(s.overruns) + " FIFO overrun";
    out += "  errors " + std::to_string(errors) + (detail.empty() ? "" : " (" + detail + ")");
    // Bytes that came while nobody had the terminal open.
    if (bridge != nullptr && bc.lost != 0) out += "  unread " + std::to_string(bc.lost);
    return out;
}

std::vector<std::string> Session::StatusLines() {
    std::vector<std::string> out;
    if (loaded_.machine == nullptr) return out;
    auto now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - lastView_).count();
    lastView_ = now;
    out.push_back("zelsim  " + loaded_.source + "  up " + Duration(now - started_) +
                  "  (Ctrl-C stops)");
    for (const sim::MachineCard& card : loaded_.machine->Cards()) {
        uint64_t signalled = sim::IrqCountersOf(card.sysIntr).signalled;
        auto [it, fresh] = lastSignalled_.try_emplace(card.name, signalled);
        if (!fresh && seconds > 0) rate_[card.name] = (signalled - it->second) / seconds;
        it->second = signalled;
        std::string device = "not started";
        if (auto info = sim::DeviceOf(card.device)) device = reg::ToUtf8(info->name);
        char text[128];
        std::snprintf(text, sizeof text, "%s %s  %.0f interrupts/s", card.name.c_str(),
                      device.c_str(), rate_[card.name]);
        out.push_back(text);
        for (const sim::MachinePort& port : card.ports) out.push_back(PortLine(card, port));
    }
    return out;
}

bool Session::Shutdown(std::string* report) {
    if (shutDown_) return true;
    shutDown_ = true;
    for (auto it = bridges_.rbegin(); it != bridges_.rend(); ++it) (*it)->Stop();
    for (auto& line : lines_) line->Stop();
    bridgeOf_.clear();
    lineOf_.clear();
    bridges_.clear();
    if (loaded_.machine != nullptr) loaded_.machine->Shutdown();
    loaded_.machine.reset();
    lines_.clear();

    std::vector<std::string> left;
    if (auto devices = sim::ListDevices(); !devices.empty())
        left.push_back(std::to_string(devices.size()) + " devices still running");
    if (auto handles = sim::LiveHandles(); !handles.empty())
        left.push_back(std::to_string(handles.size()) +
                       " handles open (first: " + handles.front().description + ")");
    if (size_t n = sim::LiveMappingCount(); n != 0)
        left.push_back(std::to_string(n) + " bus mappings");
    if (size_t n = sim::IrqLoadedHandlerCount(); n != 0)
        left.push_back(std::to_string(n) + " interrupt handlers loaded");
    if (auto libraries = sim::LoadedLibraries(); !libraries.empty())
        left.push_back(std::to_string(libraries.size()) + " driver libraries loaded");
    if (auto blocks = sim::LiveAllocations().blocks; blocks != 0)
        left.push_back(std::to_string(blocks) + " memory blocks");
    report->clear();
    for (const std::string& l : left) *report += (report->empty() ? "" : "; ") + l;
    return left.empty();
}

}  // namespace zelsim
