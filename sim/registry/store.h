// The registry's tree and its lock, shared by the files of sim/registry only.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "sim/registry/registry.h"

namespace sim::reg::detail {

// One key. Nodes are shared: the tree owns its nodes, and each open handle keeps its node
// alive, so a handle to a deleted key stays safe to use (its calls fail with kErrorKeyDeleted).
// Every field is guarded by RegistryMutex().
struct Node {
    std::u16string name;     // as created; empty for the root
    Node* parent = nullptr;  // null for the root; never followed once deleted
    bool deleted = false;
    // Keyed by the case-folded name, which also gives export its stable order.
    std::map<std::u16string, std::shared_ptr<Node>> children;
    std::vector<Value> values;  // creation order
};

std::mutex& RegistryMutex();
// The root never changes identity; its fields are guarded like any other node's.
const std::shared_ptr<Node>& Root();

// ASCII letters folded to lower case; other characters compare exactly.
std::u16string Fold(std::u16string_view name);
bool NamesEqual(std::u16string_view a, std::u16string_view b);

// Path lookups relative to a key. Empty path components are skipped.
std::shared_ptr<Node> FindLocked(const std::shared_ptr<Node>& from, std::u16string_view path);
// Creates missing keys along the path; *created tells whether the last one was new.
std::shared_ptr<Node> CreateLocked(const std::shared_ptr<Node>& from, std::u16string_view path,
                                   bool* created);
std::u16string PathOfLocked(const Node& node);

Value* FindValueLocked(Node& node, std::u16string_view name);
void SetValueLocked(Node& node, std::u16string_view name, uint32_t type, const uint8_t* data,
                    size_t length);
bool DeleteValueLocked(Node& node, std::u16string_view name);
// Detaches the key from its parent and marks it and everything below it deleted.
void DeleteTreeLocked(const std::shared_ptr<Node>& node);

// The node an open key handle names: the root for the predefined local-machine handle, null
// for anything that is not a key handle. Call without the registry lock held (it consults the
// handle table); check Node::deleted under the lock afterwards.
std::shared_ptr<Node> NodeOfHandle(plat::KeyHandle key);

// Files an open key under a new handle (0 when handle creation fails). Call without the
// registry lock held.
plat::KeyHandle InsertKeyHandle(std::shared_ptr<Node> node, std::u16string path);

}  // namespace sim::reg::detail
