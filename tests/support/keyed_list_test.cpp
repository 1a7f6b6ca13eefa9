#include "support/keyed_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace zel {
namespace {

// The per-family adapter lists are statics that are never constructed at run time.
constinit KeyedList gNeverConstructed;

struct Node : ListNode {
    explicit Node(int* destroyed = nullptr) : destroyed(destroyed) {}
    ~Node() override {
        if (destroyed != nullptr) ++*destroyed;
    }
    int* destroyed;
};

// Nodes in list order, read by position (exercises the cursor).
std::vector<ListNode*> Order(KeyedList& list) {
    std::vector<ListNode*> order;
    for (uint32_t i = 0; i < list.Count(); ++i) order.push_back(list.At(i));
    return order;
}

class KeyedListTest : public ::testing::Test {
  protected:
    void FileThree() {
        ASSERT_TRUE(list.Insert(&a, 1));
        ASSERT_TRUE(list.Insert(&b, 2));
        ASSERT_TRUE(list.Insert(&c, 3));
    }
    KeyedList list;
    Node a, b, c;
};

TEST(KeyedListZero, AllZeroListIsAValidEmptyList) {
    // A zero-filled block standing in for a list that no constructor ever ran on.
    alignas(KeyedList) unsigned char raw[sizeof(KeyedList)];
    std::memset(raw, 0, sizeof(raw));
    auto* list = reinterpret_cast<KeyedList*>(raw);
    EXPECT_EQ(list->Count(), 0u);
    EXPECT_EQ(list->At(0), nullptr);
    Node node;
    ASSERT_TRUE(list->Insert(&node, 7));
    EXPECT_EQ(list->Count(), 1u);
    EXPECT_EQ(list->At(0), &node);
    EXPECT_EQ(list->Find(7), &node);
    EXPECT_EQ(node.Owner(), list);
    ASSERT_TRUE(list->Unlink(&node));
    EXPECT_EQ(list->Count(), 0u);

    Node filed;
    ASSERT_TRUE(gNeverConstructed.Insert(&filed, 1));
    EXPECT_EQ(gNeverConstructed.At(0), &filed);
    gNeverConstructed.RemoveAll();
    EXPECT_EQ(filed.Owner(), nullptr);
}

TEST_F(KeyedListTest, InsertRefusesNullDuplicateKeysAndTheSameNodeTwice) {
    FileThree();
    Node other;
    EXPECT_FALSE(list.Insert(nullptr, 9));
    EXPECT_FALSE(list.Insert(&other, 2));  // key already present
    EXPECT_EQ(other.Owner(), nullptr);
    EXPECT_FALSE(list.Insert(&b, 9));  // node already present
    EXPECT_EQ(b.Key(), 2u);
    EXPECT_EQ(list.Count(), 3u);
    EXPECT_EQ(Order(list), (std::vector<ListNode*>{&a, &b, &c}));
}

TEST_F(KeyedListTest, InsertRefusesANodeFiledInAnotherList) {
    FileThree();
    KeyedList second;
    EXPECT_FALSE(second.Insert(&b, 20));
    EXPECT_EQ(second.Count(), 0u);
    EXPECT_EQ(b.Owner(), &list);
    EXPECT_EQ(Order(list), (std::vector<ListNode*>{&a, &b, &c}));
}

TEST_F(KeyedListTest, FindAndAtByPosition) {
    FileThree();
    EXPECT_EQ(list.Find(2), &b);
    EXPECT_EQ(list.Find(4), nullptr);
    EXPECT_EQ(list.At(2), &c);
    EXPECT_EQ(list.At(0), &a);  // backwards: walks again from the head
    EXPECT_EQ(list.At(1), &b);
    EXPECT_EQ(list.At(3), nullptr);  // At(count)
    EXPECT_EQ(list.At(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(list.At(1), &b);  // a miss leaves the cursor usable
}

TEST(KeyedListEmpty, AtOnAnEmptyListIsNull) {
    KeyedList list;
    for (uint32_t position : {0u, 1u, 0xFFFFFFFFu}) EXPECT_EQ(list.At(position), nullptr);
}

struct UnlinkCase {
    const char* name;
    int unlink;  // index of the node among a, b, c
    std::vector<int> remaining;
};

class KeyedListUnlink : public KeyedListTest, public ::testing::WithParamInterface<UnlinkCase> {};

TEST_P(KeyedListUnlink, RelinksTheRest) {
    FileThree();
    Node* nodes[] = {&a, &b, &c};
    Node* gone = nodes[GetParam().unlink];
    ASSERT_TRUE(list.Unlink(gone));
    EXPECT_EQ(gone->Owner(), nullptr);
    EXPECT_EQ(gone->Key(), static_cast<uint32_t>(GetParam().unlink + 1));  // the key stays
    std::vector<ListNode*> expected;
    for (int i : GetParam().remaining) expected.push_back(nodes[i]);
    EXPECT_EQ(Order(list), expected);
    // The tail moved correctly: an appended node follows the last survivor.
    Node d;
    ASSERT_TRUE(list.Insert(&d, 4));
    expected.push_back(&d);
    EXPECT_EQ(Order(list), expected);
    // The unlinked node can be filed again.
    ASSERT_TRUE(list.Insert(gone, 9));
    EXPECT_EQ(list.At(list.Count() - 1), gone);
    list.RemoveAll();
}

INSTANTIATE_TEST_SUITE_P(Positions, KeyedListUnlink,
                         ::testing::Values(UnlinkCase{"First", 0, {1, 2}},
                                           UnlinkCase{"Middle", 1, {0, 2}},
                                           UnlinkCase{"Last", 2, {0, 1}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KeyedListTest, UnlinkingTheOnlyNodeEmptiesTheList) {
    ASSERT_TRUE(list.Insert(&a, 1));
    ASSERT_TRUE(list.Unlink(&a));
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(list.At(0), nullptr);
    // head and tail are both clear: a new node becomes the only one.
    ASSERT_TRUE(list.Insert(&b, 2));
    EXPECT_EQ(Order(list), (std::vector<ListNode*>{&b}));
    list.RemoveAll();
}

TEST_F(KeyedListTest, CursorIsForgottenAfterUnlink) {
    FileThree();
    ASSERT_EQ(list.At(1), &b);  // cursor at (1, b)
    ASSERT_TRUE(list.Unlink(&a));
    // b is now at position 0; a stale cursor would answer b for position 1.
    EXPECT_EQ(list.At(1), &c);
    EXPECT_EQ(list.At(0), &b);
}

TEST_F(KeyedListTest, UnlinkRefusesNullAndNodesOfOtherLists) {
    FileThree();
    KeyedList second;
    Node stranger;
    ASSERT_TRUE(second.Insert(&stranger, 1));
    EXPECT_FALSE(list.Unlink(nullptr));
    EXPECT_FALSE(list.Unlink(&stranger));
    Node unfiled;
    EXPECT_FALSE(list.Unlink(&unfiled));
    EXPECT_EQ(Order(list), (std::vector<ListNode*>{&a, &b, &c}));
    EXPECT_EQ(Order(second), (std::vector<ListNode*>{&stranger}));
    second.RemoveAll();
}

TEST_F(KeyedListTest, RemoveKey) {
    FileThree();
    EXPECT_FALSE(list.RemoveKey(4));
    EXPECT_TRUE(list.RemoveKey(2));
    EXPECT_EQ(b.Owner(), nullptr);
    EXPECT_EQ(Order(list), (std::vector<ListNode*>{&a, &c}));
    EXPECT_FALSE(list.RemoveKey(2));
}

TEST(KeyedListRemoveAll, UnlinksEveryNodeAndDestroysNone) {
    int destroyed = 0;
    {
        Node a(&destroyed), b(&destroyed), c(&destroyed);
        KeyedList list;
        ASSERT_TRUE(list.Insert(&a, 1) && list.Insert(&b, 2) && list.Insert(&c, 3));
        list.RemoveAll();
        EXPECT_EQ(destroyed, 0);
        EXPECT_EQ(list.Count(), 0u);
        EXPECT_EQ(list.At(0), nullptr);
        for (Node* node : {&a, &b, &c}) EXPECT_EQ(node->Owner(), nullptr);
        // Their links are clear: they file into another list in a new order.
        KeyedList other;
        ASSERT_TRUE(other.Insert(&c, 1) && other.Insert(&a, 2));
        EXPECT_EQ(Order(other), (std::vector<ListNode*>{&c, &a}));
        other.RemoveAll();
    }
    EXPECT_EQ(destroyed, 3);
}

TEST(KeyedListDestroy, DestroyingAFiledNodeTakesItOut) {
    KeyedList list;
    Node a, c;
    ASSERT_TRUE(list.Insert(&a, 1));
    {
        Node b;
        ASSERT_TRUE(list.Insert(&b, 2));
        ASSERT_TRUE(list.Insert(&c, 3));
    }
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(Order(list), (std::vector<ListNode*>{&a, &c}));
    { Node unfiled; }  // touches no list
    EXPECT_EQ(list.Count(), 2u);
    list.RemoveAll();
}

}  // namespace
}  // namespace zel
