// The registry: a tree of keys under the local-machine root, the platform's registry services
// over it, and the path-based helpers of sim/registry/registry.h.

#include "sim/registry/registry.h"

#include <cstring>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/store.h"

namespace sim::reg {
namespace detail {

namespace {

// An open key as the handle table holds it. The path is fixed at open time so that leak
// reports can describe the key without taking the registry lock.
class KeyObject final : public KernelObject {
  public:
    KeyObject(std::shared_ptr<Node> node, std::u16string path)
        : node_(std::move(node)), path_(std::move(path)) {}
    std::string Describe() const override {
        return path_.empty() ? "registry key HKLM" : "registry key HKLM\\" + ToUtf8(path_);
    }
    const std::shared_ptr<Node>& node() const { return node_; }

  private:
    std::shared_ptr<Node> node_;
    std::u16string path_;
};

// Splits a path at backslashes, skipping empty components.
std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

size_t DepthOf(const Node& node) {
    size_t depth = 0;
    for (const Node* n = &node; n->parent != nullptr; n = n->parent) ++depth;
    return depth;
}

void MarkDeletedLocked(Node& node) {
    // Iterative, so that no tree depth can exhaust the stack.
    std::vector<std::shared_ptr<Node>> pending;
    node.deleted = true;
    node.parent = nullptr;
    node.values.clear();
    for (auto& [folded, child] : node.children) pending.push_back(std::move(child));
    node.children.clear();
    while (!pending.empty()) {
        std::shared_ptr<Node> n = std::move(pending.back());
        pending.pop_back();
        n->deleted = true;
        n->parent = nullptr;
        n->values.clear();
        for (auto& [folded, child] : n->children) pending.push_back(std::move(child));
        n->children.clear();
    }
}

}  // namespace

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

const std::shared_ptr<Node>& Root() {
    static const std::shared_ptr<Node> root = std::make_shared<Node>();
    return root;
}

std::u16string Fold(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return folded;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
        if (x != y) return false;
    }
    return true;
}

std::shared_ptr<Node> FindLocked(const std::shared_ptr<Node>& from, std::u16string_view path) {
    std::shared_ptr<Node> node = from;
    for (std::u16string_view part : SplitPath(path)) {
        auto it = node->children.find(Fold(part));
        if (it == node->children.end()) return nullptr;
        node = it->second;
    }
    return node;
}

std::shared_ptr<Node> CreateLocked(const std::shared_ptr<Node>& from, std::u16string_view path,
                                   bool* created) {
    std::vector<std::u16string_view> parts = SplitPath(path);
    for (std::u16string_view part : parts) {
        if (part.size() > kMaxKeyNameLength) return nullptr;
    }
    *created = false;
    std::shared_ptr<Node> node = from;
    size_t depth = DepthOf(*from);
    for (std::u16string_view part : parts) {
        std::u16string folded = Fold(part);
        auto it = node->children.find(folded);
        if (it != node->children.end()) {
            node = it->second;
            *created = false;
        } else {
            if (depth >= kMaxKeyDepth) return nullptr;
            auto child = std::make_shared<Node>();
            child->name = std::u16string(part);
            child->parent = node.get();
            node->children.emplace(std::move(folded), child);
            node = std::move(child);
            *created = true;
        }
        ++depth;
    }
    return node;
}

std::u16string PathOfLocked(const Node& node) {
    std::vector<const Node*> chain;
    for (const Node* n = &node; n->parent != nullptr; n = n->parent) chain.push_back(n);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty()) path += u'\\';
        path += (*it)->name;
    }
    return path;
}

Value* FindValueLocked(Node& node, std::u16string_view name) {
    for (Value& v : node.values) {
        if (NamesEqual(v.name, name)) return &v;
    }
    return nullptr;
}

void SetValueLocked(Node& node, std::u16string_view name, uint32_t type, const uint8_t* data,
                    size_t length) {
    Value* v = FindValueLocked(node, name);
    if (v == nullptr) {
        node.values.push_back(Value{std::u16string(name), 0, {}});
        v = &node.values.back();
    }
    v->type = type;
    v->data.assign(data, data + length);
}

bool DeleteValueLocked(Node& node, std::u16string_view name) {
    for (auto it = node.values.begin(); it != node.values.end(); ++it) {
        if (NamesEqual(it->name, name)) {
            node.values.erase(it);
            return true;
        }
    }
    return false;
}

void DeleteTreeLocked(const std::shared_ptr<Node>& node) {
    // The caller's reference may be the parent's own entry, which the erase destroys.
    std::shared_ptr<Node> keep = node;
    if (keep->parent != nullptr) keep->parent->children.erase(Fold(keep->name));
    MarkDeletedLocked(*keep);
}

