// Import and export of registry text files (the usual ".reg" format).
//
//   Windows Registry Editor Version 5.00        optional first line (or REGEDIT4)
//   ; comment
//   [HKEY_LOCAL_MACHINE\Drivers\ZELSer]          starts a section, creating the key
//   [-HKEY_LOCAL_MACHINE\Drivers\Old]            deletes a key and everything below it
//   "Name"="text with \\ and \""                 type 1
//   @="default value"                             the key's unnamed value
//   "Number"=dword:0000000a                       type 4
//   "Bytes"=hex:01,02,03,\                        type 3, continued on the next line
//     04,05
//   "List"=hex(7):41,00,00,00,00,00               any type N as hex(N): raw little-endian bytes
//   "Gone"=-                                      deletes a value
//
// Files are UTF-8 (a UTF-8 or UTF-16LE byte-order mark is also understood).

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/registry/registry.h"
#include "sim/registry/store.h"

namespace sim::reg {
namespace {

constexpr std::u16string_view kRootName = u"HKEY_LOCAL_MACHINE";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Parses 1..maxDigits hex digits making up all of s.
bool ParseHex(std::u16string_view s, size_t maxDigits, uint32_t* out) {
    if (s.empty() || s.size() > maxDigits) return false;
    uint32_t v = 0;
    for (char16_t c : s) {
        int d = HexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && detail::NamesEqual(s.substr(0, prefix.size()), prefix);
}

class Parser {
  public:
    Parser(std::string_view source, std::vector<std::u16string> lines)
        : source_(source), lines_(std::move(lines)) {}

    ParseResult Run() {
        for (index_ = 0; index_ < lines_.size(); ++index_) {
            std::u16string_view t = Trim(lines_[index_]);
            if (t.empty() || t.front() == u';') continue;
            if (index_ == 0 && (ToUtf8(t) == kHeader5 || ToUtf8(t) == kHeader4)) continue;
            bool ok;
            if (t.front() == u'[') {
                ok = Section(t);
            } else if (t.front() == u'"' || t.front() == u'@') {
                ok = ValueLine(t);
            } else {
                ok = Fail("expected a '[key]' line or a value line");
            }
            if (!ok) return ParseResult{false, {}, error_};
        }
        return ParseResult{true, std::move(ops_), {}};
    }

    bool Fail(const std::string& what) {
        error_ = std::string(source_) + ":" + std::to_string(index_ + 1) + ": " + what;
        return false;
    }

  private:
    uint32_t Line() const { return static_cast<uint32_t>(index_ + 1); }

    bool Section(std::u16string_view t) {
        if (t.size() < 2 || t.back() != u']')
            return Fail("expected ']' at the end of the key line");
        std::u16string_view inner = t.substr(1, t.size() - 2);
        const bool remove = !inner.empty() && inner.front() == u'-';
        if (remove) inner.remove_prefix(1);
        std::u16string path;
        if (!KeyPath(inner, &path)) return false;
        if (remove && path.empty()) return Fail("the root key cannot be deleted");
        ops_.push_back(Op{remove ? OpKind::DeleteKey : OpKind::CreateKey, path, {}, 0, {}, Line()});
        inSection_ = true;
        sectionDeleted_ = remove;
        sectionPath_ = std::move(path);
        return true;
    }

    // "HKEY_LOCAL_MACHINE\a\b" -> "a\b".
    bool KeyPath(std::u16string_view full, std::u16string* path) {
        size_t slash = full.find(u'\\');
        std::u16string_view root = full.substr(0, slash);
        if (!detail::NamesEqual(root, kRootName)) {
            return Fail("unknown root key '" + ToUtf8(root) + "' (expected HKEY_LOCAL_MACHINE)");
        }
        path->clear();
        if (slash == std::u16string_view::npos) return true;
        std::u16string_view rest = full.substr(slash + 1);
        size_t depth = 0;
        while (true) {
            size_t next = rest.find(u'\\');
            std::u16string_view part = rest.substr(0, next);
            if (part.empty()) return Fail("empty key name in the key path");
            if (part.size() > kMaxKeyNameLength) {
                return Fail("key name longer than " + std::to_string(kMaxKeyNameLength) +
                            " characters");
            }
            if (++depth > kMaxKeyDepth) {
                return Fail("key path deeper than " + std::to_string(kMaxKeyDepth) + " keys");
            }
            if (!path->empty()) *path += u'\\';
            *path += part;
            if (next == std::u16string_view::npos) return true;
            rest = rest.substr(next + 1);
        }
    }

    // A quoted string at the start of s with the escapes \\ and \"; *used gets its length.
    bool Quoted(std::u16string_view s, const char* what, std::u16string* out, size_t* used) {
        out->clear();
        for (size_t i = 1; i < s.size(); ++i) {
            char16_t c = s[i];
            if (c == u'"') {
                *used = i + 1;
                return true;
            }
            if (c == u'\\') {
                if (i + 1 >= s.size()) break;
                char16_t e = s[++i];
                if (e != u'\\' && e != u'"') {
                    return Fail(std::string("unknown escape '\\") + ToUtf8(std::u16string(1, e)) +
                                "' in " + what);
                }
                c = e;
            }
            out->push_back(c);
        }
        return Fail(std::string("unterminated ") + what);
    }

    bool ValueLine(std::u16string_view t) {
        if (!inSection_) return Fail("value line before any '[key]' line");
        if (sectionDeleted_) return Fail("value line in the section of a deleted key");
        std::u16string name;
        size_t pos;
        if (t.front() == u'@') {
            pos = 1;
        } else {
            if (!Quoted(t, "value name", &name, &pos)) return false;
            if (name.size() > kMaxValueNameLength) {
                return Fail("value name longer than " + std::to_string(kMaxValueNameLength) +
                            " characters");
            }
        }
        std::u16string_view rest = Trim(t.substr(pos));
        if (rest.empty() || rest.front() != u'=') return Fail("expected '=' after value name");
        rest = Trim(rest.substr(1));

        Op op{OpKind::SetValue, sectionPath_, std::move(name), 0, {}, Line()};
        if (rest == u"-") {
            op.kind = OpKind::DeleteValue;
        } else if (!rest.empty() && rest.front() == u'"') {
            std::u16string text;
            size_t used;
            if (!Quoted(rest, "string", &text, &used)) return false;
            if (!Trim(rest.substr(used)).empty()) return Fail("unexpected text after the string");
            op.type = plat::kRegString;
            op.data = StringBytes(text);
        } else if (StartsWithNoCase(rest, u"dword:")) {
            uint32_t v;
            if (!ParseHex(Trim(rest.substr(6)), 8, &v)) {
                return Fail("expected 1 to 8 hex digits after 'dword:'");
            }
            op.type = plat::kRegDword;
            op.data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                       static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        } else if (StartsWithNoCase(rest, u"hex")) {
            rest.remove_prefix(3);
            op.type = plat::kRegBinary;
            if (!rest.empty() && rest.front() == u'(') {
                size_t close = rest.find(u')');
                if (close == std::u16string_view::npos ||
                    !ParseHex(rest.substr(1, close - 1), 8, &op.type)) {
                    return Fail("expected 1 to 8 hex digits and ')' in 'hex(type)'");
                }
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != u':') return Fail("expected ':' after 'hex'");
            if (!HexBytes(rest.substr(1), &op.data)) return false;
        } else {
            return Fail("expected a string, 'dword:', 'hex:' or '-' after '='");
        }
        ops_.push_back(std::move(op));
        return true;
    }

    // Comma-separated bytes; a line ending in '\' continues on the next line.
    bool HexBytes(std::u16string_view s, std::vector<uint8_t>* out) {
        while (true) {
            s = Trim(s);
            const bool more = !s.empty() && s.back() == u'\\';
            if (more) s.remove_suffix(1);
            size_t start = 0;
            while (start <= s.size()) {
                size_t comma = s.find(u',', start);
                const bool last = comma == std::u16string_view::npos;
                std::u16string_view piece = Trim(s.substr(start, last ? s.npos : comma - start));
                if (piece.empty()) {
                    // Only the end of a segment may be empty: "hex:", "01,02,\".
                    if (!last || (!more && start > 0)) return Fail("expected a hex byte");
                } else {
                    uint32_t b;
                    if (!ParseHex(piece, 2, &b)) {
                        return Fail("expected a hex byte, found '" + ToUtf8(piece) + "'");
                    }
                    out->push_back(static_cast<uint8_t>(b));
                }
                if (last) break;
                start = comma + 1;
            }
            if (!more) return true;
            if (index_ + 1 >= lines_.size()) return Fail("continuation '\\' at the end of file");
            s = lines_[++index_];
        }
    }

    std::string_view source_;
    std::vector<std::u16string> lines_;
    size_t index_ = 0;
    std::vector<Op> ops_;
    std::string error_;
    bool inSection_ = false;
    bool sectionDeleted_ = false;
    std::u16string sectionPath_;
};

// Splits the file into decoded lines; false with the line number of the first bad one.
bool DecodeLines(std::span<const uint8_t> bytes, std::vector<std::u16string>* lines,
                 size_t* badLine) {
    std::u16string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
        }
        if (bytes.size() % 2 != 0) {
            *badLine = static_cast<size_t>(std::count(text.begin(), text.end(), u'\n')) + 1;
            return false;
        }
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = std::min(text.find(u'\n', start), text.size());
            std::u16string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == u'\r') line.pop_back();
            lines->push_back(std::move(line));
            start = end + 1;
        }
        return true;
    }
    std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (all.starts_with("\xEF\xBB\xBF")) all.remove_prefix(3);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = std::min(all.find('\n', start), all.size());
        std::string_view line = all.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::u16string decoded;
        if (!DecodeUtf8(line, &decoded)) {
            *badLine = lines->size() + 1;
            return false;
        }
        lines->push_back(std::move(decoded));
        start = end + 1;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Export.

