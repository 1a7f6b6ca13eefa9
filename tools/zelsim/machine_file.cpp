#include "tools/zelsim/machine_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zelsim {
namespace {

namespace reg = sim::reg;

constexpr std::u16string_view kCards = u"Machine\\Cards\\";
constexpr std::u16string_view kActive = u"Drivers\\Active";

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

bool StartsWith(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

// "Machine\Cards\<card>\Port<n>" -> card and n; n 0 for other keys.
bool SplitPortKey(std::u16string_view path, std::u16string* card, uint32_t* port) {
    if (!StartsWith(path, kCards)) return false;
    std::u16string_view rest = path.substr(kCards.size());
    size_t slash = rest.find(u'\\');
    if (slash == std::u16string_view::npos) return false;
    std::u16string_view sub = rest.substr(slash + 1);
    if (sub.size() < 5 || !SameName(sub.substr(0, 4), u"Port")) return false;
    uint32_t n = 0;
    for (char16_t c : sub.substr(4)) {
        if (c < u'0' || c > u'9' || n > 1000) return false;
        n = n * 10 + (c - u'0');
    }
    *card = rest.substr(0, slash);
    *port = n;
    return n > 0;
}

std::string Where(std::string_view source, uint32_t line) {
    return std::string(source) + ":" + std::to_string(line) + ": ";
}

std::optional<std::u16string> StringOf(const reg::Op& op) {
    if (op.type != plat::kRegString) return std::nullopt;
    std::u16string text;
    for (size_t i = 0; i + 1 < op.data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(op.data[i] | op.data[i + 1] << 8);
        if (c == 0) break;
        text += c;
    }
    return text;
}

// Parses an "Endpoint" value.
bool ParseEndpoint(std::string_view text, EndpointKind* kind, uint16_t* port) {
    if (text == "pty") {
        *kind = EndpointKind::Pty;
        return true;
    }
    if (text.substr(0, 4) != "tcp:" || text.size() == 4 || text.size() > 9) return false;
    uint32_t n = 0;
    for (char c : text.substr(4)) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint32_t>(c - '0');
    }
    if (n > 65535) return false;
    *kind = EndpointKind::Tcp;
    *port = static_cast<uint16_t>(n);
    return true;
}

// Checks the values only zelsim reads, where they are written.
bool CheckExtras(const std::vector<reg::Op>& ops, std::string_view source, std::string* error) {
    for (const reg::Op& op : ops) {
        std::u16string card;
        uint32_t port = 0;
        if (op.kind != reg::OpKind::SetValue || !SplitPortKey(op.path, &card, &port)) continue;
        const std::string where =
            Where(source, op.line) + reg::ToUtf8(card) + "\\Port" + std::to_string(port) + ": ";
        if (SameName(op.name, u"Frame")) {
            auto text = StringOf(op);
            if (!text || !ParseFrame(reg::ToUtf8(*text))) {
                *error = where + "\"Frame\" must be a string like \"8N1\" or \"7E2\"";
                return false;
            }
        } else if (SameName(op.name, u"Endpoint")) {
            auto text = StringOf(op);
            EndpointKind kind;
            uint16_t tcp = 0;
            if (!text || !ParseEndpoint(reg::ToUtf8(*text), &kind, &tcp)) {
                *error = where + "\"Endpoint\" must be \"pty\" or \"tcp:<port>\"";
                return false;
            }
        }
    }
    return true;
}

// The line of the last operation on a key (value name empty) or on one of its values.
uint32_t LineOf(const std::vector<reg::Op>& ops, std::u16string_view key,
                std::u16string_view value) {
    for (auto it = ops.rbegin(); it != ops.rend(); ++it) {
        if (!SameName(it->path, key)) continue;
        if (value.empty() ? it->kind == reg::OpKind::CreateKey
                          : it->kind == reg::OpKind::SetValue && SameName(it->name, value))
            return it->line;
    }
    return 0;
}

}  // namespace

std::string LocateError(const std::vector<reg::Op>& ops, std::string_view source,
                        const std::string& message) {
    size_t colon = message.find(':');
    if (colon == std::string::npos) return std::string(source) + ": " + message;
    std::u16string cardKey = std::u16string(kCards) + reg::FromUtf8(message.substr(0, colon));
    std::string rest = message.substr(colon + 1);

    std::u16string key = cardKey;
    // "Port<n>" names a port key.
    for (size_t at = rest.find("Port"); at != std::string::npos; at = rest.find("Port", at + 1)) {
        size_t end = at + 4;
        while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9') ++end;
        if (end > at + 4 && (at == 0 || rest[at - 1] == ' ')) {
            key = cardKey + u"\\" + reg::FromUtf8(rest.substr(at, end - at));
            break;
        }
    }
    // A quoted name is a value of that key.
    std::u16string value;
    size_t open = rest.find('"');
    size_t close = open == std::string::npos ? open : rest.find('"', open + 1);
    if (close != std::string::npos) value = reg::FromUtf8(rest.substr(open + 1, close - open - 1));

    uint32_t line = value.empty() ? 0 : LineOf(ops, key, value);
    if (line == 0) line = LineOf(ops, key, u"");
    if (line == 0) line = LineOf(ops, cardKey, u"");
    if (line == 0) return std::string(source) + ": " + message;
    return Where(source, line) + message;
}

std::string_view DefaultMachineSource() {
    return "(built-in default)";
}

std::optional<LoadedMachine> LoadMachine(const std::string& fileName, std::string* error) {
    if (fileName.empty())
        return LoadMachineText(DefaultMachineText(), DefaultMachineSource(), error);
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        *error = fileName + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return LoadMachineText(text.str(), fileName, error);
}

std::optional<LoadedMachine> LoadMachineText(std::string_view text, std::string_view source,
                                             std::string* error) {
    reg::ParseResult parsed = reg::ParseRegText(text, source);
    if (!parsed.ok) {
        *error = parsed.error;
        return std::nullopt;
    }
    if (!CheckExtras(parsed.ops, source, error)) return std::nullopt;

    reg::ApplyOps(parsed.ops);
    // Run-time state of whatever machine wrote the file.
    if (reg::KeyExists(kActive)) reg::DeleteKeyTree(kActive);

    LoadedMachine loaded;
    loaded.source = std::string(source);
    std::string why;
    loaded.machine = sim::Machine::FromRegistry(&why);
    if (loaded.machine == nullptr) {
        *error = LocateError(parsed.ops, source, why);
        return std::nullopt;
    }
    for (const sim::MachineCard& card : loaded.machine->Cards()) {
        for (const sim::MachinePort& p : card.ports) {
            std::u16string key = std::u16string(kCards) + reg::FromUtf8(card.name) + u"\\Port" +
                                 reg::FromUtf8(std::to_string(p.number));
            PortExtras extras;
            extras.card = card.name;
            extras.port = p.number;
            extras.expose = p.expose;
            if (auto f = reg::GetString(key, u"Frame")) extras.frame = ParseFrame(reg::ToUtf8(*f));
            if (auto e = reg::GetString(key, u"Endpoint")) {
                ParseEndpoint(reg::ToUtf8(*e), &extras.endpoint, &extras.tcpPort);
                if (p.wire != sim::WireKind::None) {
                    *error = LocateError(parsed.ops, source,
                                         card.name + ": Port" + std::to_string(p.number) +
                                             " has both a \"Wire\" and an \"Endpoint\"");
                    return std::nullopt;
                }
            }
            loaded.ports.push_back(extras);
        }
    }
    return loaded;
}

}  // namespace zelsim
