#include "support/keyed_list.h"

namespace zel {

ListNode::~ListNode() {
    if (owner != nullptr) owner->Unlink(this);
}

plat::Bool KeyedList::Insert(ListNode* node, uint32_t newKey) {
    if (node == nullptr) return 0;
    for (ListNode* walk = head; walk != nullptr; walk = walk->next) {
        if (walk == node || walk->key == newKey) return 0;
    }
    // A node filed elsewhere would leave that list pointing into this one.
    if (node->owner != nullptr) return 0;
    node->key = newKey;
    node->owner = this;
    node->next = nullptr;
    if (head == nullptr) {
        node->prev = nullptr;
        head = node;
    } else {
        node->prev = tail;
        tail->next = node;
    }
    tail = node;
    ++count;
    return 1;
}

ListNode* KeyedList::Find(uint32_t wanted) const {
    for (ListNode* walk = head; walk != nullptr; walk = walk->next) {
        if (walk->key == wanted) return walk;
    }
    return nullptr;
}

ListNode* KeyedList::At(uint32_t position) {
    if (position > count - 1u) return nullptr;
    uint32_t index = 0;
    ListNode* walk = head;
    if (cursorNode != nullptr && position >= cursorIndex) {
        index = cursorIndex;
        walk = cursorNode;
    }
    while (walk != nullptr && index != position) {
        walk = walk->next;
        ++index;
    }
    if (walk == nullptr) return nullptr;
    cursorIndex = position;
    cursorNode = walk;
    return walk;
}

plat::Bool KeyedList::Unlink(ListNode* node) {
    // Relinking a node of another list would corrupt both.
    if (node == nullptr || node->owner != this) return 0;
    if (node == head) head = node->next;
    if (node == tail) tail = node->prev;
    if (node->prev != nullptr) node->prev->next = node->next;
    if (node->next != nullptr) node->next->prev = node->prev;
    node->owner = nullptr;
    node->prev = nullptr;
    node->next = nullptr;
    --count;
    cursorIndex = 0;
    cursorNode = nullptr;
    return 1;
}

plat::Bool KeyedList::RemoveKey(uint32_t wanted) {
    return Unlink(Find(wanted));
}

void KeyedList::RemoveAll() {
    while (count != 0) {
        if (!Unlink(At(0))) break;
    }
}

}  // namespace zel