bool IsWellFormed(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c == u'\0' || c == u'\r' || c == u'\n') return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::string Escaped(std::u16string_view s) {
    std::string out = "\"";
    for (char c : ToUtf8(s)) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// The text of a type 1 value when it can be written as "...": terminated UTF-16 without
// embedded NULs or line breaks.
std::optional<std::u16string> AsPlainString(const Value& v) {
    if (v.type != plat::kRegString || v.data.size() < 2 || v.data.size() % 2 != 0) {
        return std::nullopt;
    }
    std::u16string chars(v.data.size() / 2, u'\0');
    for (size_t i = 0; i < chars.size(); ++i) {
        chars[i] = static_cast<char16_t>(v.data[2 * i] | (v.data[2 * i + 1] << 8));
    }
    if (chars.back() != u'\0') return std::nullopt;
    chars.pop_back();
    if (!IsWellFormed(chars)) return std::nullopt;
    return chars;
}

void WriteValue(const Value& v, std::string* out) {
    std::string line = v.name.empty() ? "@=" : Escaped(v.name) + "=";
    if (std::optional<std::u16string> text = AsPlainString(v)) {
        *out += line + Escaped(*text) + "\n";
        return;
    }
    char buf[32];
    if (v.type == plat::kRegDword && v.data.size() == 4) {
        uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                     (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x\n", n);
        *out += line + buf;
        return;
    }
    if (v.type == plat::kRegBinary) {
        line += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        line += buf;
    }
    // Lines stay within 80 columns, continued with '\' and a two-space indent.
    constexpr size_t kWidth = 79;
    for (size_t i = 0; i < v.data.size(); ++i) {
        std::snprintf(buf, sizeof buf, i + 1 < v.data.size() ? "%02x," : "%02x", v.data[i]);
        if (line.size() + std::strlen(buf) + 1 > kWidth && line != "  ") {
            *out += line + "\\\n";
            line = "  ";
        }
        line += buf;
    }
    *out += line + "\n";
}

}  // namespace

ParseResult ParseRegText(std::span<const uint8_t> bytes, std::string_view sourceName) {
    std::vector<std::u16string> lines;
    size_t badLine = 0;
    if (!DecodeLines(bytes, &lines, &badLine)) {
        return ParseResult{false,
                           {},
                           std::string(sourceName) + ":" + std::to_string(badLine) +
                               ": text is not valid UTF-8 (or UTF-16)"};
    }
    return Parser(sourceName, std::move(lines)).Run();
}

ParseResult ParseRegText(std::string_view text, std::string_view sourceName) {
    return ParseRegText(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
        sourceName);
}

void ApplyOps(const std::vector<Op>& ops) {
    using namespace detail;
    std::lock_guard lock(RegistryMutex());
    for (const Op& op : ops) {
        bool created = false;
        switch (op.kind) {
            case OpKind::CreateKey:
                CreateLocked(Root(), op.path, &created);
                break;
            case OpKind::DeleteKey:
                if (std::shared_ptr<Node> node = FindLocked(Root(), op.path);
                    node && node != Root()) {
                    DeleteTreeLocked(node);
                }
                break;
            case OpKind::SetValue:
                if (op.name.size() > kMaxValueNameLength) break;
                if (std::shared_ptr<Node> node = CreateLocked(Root(), op.path, &created)) {
                    SetValueLocked(*node, op.name, op.type, op.data.data(), op.data.size());
                }
                break;
            case OpKind::DeleteValue:
                if (std::shared_ptr<Node> node = FindLocked(Root(), op.path)) {
                    DeleteValueLocked(*node, op.name);
                }
                break;
        }
    }
}

Status ImportRegText(std::string_view text, std::string_view sourceName) {
    ParseResult parsed = ParseRegText(text, sourceName);
    if (!parsed.ok) return Status{false, parsed.error};
    ApplyOps(parsed.ops);
    return Status{true, {}};
}

Status ImportRegFile(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return Status{false, fileName + ": cannot read: " + std::strerror(errno)};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return Status{false, fileName + ": read error"};
    return ImportRegText(text, fileName);
}

ExportResult ExportRegText(std::u16string_view path) {
    using namespace detail;
    std::lock_guard lock(RegistryMutex());
    std::shared_ptr<Node> top = FindLocked(Root(), path);
    if (!top) return ExportResult{false, {}, "no key HKLM\\" + ToUtf8(path)};
    std::string out = std::string(kHeader5) + "\n\n";
    // Pre-order walk, children in their folded-name order.
    std::vector<std::shared_ptr<Node>> pending{top};
    while (!pending.empty()) {
        std::shared_ptr<Node> node = std::move(pending.back());
        pending.pop_back();
        std::u16string keyPath = PathOfLocked(*node);
        if (!IsWellFormed(keyPath)) {
            return ExportResult{
                false,
                {},
                "key HKLM\\" + ToUtf8(keyPath) + " has a name that a text file cannot hold"};
        }
        out += "[" + ToUtf8(kRootName) + (keyPath.empty() ? "" : "\\") + ToUtf8(keyPath) + "]\n";
        for (const Value& v : node->values) {
            if (!IsWellFormed(v.name)) {
                return ExportResult{false,
                                    {},
                                    "value " + ToUtf8(v.name) + " of key HKLM\\" + ToUtf8(keyPath) +
                                        " has a name that a text file "
                                        "cannot hold"};
            }
            WriteValue(v, &out);
        }
        out += "\n";
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
            pending.push_back(it->second);
        }
    }
    return ExportResult{true, std::move(out), {}};
}

Status ExportRegFile(std::u16string_view path, const std::string& fileName) {
    ExportResult exported = ExportRegText(path);
    if (!exported.ok) return Status{false, exported.error};
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    if (!out) return Status{false, fileName + ": cannot write: " + std::strerror(errno)};
    out << exported.text;
    out.close();
    if (!out) return Status{false, fileName + ": write error"};
    return Status{true, {}};
}

}  // namespace sim::reg
