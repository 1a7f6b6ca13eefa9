// The simulated registry's own interface, for the rest of the simulated machine and for tests.
// The driver never includes this; it reaches the registry through the Reg* services of
// src/platform/kernel.h.
//
// There is one root, the local machine. Paths here are relative to it, backslash-separated
// UTF-16 ("Drivers\\Active\\03"); the empty path is the root itself. Key and value names
// compare case-insensitively for ASCII letters and keep the case they were created with.
// Every function is thread-safe. None of them counts as a registry call for failure injection:
// that reaches only the platform services the driver calls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "sim/kernel/wstr_util.h"

namespace sim::reg {

// Result codes of the registry services beyond those in platform/types.h.
constexpr uint32_t kErrorInvalidData = 13;   // a device description value has a bad shape
constexpr uint32_t kErrorKeyDeleted = 1018;  // the key behind an open handle was deleted

// Limits that keep every name within the buffers readers size for them (a value name fits the
// 16 383-character buffer an enumeration uses) and every tree shallow enough to walk.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kMaxKeyDepth = 512;

struct Value {
    std::u16string name;  // empty: the key's default value
    uint32_t type = 0;
    std::vector<uint8_t> data;
    bool operator==(const Value&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Keys and values by path.
bool KeyExists(std::u16string_view path);
// Creates the key and any missing keys above it; true when it exists afterwards (false when a
// name or the depth is past the limits).
bool CreateKey(std::u16string_view path);
// Deletes a key with everything below it. Open handles to deleted keys stay valid handles but
// their operations fail with kErrorKeyDeleted. False when the key is missing or is the root.
bool DeleteKeyTree(std::u16string_view path);
// Names of the direct sub keys, sorted case-insensitively (the order export writes them in).
std::vector<std::u16string> SubKeys(std::u16string_view path);
// Values of a key in creation order (the order RegEnumValue reports). Empty for a missing key.
std::vector<Value> Values(std::u16string_view path);
std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name);
// Creates or replaces a value (a replaced value keeps its place); creates the key when missing.
bool SetValue(std::u16string_view path, std::u16string_view name, uint32_t type,
              std::span<const uint8_t> data);
bool DeleteValue(std::u16string_view path, std::u16string_view name);
// Empties the whole registry: every key below the root and the root's values.
void ClearAll();

// Convenience forms. Strings are stored as UTF-16LE bytes with the terminator counted.
bool SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text);
bool SetDword(std::u16string_view path, std::u16string_view name, uint32_t number);
bool SetBinary(std::u16string_view path, std::u16string_view name, std::span<const uint8_t> bytes);
bool SetMultiString(std::u16string_view path, std::u16string_view name,
                    const std::vector<std::u16string>& strings);
// A type 1 (or 2, expandable) value, up to its first NUL.
std::optional<std::u16string> GetString(std::u16string_view path, std::u16string_view name);
// A type 4 value of exactly four bytes.
std::optional<uint32_t> GetDword(std::u16string_view path, std::u16string_view name);
// A type 7 value: the strings before the empty one that ends the list.
std::optional<std::vector<std::u16string>> GetMultiString(std::u16string_view path,
                                                          std::u16string_view name);

// Path of the key an open key handle names (empty for the root), or nothing for a handle that
// is not a registry key or whose key was deleted.
std::optional<std::u16string> PathOfKey(plat::KeyHandle key);

// ---------------------------------------------------------------------------------------------
// Encodings.
std::vector<uint8_t> StringBytes(std::u16string_view text);
std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string>& strings);
// Strict UTF-8 decoding: false on malformed input (overlong forms, surrogates, past U+10FFFF).
bool DecodeUtf8(std::string_view utf8, std::u16string* out);
// Lenient conversions for names and messages: bad sequences become U+FFFD.
inline std::u16string FromUtf8(std::string_view utf8) {
    return sim::ToU16(utf8);
}
inline std::string ToUtf8(std::u16string_view text) {
    return sim::ToUtf8(text);
}

// ---------------------------------------------------------------------------------------------
// .reg text files.
//
// A file is parsed completely into a list of operations before anything is applied, so a
// malformed file changes nothing, and so that the parser can be driven on any byte buffer
// without touching the live registry.
enum class OpKind { CreateKey, DeleteKey, SetValue, DeleteValue };
struct Op {
    OpKind kind = OpKind::CreateKey;
    std::u16string path;  // key path below the root
    std::u16string name;  // value name (SetValue, DeleteValue)
    uint32_t type = 0;    // SetValue
    std::vector<uint8_t> data;
    uint32_t line = 0;  // where it was written
    bool operator==(const Op&) const = default;
};
struct ParseResult {
    bool ok = false;
    std::vector<Op> ops;
    std::string error;  // "source:line: what is wrong" when not ok
};
// sourceName (the file name) prefixes error messages.
ParseResult ParseRegText(std::span<const uint8_t> bytes, std::string_view sourceName);
ParseResult ParseRegText(std::string_view text, std::string_view sourceName);
// Applies parsed operations atomically with respect to other registry users.
void ApplyOps(const std::vector<Op>& ops);

struct Status {
    bool ok = false;
    std::string error;
};
Status ImportRegText(std::string_view text, std::string_view sourceName);
Status ImportRegFile(const std::string& fileName);

struct ExportResult {
    bool ok = false;
    std::string text;
    std::string error;
};
// Writes the key at path and everything below it; sub keys sorted as SubKeys gives them,
// values in creation order, so that importing the text rebuilds the same tree.
ExportResult ExportRegText(std::u16string_view path = u"");
Status ExportRegFile(std::u16string_view path, const std::string& fileName);

}  // namespace sim::reg