std::shared_ptr<Node> NodeOfHandle(plat::KeyHandle key) {
    if (key == plat::kLocalMachineRoot) return Root();
    auto object = HandleLookupAs<KeyObject>(key);
    return object ? object->node() : nullptr;
}

plat::KeyHandle InsertKeyHandle(std::shared_ptr<Node> node, std::u16string path) {
    return HandleInsert(std::make_shared<KeyObject>(std::move(node), std::move(path)));
}

}  // namespace detail

using namespace detail;

// ---------------------------------------------------------------------------------------------
// Path helpers.

bool KeyExists(std::u16string_view path) {
    std::lock_guard lock(RegistryMutex());
    return FindLocked(Root(), path) != nullptr;
}

bool CreateKey(std::u16string_view path) {
    std::lock_guard lock(RegistryMutex());
    bool created = false;
    return CreateLocked(Root(), path, &created) != nullptr;
}

bool DeleteKeyTree(std::u16string_view path) {
    std::lock_guard lock(RegistryMutex());
    std::shared_ptr<Node> node = FindLocked(Root(), path);
    if (!node || node == Root()) return false;
    DeleteTreeLocked(node);
    return true;
}

std::vector<std::u16string> SubKeys(std::u16string_view path) {
    std::lock_guard lock(RegistryMutex());
    std::vector<std::u16string> names;
    if (std::shared_ptr<Node> node = FindLocked(Root(), path)) {
        for (const auto& [folded, child] : node->children) names.push_back(child->name);
    }
    return names;
}

std::vector<Value> Values(std::u16string_view path) {
    std::lock_guard lock(RegistryMutex());
    std::shared_ptr<Node> node = FindLocked(Root(), path);
    return node ? node->values : std::vector<Value>{};
}

std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name) {
    std::lock_guard lock(RegistryMutex());
    std::shared_ptr<Node> node = FindLocked(Root(), path);
    if (!node) return std::nullopt;
    Value* v = FindValueLocked(*node, name);
    if (v == nullptr) return std::nullopt;
    return *v;
}

bool SetValue(std::u16string_view path, std::u16string_view name, uint32_t type,
              std::span<const uint8_t> data) {
    if (name.size() > kMaxValueNameLength) return false;
    std::lock_guard lock(RegistryMutex());
    bool created = false;
    std::shared_ptr<Node> node = CreateLocked(Root(), path, &created);
    if (!node) return false;
    SetValueLocked(*node, name, type, data.data(), data.size());
    return true;
}

bool DeleteValue(std::u16string_view path, std::u16string_view name) {
    std::lock_guard lock(RegistryMutex());
    std::shared_ptr<Node> node = FindLocked(Root(), path);
    return node && DeleteValueLocked(*node, name);
}

void ClearAll() {
    std::lock_guard lock(RegistryMutex());
    const std::shared_ptr<Node>& root = Root();
    while (!root->children.empty()) DeleteTreeLocked(root->children.begin()->second);
    root->values.clear();
}

bool SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text) {
    return SetValue(path, name, plat::kRegString, StringBytes(text));
}

bool SetDword(std::u16string_view path, std::u16string_view name, uint32_t number) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                              static_cast<uint8_t>(number >> 16),
                              static_cast<uint8_t>(number >> 24)};
    return SetValue(path, name, plat::kRegDword, bytes);
}

bool SetBinary(std::u16string_view path, std::u16string_view name, std::span<const uint8_t> bytes) {
    return SetValue(path, name, plat::kRegBinary, bytes);
}

bool SetMultiString(std::u16string_view path, std::u16string_view name,
                    const std::vector<std::u16string>& strings) {
    return SetValue(path, name, plat::kRegMultiString, MultiStringBytes(strings));
}

