// Intrusive doubly linked list of nodes filed under 32-bit keys.
//
// Used for the per-family adapter lists (keyed by board number) and each adapter's port
// table (keyed by port number). A list never owns, creates or destroys its nodes. An all-zero
// KeyedList is a valid empty list: the adapter lists are constant-initialised statics.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "support/object.h"

namespace zel {

class KeyedList;

class ListNode : public PlatformObject {
public:
    ListNode() = default;
    ListNode(const ListNode&) = delete;
    ListNode& operator=(const ListNode&) = delete;
    // Destroying a filed node takes it out of its list first.
    virtual ~ListNode();

    uint32_t Key() const { return key; }
    KeyedList* Owner() const { return owner; }

private:
    friend class KeyedList;
    uint32_t key = 0;
    KeyedList* owner = nullptr;
    ListNode* prev = nullptr;
    ListNode* next = nullptr;
};

class KeyedList {
public:
    constexpr KeyedList() = default;
    KeyedList(const KeyedList&) = delete;
    KeyedList& operator=(const KeyedList&) = delete;

    // Appends the node under the key; false for a null node, a node already present or a key
    // already present.
    plat::Bool Insert(ListNode* node, uint32_t key);
    ListNode* Find(uint32_t key) const;
    // Node at a position counted from 0 at the head; walking by increasing positions costs
    // one step per call thanks to the cursor.
    ListNode* At(uint32_t position);
    plat::Bool Unlink(ListNode* node);
    plat::Bool RemoveKey(uint32_t key);
    void RemoveAll();
    uint32_t Count() const { return count; }

private:
    ListNode* head = nullptr;
    ListNode* tail = nullptr;
    uint32_t count = 0;
    uint32_t cursorIndex = 0;
    ListNode* cursorNode = nullptr;
};

}  // namespace zel
