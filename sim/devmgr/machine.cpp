// The machine builder and PCI enumerator (see machine.h).
#include "sim/devmgr/machine.h"

#include <algorithm>
#include <optional>

#include "platform/kernel.h"
#include "platform/records.h"
#include "sim/devmgr/devmgr.h"
#include "sim/hw/uart.h"
#include "sim/irq/sim_irq.h"
#include "sim/registry/registry.h"

namespace sim {
namespace {

constexpr char16_t kMachineKey[] = u"Machine";
constexpr char16_t kCardsKey[] = u"Machine\\Cards";
constexpr char16_t kTemplateKey[] = u"Drivers\\BuiltIn\\PCI\\Template\\";
constexpr char16_t kInstanceKey[] = u"Drivers\\BuiltIn\\PCI\\Instance\\";
constexpr uint64_t kWindowBase = 0xE0000000u;
constexpr uint64_t kWindowSpacing = 0x10000u;
constexpr uint32_t kFirstIrq = 10;

// Card values that describe the machine rather than the device key.
constexpr std::u16string_view kMachineOnlyValues[] = {u"Template", u"Slot", u"ClockRate",
                                                      u"Eeprom"};

bool AsciiIEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

std::u16string U(std::string_view text) {
    return reg::FromUtf8(text);
}
std::string Utf8(std::u16string_view text) {
    return reg::ToUtf8(text);
}

std::u16string Join(std::u16string_view a, std::u16string_view b) {
    std::u16string path(a);
    if (!path.empty() && path.back() != u'\\') path += u'\\';
    path += b;
    return path;
}

// "Port<n>" -> n, or 0 for any other name.
uint32_t PortNumberOf(std::u16string_view name) {
    if (name.size() < 5 || !AsciiIEqual(name.substr(0, 4), u"Port")) return 0;
    uint32_t n = 0;
    for (char16_t c : name.substr(4)) {
        if (c < u'0' || c > u'9' || n > 1000) return 0;
        n = n * 10 + (c - u'0');
    }
    return n;
}

void CopyTree(std::u16string_view from, std::u16string_view to) {
    reg::CreateKey(to);
    for (const reg::Value& v : reg::Values(from)) reg::SetValue(to, v.name, v.type, v.data);
    for (const std::u16string& sub : reg::SubKeys(from)) CopyTree(Join(from, sub), Join(to, sub));
}

std::optional<WireKind> WireKindOf(std::u16string_view text) {
    if (text.empty() || AsciiIEqual(text, u"none")) return WireKind::None;
    if (AsciiIEqual(text, u"loopback")) return WireKind::Loopback;
    if (AsciiIEqual(text, u"null-modem")) return WireKind::NullModem;
    if (AsciiIEqual(text, u"external")) return WireKind::External;
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::unique_ptr<Machine> Machine::Boot(std::string_view regText, std::string_view sourceName,
                                       std::string* error) {
    reg::Status imported = reg::ImportRegText(regText, sourceName);
    if (!imported.ok) {
        if (error != nullptr) *error = imported.error;
        return nullptr;
    }
    return FromRegistry(error);
}

std::unique_ptr<Machine> Machine::BootFile(const std::string& fileName, std::string* error) {
    reg::Status imported = reg::ImportRegFile(fileName);
    if (!imported.ok) {
        if (error != nullptr) *error = imported.error;
        return nullptr;
    }
    return FromRegistry(error);
}

std::unique_ptr<Machine> Machine::FromRegistry(std::string* error) {
    std::unique_ptr<Machine> machine(new Machine);
    std::string why;
    if (!machine->Build(&why)) {
        if (error != nullptr) *error = why;
        return nullptr;  // the destructor takes down what was built
    }
    return machine;
}

Machine::~Machine() {
    Shutdown();
}

bool Machine::Build(std::string* error) {
    struct Description {
        MachineCard card;
        CardConfig config;
        std::optional<uint32_t> sysIntr;
    };
    std::vector<Description> found;
    for (const std::u16string& name : reg::SubKeys(kCardsKey)) {
        std::u16string key = Join(kCardsKey, name);
        Description d;
        d.card.name = Utf8(name);
        d.card.slot = reg::GetDword(key, u"Slot").value_or(0);
        d.card.templateName = reg::GetString(key, u"Template").value_or(u"");
        d.card.instanceKey = kInstanceKey + name;
        d.config.name = d.card.name;
        d.config.vendorId = static_cast<uint16_t>(reg::GetDword(key, u"VendorID").value_or(0));
        d.config.subsystemVendorId =
            static_cast<uint16_t>(reg::GetDword(key, u"SubVendorID").value_or(0));
        if (auto v = reg::GetDword(key, u"DeviceID")) d.config.deviceId = uint16_t(*v);
        if (auto v = reg::GetDword(key, u"SubSystemID")) d.config.subsystemId = uint16_t(*v);
        if (auto v = reg::GetDword(key, u"ClockRate")) d.config.clockRate = *v;
        if (auto v = reg::GetValue(key, u"Eeprom")) {
            if (v->type != plat::kRegBinary || v->data.size() % 2 != 0 ||
                v->data.size() > 2 * kCardEepromWords) {
                *error = d.card.name + ": \"Eeprom\" must be binary, at most 64 whole words";
                return false;
            }
            EepromImage words{};
            for (size_t i = 0; i < v->data.size() / 2; ++i) {
                words[i] = static_cast<uint16_t>(v->data[2 * i] | v->data[2 * i + 1] << 8);
            }
            d.config.eeprom = words;
        }
        if (auto v = reg::GetDword(key, u"Irq")) d.config.irq = *v;
        d.sysIntr = reg::GetDword(key, u"SysIntr");
        found.push_back(std::move(d));
    }
    std::stable_sort(found.begin(), found.end(), [](const Description& a, const Description& b) {
        return a.card.slot < b.card.slot;
    });
    for (size_t i = 1; i < found.size(); ++i) {
        if (found[i].card.slot == found[i - 1].card.slot) {
            *error = found[i].card.name + ": slot " + std::to_string(found[i].card.slot) +
                     " is taken by " + found[i - 1].card.name;
            return false;
        }
    }

    for (size_t k = 0; k < found.size(); ++k) {
        Description& d = found[k];
        MachineCard& card = d.card;
        d.config.busAddress = kWindowBase + k * kWindowSpacing;
        if (d.config.irq == 0) d.config.irq = kFirstIrq + static_cast<uint32_t>(k);
        card.busAddress = d.config.busAddress;
        card.irq = d.config.irq;
        card.card = Card::Create(d.config);
        if (card.card == nullptr) {
            *error = card.name + ": the card model cannot be built";
            return false;
        }
        card.card->Attach();
        if (d.sysIntr && (*d.sysIntr == 0 || *d.sysIntr == 0xFFFFFFFFu)) {
            card.sysIntr = *d.sysIntr;  // written as it is, mapped to nothing
        } else if (d.sysIntr) {
            if (!IrqMapSysIntr(*d.sysIntr, card.irq)) {
                cards_.push_back(std::move(card));
                *error = cards_.back().name + ": \"SysIntr\" " + std::to_string(*d.sysIntr) +
                         " is mapped to another line";
                return false;
            }
            card.sysIntr = *d.sysIntr;
        } else {
            card.sysIntr = IrqAllocateSysIntr(card.irq);
        }
        cards_.push_back(std::move(card));
    }

    // The pace of every line: character times scaled by the percentage.
    uint32_t percent = reg::GetDword(kMachineKey, u"LineTimePercent").value_or(100);
    if (percent == 0) {
        *error = "Machine: \"LineTimePercent\" must not be 0";
        return false;
    }
    for (MachineCard& card : cards_) {
        for (uint32_t n = 1; n <= card.card->PortCount(); ++n) {
            card.card->UartOf(n).SetCharTimeScale(percent / 100.0);
        }
    }

    // Ports and their wires.
    for (MachineCard& card : cards_) {
        std::u16string key = Join(kCardsKey, U(card.name));
        for (const std::u16string& sub : reg::SubKeys(key)) {
            uint32_t n = PortNumberOf(sub);
            if (n > card.card->PortCount()) {
                *error = card.name + ": the card has no " + Utf8(sub);
                return false;
            }
        }
        for (uint32_t n = 1; n <= card.card->PortCount(); ++n) {
            std::u16string portKey = Join(key, u"Port" + U(std::to_string(n)));
            MachinePort port;
            port.number = n;
            auto kind = WireKindOf(reg::GetString(portKey, u"Wire").value_or(u""));
            if (!kind) {
                *error = card.name + ": Port" + std::to_string(n) + " has an unknown \"Wire\"";
                return false;
            }
            port.wire = *kind;
            port.expose = reg::GetDword(portKey, u"Expose").value_or(0) != 0;
            if (port.wire == WireKind::NullModem) {
                std::string peer = Utf8(reg::GetString(portKey, u"Peer").value_or(u""));
                size_t slash = peer.find('\\');
                uint32_t peerPort =
                    slash == std::string::npos ? 0 : PortNumberOf(U(peer.substr(slash + 1)));
                if (peerPort == 0) {
                    *error = card.name + ": Port" + std::to_string(n) +
                             " needs a \"Peer\" like \"Card2\\\\Port1\"";
                    return false;
                }
                port.peerCard = peer.substr(0, slash);
                port.peerPort = peerPort;
            }
            card.ports.push_back(port);
        }
    }
    auto portOf = [&](const std::string& cardName, uint32_t n) -> MachinePort* {
        for (MachineCard& c : cards_) {
            if (AsciiIEqual(U(c.name), U(cardName)) && n >= 1 && n <= c.ports.size())
                return &c.ports[n - 1];
        }
        return nullptr;
    };
    for (MachineCard& card : cards_) {
        for (MachinePort& port : card.ports) {
            Uart& uart = card.card->UartOf(port.number);
            Connection connection;
            connection.card = card.name;
            connection.port = port.number;
            std::string where = card.name + ": Port" + std::to_string(port.number);
            switch (port.wire) {
                case WireKind::None:
                    continue;
                case WireKind::Loopback:
                    connection.wire = ConnectLoopbackPlug(uart);
                    break;
                case WireKind::External: {
                    connection.recorder = std::make_shared<RecordingEndpoint>();
                    auto external = ConnectEndpoint(uart, connection.recorder);
                    connection.external = external.get();
                    connection.wire = std::move(external);
                    break;
                }
                case WireKind::NullModem: {
                    MachinePort* peer = portOf(port.peerCard, port.peerPort);
                    if (peer == nullptr || peer == &port) {
                        *error = where + ": no peer " + port.peerCard + "\\Port" +
                                 std::to_string(port.peerPort);
                        return false;
                    }
                    if (peer->wire == WireKind::None) {
                        // Declared on this end only.
                        peer->wire = WireKind::NullModem;
                        peer->peerCard = card.name;
                        peer->peerPort = port.number;
                    } else if (peer->wire != WireKind::NullModem ||
                               !AsciiIEqual(U(peer->peerCard), U(card.name)) ||
                               peer->peerPort != port.number) {
                        *error = where + ": its peer is wired elsewhere";
                        return false;
                    }
                    if (ConnectionOf(port.peerCard, port.peerPort) != nullptr) continue;
                    const MachineCard* peerCard = FindCard(port.peerCard);
                    connection.wire = ConnectNullModem(uart, peerCard->card->UartOf(port.peerPort));
                    break;
                }
            }
            if (connection.wire == nullptr) {
                *error = where + ": the wire cannot be connected";
                return false;
            }
            connections_.push_back(std::move(connection));
        }
    }
    return true;
}

const Machine::Connection* Machine::ConnectionOf(std::string_view card, uint32_t port) const {
    for (const Connection& c : connections_) {
        if (AsciiIEqual(U(c.card), U(card)) && c.port == port) return &c;
    }
    // The far end of a null-modem cable is filed under the end that declared it.
    const MachineCard* mc = FindCard(card);
    if (mc == nullptr || port < 1 || port > mc->ports.size()) return nullptr;
    const MachinePort& p = mc->ports[port - 1];
    if (p.wire != WireKind::NullModem) return nullptr;
    for (const Connection& c : connections_) {
        if (AsciiIEqual(U(c.card), U(p.peerCard)) && c.port == p.peerPort) return &c;
    }
    return nullptr;
}

void Machine::WriteInstanceKey(const MachineCard& card) const {
    const std::u16string& key = card.instanceKey;
    reg::DeleteKeyTree(key);
    CopyTree(kTemplateKey + card.templateName, key);
    reg::SetDword(key, u"MemBase", static_cast<uint32_t>(card.busAddress));
    reg::SetDword(key, u"MemLen", card.card->WindowLength());
    reg::SetDword(key, u"InterfaceType", plat::kInterfaceTypePci);
    reg::SetDword(key, u"BusNumber", 0);
    reg::SetDword(key, u"DeviceNumber", card.slot);
    reg::SetDword(key, u"FunctionNumber", 0);
    reg::SetDword(key, u"Irq", card.irq);
    reg::SetDword(key, u"SysIntr", card.sysIntr);
    reg::SetString(key, u"IsrDll", u"zelisr.dll");
    reg::SetString(key, u"IsrHandler", u"IsrHandler");

    std::u16string cardKey = Join(kCardsKey, U(card.name));
    for (const reg::Value& v : reg::Values(cardKey)) {
        bool machineOnly =
            std::any_of(std::begin(kMachineOnlyValues), std::end(kMachineOnlyValues),
                        [&](std::u16string_view name) { return AsciiIEqual(name, v.name); });
        // The hardware's own line and system interrupt were written above.
        if (!machineOnly && !AsciiIEqual(v.name, u"Irq") && !AsciiIEqual(v.name, u"SysIntr"))
            reg::SetValue(key, v.name, v.type, v.data);
    }
    for (const std::u16string& sub : reg::SubKeys(cardKey)) {
        if (PortNumberOf(sub) == 0) CopyTree(Join(cardKey, sub), Join(key, sub));
    }
}

bool Machine::StartCard(MachineCard& card) {
    auto problem = [&](const std::string& what) { problems_.push_back(card.name + ": " + what); };
    if (card.templateName.empty()) {
        problem("no \"Template\" value");
        return false;
    }
    if (!reg::KeyExists(kTemplateKey + card.templateName)) {
        problem("no template " + Utf8(card.templateName));
        return false;
    }
    WriteInstanceKey(card);
    size_t before = ActivationFailures().size();
    card.device = plat::ActivateDevice(card.instanceKey.c_str(), nullptr, 0, nullptr);
    std::string own = LastActivationError();
    auto failures = ActivationFailures();
    bool ok = card.device != 0;
    if (!ok) problem(own);
    // The port devices the adapter asked for.
    for (size_t i = before; i < failures.size(); ++i) {
        if (card.device != 0 || failures[i] != own) {
            problem("port device " + failures[i]);
            ok = false;
        }
    }
    // Every port must have come up as a named device.
    for (uint32_t n = 1; card.device != 0 && n <= card.card->PortCount(); ++n) {
        if (PortDeviceName(card.name, n).empty()) {
            problem("port " + std::to_string(n) + " did not come up as a named device");
            ok = false;
        }
    }
    return ok;
}

bool Machine::Start() {
    started_ = true;
    bool all = true;
    for (MachineCard& card : cards_) {
        if (card.device == 0) all = StartCard(card) && all;
    }
    return all;
}

bool Machine::StopCard(std::string_view name) {
    auto* card = const_cast<MachineCard*>(FindCard(name));
    if (card == nullptr || card->device == 0 || shutDown_) return false;
    const plat::Handle device = card->device;
    card->device = 0;
    return plat::DeactivateDevice(device) != 0;
}

bool Machine::RestartCard(std::string_view name) {
    auto* card = const_cast<MachineCard*>(FindCard(name));
    if (card == nullptr || card->device != 0 || shutDown_) return false;
    started_ = true;
    return StartCard(*card);
}

void Machine::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (started_) DeactivateAll();
    connections_.clear();
    for (MachineCard& card : cards_) {
        card.device = 0;
        card.card->Detach();
        if (card.sysIntr != 0 && card.sysIntr != 0xFFFFFFFFu) IrqUnmapSysIntr(card.sysIntr);
    }
}

const MachineCard* Machine::FindCard(std::string_view name) const {
    for (const MachineCard& card : cards_) {
        if (AsciiIEqual(U(card.name), U(name))) return &card;
    }
    return nullptr;
}

Uart* Machine::UartOf(std::string_view card, uint32_t port) const {
    const MachineCard* c = FindCard(card);
    if (c == nullptr || port < 1 || port > c->card->PortCount()) return nullptr;
    return &c->card->UartOf(port);
}

ExternalWire* Machine::ExternalOf(std::string_view card, uint32_t port) const {
    const Connection* c = ConnectionOf(card, port);
    return c != nullptr ? c->external : nullptr;
}

RecordingEndpoint* Machine::RecorderOf(std::string_view card, uint32_t port) const {
    const Connection* c = ConnectionOf(card, port);
    return c != nullptr ? c->recorder.get() : nullptr;
}

ExternalWire* Machine::Connect(std::string_view card, uint32_t port,
                               std::shared_ptr<LineEndpoint> endpoint) {
    Uart* uart = UartOf(card, port);
    if (uart == nullptr || shutDown_) return nullptr;
    const MachineCard* c = FindCard(card);
    if (c->ports[port - 1].wire != WireKind::None || ConnectionOf(card, port) != nullptr)
        return nullptr;
    auto wire = ConnectEndpoint(*uart, std::move(endpoint));
    if (wire == nullptr) return nullptr;
    Connection connection;
    connection.card = c->name;
    connection.port = port;
    connection.external = wire.get();
    connection.wire = std::move(wire);
    connections_.push_back(std::move(connection));
    return connections_.back().external;
}

std::u16string Machine::PortDeviceName(std::string_view card, uint32_t port) const {
    const MachineCard* c = FindCard(card);
    if (c == nullptr || c->device == 0) return u"";
    for (const DeviceInfo& info : ListDevices()) {
        if (info.parent == c->device &&
            reg::GetDword(info.keyPath, u"DeviceArrayIndex").value_or(0) == port)
            return info.name;
    }
    return u"";
}

}  // namespace sim