namespace {

constexpr uint32_t kRegExpandString = 2;

std::u16string CharsOf(const std::vector<uint8_t>& data) {
    std::u16string chars(data.size() / 2, u'\0');
    for (size_t i = 0; i < chars.size(); ++i) {
        chars[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    return chars;
}

}  // namespace

std::optional<std::u16string> GetString(std::u16string_view path, std::u16string_view name) {
    std::optional<Value> v = GetValue(path, name);
    if (!v || (v->type != plat::kRegString && v->type != kRegExpandString)) return std::nullopt;
    std::u16string chars = CharsOf(v->data);
    return chars.substr(0, chars.find(u'\0'));
}

std::optional<uint32_t> GetDword(std::u16string_view path, std::u16string_view name) {
    std::optional<Value> v = GetValue(path, name);
    if (!v || v->type != plat::kRegDword || v->data.size() != 4) return std::nullopt;
    return static_cast<uint32_t>(v->data[0]) | (static_cast<uint32_t>(v->data[1]) << 8) |
           (static_cast<uint32_t>(v->data[2]) << 16) | (static_cast<uint32_t>(v->data[3]) << 24);
}

std::optional<std::vector<std::u16string>> GetMultiString(std::u16string_view path,
                                                          std::u16string_view name) {
    std::optional<Value> v = GetValue(path, name);
    if (!v || v->type != plat::kRegMultiString) return std::nullopt;
    std::vector<std::u16string> strings;
    std::u16string chars = CharsOf(v->data);
    size_t start = 0;
    while (start < chars.size()) {
        size_t end = chars.find(u'\0', start);
        if (end == std::u16string::npos) end = chars.size();
        if (end == start) break;  // the empty string that ends the list
        strings.push_back(chars.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

std::optional<std::u16string> PathOfKey(plat::KeyHandle key) {
    std::shared_ptr<Node> node = NodeOfHandle(key);
    if (!node) return std::nullopt;
    std::lock_guard lock(RegistryMutex());
    if (node->deleted) return std::nullopt;
    return PathOfLocked(*node);
}

// ---------------------------------------------------------------------------------------------
// Encodings.

std::vector<uint8_t> StringBytes(std::u16string_view text) {
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 2 + 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string>& strings) {
    std::vector<uint8_t> bytes;
    for (const std::u16string& s : strings) {
        std::vector<uint8_t> one = StringBytes(s);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

namespace {

// Decodes one UTF-8 sequence at text[*pos]; false (leaving *pos) when it is malformed.
bool DecodeOne(std::string_view text, size_t* pos, char32_t* out) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    size_t i = *pos;
    uint8_t lead = byte(i);
    size_t extra;
    char32_t cp;
    if (lead < 0x80) {
        *out = lead;
        *pos = i + 1;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    *out = cp;
    *pos = i + extra + 1;
    return true;
}

void AppendUtf16(char32_t cp, std::u16string* out) {
    if (cp < 0x10000) {
        out->push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

}  // namespace

bool DecodeUtf8(std::string_view utf8, std::u16string* out) {
    out->clear();
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t cp;
        if (!DecodeOne(utf8, &pos, &cp)) return false;
        AppendUtf16(cp, out);
    }
    return true;
}

}  // namespace sim::reg

// ---------------------------------------------------------------------------------------------
// The platform's registry services.

namespace plat {

using sim::reg::detail::CreateLocked;
using sim::reg::detail::FindLocked;
using sim::reg::detail::FindValueLocked;
using sim::reg::detail::InsertKeyHandle;
using sim::reg::detail::Node;
using sim::reg::detail::NodeOfHandle;
using sim::reg::detail::PathOfLocked;
using sim::reg::detail::RegistryMutex;

namespace {

std::u16string_view ViewOf(const WChar* s) {
    return s ? std::u16string_view(s) : u"";
}

// Opens (create false) or creates-or-opens a sub key and files it under a new handle.
uint32_t OpenOrCreate(KeyHandle parent, const WChar* subKey, bool create, KeyHandle* result,
                      uint32_t* disposition) {
    if (result == nullptr) return kErrorInvalidParameter;
    *result = 0;
    std::shared_ptr<Node> from = NodeOfHandle(parent);
    if (!from) return kErrorInvalidHandle;
    std::shared_ptr<Node> node;
    std::u16string path;
    bool created = false;
    {
        std::lock_guard lock(RegistryMutex());
        if (from->deleted) return sim::reg::kErrorKeyDeleted;
        if (create) {
            node = CreateLocked(from, ViewOf(subKey), &created);
            if (!node) return kErrorInvalidParameter;
        } else {
            node = FindLocked(from, ViewOf(subKey));
            if (!node) return kErrorFileNotFound;
        }
        path = PathOfLocked(*node);
    }
    KeyHandle handle = InsertKeyHandle(std::move(node), std::move(path));
    if (handle == 0) return kErrorNotEnoughMemory;
    *result = handle;
    if (disposition != nullptr) {
        *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
    }
    return kSuccess;
}

// Lengths in bytes of a name or data copied out, as the callers' 32-bit fields carry them.
uint32_t Size32(size_t n) {
    return static_cast<uint32_t>(n);
}

}  // namespace

uint32_t RegOpenKey(KeyHandle parent, const WChar* subKey, uint32_t /*options*/,
                    uint32_t /*access*/, KeyHandle* result) {
    if (sim::ShouldFail(sim::FailKind::Registry)) {
        if (result != nullptr) *result = 0;
        return kErrorNotEnoughMemory;
    }
    return OpenOrCreate(parent, subKey, false, result, nullptr);
}

uint32_t RegCreateKey(KeyHandle parent, const WChar* subKey, uint32_t /*reserved*/,
                      const WChar* /*cls*/, uint32_t /*options*/, uint32_t /*access*/,
                      const void* /*security*/, KeyHandle* result, uint32_t* disposition) {
    if (sim::ShouldFail(sim::FailKind::Registry)) {
        if (result != nullptr) *result = 0;
        return kErrorNotEnoughMemory;
    }
    return OpenOrCreate(parent, subKey, true, result, disposition);
}

uint32_t RegQueryValue(KeyHandle key, const WChar* name, uint32_t* /*reserved*/, uint32_t* type,
                       uint8_t* data, uint32_t* length) {
    if (sim::ShouldFail(sim::FailKind::Registry)) return kErrorNotEnoughMemory;
    if (data != nullptr && length == nullptr) return kErrorInvalidParameter;
    std::shared_ptr<Node> node = NodeOfHandle(key);
    if (!node) return kErrorInvalidHandle;
    std::lock_guard lock(RegistryMutex());
    if (node->deleted) return sim::reg::kErrorKeyDeleted;
    const sim::reg::Value* v = FindValueLocked(*node, ViewOf(name));
    if (v == nullptr) return kErrorFileNotFound;
    if (type != nullptr) *type = v->type;
    if (length == nullptr) return kSuccess;
    const uint32_t size = Size32(v->data.size());
    if (data != nullptr && *length < size) {
        *length = size;
        return kErrorMoreData;
    }
    if (data != nullptr && size > 0) std::memcpy(data, v->data.data(), size);
    *length = size;
    return kSuccess;
}

uint32_t RegSetValue(KeyHandle key, const WChar* name, uint32_t /*reserved*/, uint32_t type,
                     const uint8_t* data, uint32_t length) {
    if (sim::ShouldFail(sim::FailKind::Registry)) return kErrorNotEnoughMemory;
    if (data == nullptr && length > 0) return kErrorInvalidParameter;
    std::u16string_view valueName = ViewOf(name);
    if (valueName.size() > sim::reg::kMaxValueNameLength) return kErrorInvalidParameter;
    std::shared_ptr<Node> node = NodeOfHandle(key);
    if (!node) return kErrorInvalidHandle;
    std::lock_guard lock(RegistryMutex());
    if (node->deleted) return sim::reg::kErrorKeyDeleted;
    sim::reg::detail::SetValueLocked(*node, valueName, type, data, length);
    return kSuccess;
}

uint32_t RegEnumValue(KeyHandle key, uint32_t index, WChar* name, uint32_t* nameLength,
                      uint32_t* /*reserved*/, uint32_t* type, uint8_t* data, uint32_t* dataLength) {
    if (sim::ShouldFail(sim::FailKind::Registry)) return kErrorNotEnoughMemory;
    if (name == nullptr || nameLength == nullptr) return kErrorInvalidParameter;
    if (data != nullptr && dataLength == nullptr) return kErrorInvalidParameter;
    std::shared_ptr<Node> node = NodeOfHandle(key);
    if (!node) return kErrorInvalidHandle;
    std::lock_guard lock(RegistryMutex());
    if (node->deleted) return sim::reg::kErrorKeyDeleted;
    if (index >= node->values.size()) return kErrorNoMoreItems;
    const sim::reg::Value& v = node->values[index];
    const uint32_t size = Size32(v.data.size());
    const bool nameShort = v.name.size() + 1 > *nameLength;
    const bool dataShort = data != nullptr && *dataLength < size;
    if (type != nullptr) *type = v.type;
    if (dataLength != nullptr) *dataLength = size;
    // On a short buffer both lengths report what is needed (the name without its terminator,
    // as on success) and nothing is copied into the short buffer.
    *nameLength = Size32(v.name.size());
    if (nameShort) return kErrorMoreData;
    std::memcpy(name, v.name.data(), v.name.size() * sizeof(WChar));
    name[v.name.size()] = u'\0';
    if (dataShort) return kErrorMoreData;
    if (data != nullptr && size > 0) std::memcpy(data, v.data.data(), size);
    return kSuccess;
}

uint32_t RegCloseKey(KeyHandle key) {
    if (key == kLocalMachineRoot) return kSuccess;                 // predefined: never closed
    if (NodeOfHandle(key) == nullptr) return kErrorInvalidHandle;  // not a key handle
    return sim::HandleRemove(key) ? kSuccess : kErrorInvalidHandle;
}

}  // namespace plat
