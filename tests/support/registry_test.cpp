#include "sim/registry/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"
#include "support/registry.h"

namespace zel {
namespace {

using sim::FailKind;

constexpr const char16_t* kTestKey = u"Tests\\Support";

RegistryValue* NewDword(const char16_t* name, uint32_t number) {
    return new (std::nothrow) RegistryValue(name, plat::kRegDword, &number, sizeof(number));
}

uint32_t DwordOf(const RegistryValue* value) {
    uint32_t number = 0;
    uint32_t size = sizeof(number);
    EXPECT_NE(value, nullptr);
    if (value != nullptr) {
        EXPECT_TRUE(value->GetData(&number, &size));
    }
    return number;
}

std::u16string NameOf(const RegistryValue* value) {
    return std::u16string(value->GetName());
}

// Names of the held values by slot ("" for an empty slot).
std::vector<std::u16string> Slots(const RegistryValueList& list) {
    std::vector<std::u16string> names;
    for (uint32_t i = 0; i < list.Capacity(); ++i) {
        names.push_back(list.Slot(i) != nullptr ? NameOf(list.Slot(i)) : u"");
    }
    return names;
}

// What every failed operation must leave: count = non-empty slots, names unique.
void ExpectConsistent(const RegistryValueList& list) {
    uint32_t held = 0;
    for (uint32_t i = 0; i < list.Capacity(); ++i) {
        const RegistryValue* value = list.Slot(i);
        if (value == nullptr) continue;
        ++held;
        EXPECT_TRUE(value->IsComplete()) << "slot " << i;
        for (uint32_t j = 0; j < i; ++j) {
            if (list.Slot(j) != nullptr) {
                EXPECT_NE(plat::WStrICmp(list.Slot(j)->GetName(), value->GetName()), 0);
            }
        }
    }
    EXPECT_EQ(held, list.Count());
}

plat::KeyHandle OpenTestKey(const char16_t* path = kTestKey) {
    plat::KeyHandle key = 0;
    EXPECT_EQ(plat::RegOpenKey(plat::kLocalMachineRoot, path, 0, 0, &key), plat::kSuccess);
    return key;
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::DisarmAllFailures();
        sim::reg::ClearAll();
        ASSERT_TRUE(sim::reg::CreateKey(kTestKey));
        handlesBefore = sim::LiveHandles().size();
    }
    void TearDown() override {
        sim::DisarmAllFailures();
        EXPECT_EQ(sim::LiveHandles().size(), handlesBefore) << "a key handle leaked";
    }
    size_t handlesBefore = 0;
};

// ---------------------------------------------------------------------------------------------
// RegistryValue

struct GetDataCase {
    const char* name;
    uint32_t dataLength;  // of the held value
    bool giveBuffer;
    bool giveSize;
    uint32_t sizeIn;
    bool result;
    uint32_t sizeOut;  // expected *size afterwards
    bool copied;
};

class GetDataRules : public ::testing::TestWithParam<GetDataCase> {};

TEST_P(GetDataRules, FollowsTheRules) {
    const GetDataCase& c = GetParam();
    const uint8_t bytes[4] = {0x11, 0x22, 0x33, 0x44};
    RegistryValue value(u"V", plat::kRegBinary, c.dataLength != 0 ? bytes : nullptr, c.dataLength);
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof(buffer));
    uint32_t size = c.sizeIn;
    const plat::Bool result =
        value.GetData(c.giveBuffer ? buffer : nullptr, c.giveSize ? &size : nullptr);
    EXPECT_EQ(result != 0, c.result);
    if (c.giveSize) {
        EXPECT_EQ(size, c.sizeOut);
    }
    if (c.copied) {
        EXPECT_EQ(std::memcmp(buffer, bytes, c.dataLength), 0);
    } else {
        EXPECT_EQ(buffer[0], 0xEE) << "nothing may be copied";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetDataRules,
    ::testing::Values(GetDataCase{"EmptyValueWithBuffer", 0, true, true, 8, false, 8, false},
                      GetDataCase{"EmptyValueSizeQuery", 0, false, true, 8, false, 8, false},
                      GetDataCase{"SizeQuery", 4, false, true, 0, true, 4, false},
                      GetDataCase{"SizeQueryWithoutSize", 4, false, false, 0, false, 0, false},
                      GetDataCase{"BufferWithoutSize", 4, true, false, 0, false, 0, false},
                      GetDataCase{"OneByteShort", 4, true, true, 3, false, 4, false},
                      GetDataCase{"ExactFit", 4, true, true, 4, true, 4, true},
                      GetDataCase{"LargerBuffer", 4, true, true, 8, true, 4, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegistryValue, CopyIsDeep) {
    const char16_t text[] = u"text";
    RegistryValue original(u"Name", plat::kRegString, text, sizeof(text));
    RegistryValue copy(original);
    EXPECT_NE(copy.GetName(), original.GetName());
    EXPECT_NE(copy.Data(), original.Data());
    EXPECT_EQ(NameOf(&copy), u"Name");
    EXPECT_EQ(copy.GetNameLength(), 5u);
    EXPECT_EQ(copy.GetType(), plat::kRegString);
    ASSERT_EQ(copy.GetLength(), sizeof(text));
    EXPECT_EQ(std::memcmp(copy.Data(), text, sizeof(text)), 0);
}

TEST_F(RegistryTest, ReadRegistryValue) {
    ASSERT_TRUE(sim::reg::SetDword(kTestKey, u"Number", 0x12345678));
    ASSERT_TRUE(sim::reg::SetString(kTestKey, u"Text", u"abc"));
    const plat::KeyHandle key = OpenTestKey();

    RegistryValue* number = ReadRegistryValue(key, u"Number");
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(number->GetType(), plat::kRegDword);
    EXPECT_EQ(DwordOf(number), 0x12345678u);
    delete number;

    RegistryValue* text = ReadRegistryValue(key, u"text");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->GetType(), plat::kRegString);
    ASSERT_EQ(text->GetLength(), 8u);  // three characters and the terminator
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text->Data())), u"abc");
    delete text;

    EXPECT_EQ(ReadRegistryValue(key, u"Missing"), nullptr);
    EXPECT_EQ(ReadRegistryValue(key, nullptr), nullptr);
    plat::RegCloseKey(key);
}

// ---------------------------------------------------------------------------------------------
// RegistryKey

TEST_F(RegistryTest, KeyOpensOnlyExistingKeysAndCreateReportsTheDisposition) {
    {
        RegistryKey missing(plat::kLocalMachineRoot, u"Tests\\Missing");
        EXPECT_FALSE(missing.IsOpen());
        RegistryKey none(plat::kLocalMachineRoot, nullptr);
        EXPECT_FALSE(none.IsOpen());
        RegistryKey existing(plat::kLocalMachineRoot, kTestKey);
        EXPECT_TRUE(existing.IsOpen());
    }
    EXPECT_FALSE(sim::reg::KeyExists(u"Tests\\Missing"));
    uint32_t disposition = 0;
    {
        RegistryKey created(plat::kLocalMachineRoot, u"Tests\\New", &disposition);
        ASSERT_TRUE(created.IsOpen());
        EXPECT_EQ(disposition, plat::kRegCreatedNewKey);
        const uint32_t number = 5;
        EXPECT_TRUE(created.SetValue(u"Five", plat::kRegDword, &number, sizeof(number)));
    }
    EXPECT_EQ(sim::reg::GetDword(u"Tests\\New", u"Five"), 5u);
    RegistryKey again(plat::kLocalMachineRoot, u"Tests\\New", &disposition);
    EXPECT_EQ(disposition, plat::kRegOpenedExistingKey);
    RegistryKey noPath(plat::kLocalMachineRoot, nullptr, &disposition);
    EXPECT_FALSE(noPath.IsOpen());
}

// ---------------------------------------------------------------------------------------------
// RegistryValueList: slots

TEST(RegistryValueList, NewListIsEmptyWithFiveSlots) {
    RegistryValueList list;
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 5);
    EXPECT_EQ(list.Key(), nullptr);
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(list.Slot(i), nullptr);
}

TEST(RegistryValueList, GrowsInStepsOfFiveKeepingSlots) {
    RegistryValueList list;
    const char16_t* names[] = {u"A", u"B", u"C", u"D", u"E", u"F", u"G", u"H", u"I", u"J", u"K"};
    for (uint32_t i = 0; i < 11; ++i) {
        ASSERT_TRUE(list.Add(NewDword(names[i], i)));
        const uint8_t expected = i < 5 ? 5 : i < 10 ? 10 : 15;
        EXPECT_EQ(list.Capacity(), expected) << "after value " << i + 1;
    }
    EXPECT_EQ(list.Count(), 11);
    for (uint32_t i = 0; i < 11; ++i) {
        ASSERT_NE(list.Slot(i), nullptr);
        EXPECT_EQ(NameOf(list.Slot(i)), names[i]);
        EXPECT_EQ(DwordOf(list.Slot(i)), i);
    }
    ExpectConsistent(list);
}

TEST(RegistryValueList, HoldsAtMost255Values) {
    RegistryValueList list;
    char16_t name[8];
    for (int i = 0; i < 255; ++i) {
        plat::WStrFormatN(name, 8, u"V%d", i);
        ASSERT_TRUE(list.Add(NewDword(name, i))) << i;
    }
    EXPECT_EQ(list.Count(), 255);
    EXPECT_EQ(list.Capacity(), 255);
    RegistryValue* extra = NewDword(u"Extra", 1);
    EXPECT_FALSE(list.Add(extra));
    EXPECT_EQ(list.Count(), 255);
    EXPECT_EQ(DwordOf(extra), 1u);  // still the caller's
    delete extra;
    // A hole is still filled.
    ASSERT_TRUE(list.RemoveValue(u"V17"));
    ASSERT_TRUE(list.Add(NewDword(u"Extra", 2)));
    EXPECT_EQ(NameOf(list.Slot(17)), u"Extra");
}

TEST(RegistryValueList, RemovalLeavesAHoleThatTheNextAddFills) {
    RegistryValueList list;
    ASSERT_TRUE(list.Add(NewDword(u"A", 1)) && list.Add(NewDword(u"B", 2)) &&
                list.Add(NewDword(u"C", 3)));
    ASSERT_TRUE(list.RemoveValue(u"B"));
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(Slots(list), (std::vector<std::u16string>{u"A", u"", u"C", u"", u""}));
    EXPECT_FALSE(list.RemoveValue(u"B"));
    EXPECT_FALSE(list.RemoveValue(nullptr));
    ASSERT_TRUE(list.Add(NewDword(u"D", 4)));
    EXPECT_EQ(Slots(list), (std::vector<std::u16string>{u"A", u"D", u"C", u"", u""}));
    ExpectConsistent(list);
}

TEST(RegistryValueList, DuplicateNameIsRefusedAndStaysTheCallers) {
    RegistryValueList list;
    for (const char16_t* n : {u"A", u"B", u"C", u"D", u"E"}) ASSERT_TRUE(list.Add(NewDword(n, 1)));
    // The list is full: a refused duplicate must not grow it either.
    for (const char16_t* same : {u"C", u"c"}) {
        RegistryValue* duplicate = NewDword(same, 99);
        EXPECT_FALSE(list.Add(duplicate));
        EXPECT_EQ(DwordOf(duplicate), 99u);
        delete duplicate;
    }
    EXPECT_EQ(list.Count(), 5);
    EXPECT_EQ(list.Capacity(), 5);
    EXPECT_EQ(DwordOf(list.Slot(2)), 1u);
    EXPECT_FALSE(list.Add(nullptr));
}

TEST(RegistryValueList, ClearKeepsCapacity) {
    RegistryValueList list;
    for (int i = 0; i < 6; ++i) {
        char16_t name[4];
        plat::WStrFormatN(name, 4, u"%d", i);
        ASSERT_TRUE(list.Add(NewDword(name, i)));
    }
    EXPECT_TRUE(list.Clear());
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 10);
    ASSERT_TRUE(list.Add(NewDword(u"X", 1)));
    EXPECT_EQ(NameOf(list.Slot(0)), u"X");
}

TEST(RegistryValueList, FindCopyIsIndependent) {
    RegistryValueList list;
    ASSERT_TRUE(list.Add(NewDword(u"Rate", 115200)));
    RegistryValue* copy = nullptr;
    ASSERT_TRUE(list.FindCopy(u"rate", &copy));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, list.Slot(0));
    EXPECT_NE(copy->Data(), list.Slot(0)->Data());
    EXPECT_EQ(DwordOf(copy), 115200u);
    delete copy;
    EXPECT_EQ(DwordOf(list.Slot(0)), 115200u);
    // The copy can be filed in another list while the original stays here.
    ASSERT_TRUE(list.FindCopy(u"Rate", &copy));
    RegistryValueList other;
    ASSERT_TRUE(other.Add(copy));
    EXPECT_EQ(list.Count(), 1);

    RegistryValue* untouched = reinterpret_cast<RegistryValue*>(0x1);
    EXPECT_FALSE(list.FindCopy(u"Missing", &untouched));
    EXPECT_EQ(untouched, reinterpret_cast<RegistryValue*>(0x1));
    EXPECT_FALSE(list.FindCopy(u"Rate", nullptr));
}

// ---------------------------------------------------------------------------------------------
// Merge

struct MergeCase {
    const char* name;
    bool replace;
    uint32_t sharedValue;  // the value of B after the merge
};

class MergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTest, SharedNamesFollowReplaceAndOthersStay) {
    RegistryValueList held, other;
    ASSERT_TRUE(held.Add(NewDword(u"A", 1)) && held.Add(NewDword(u"B", 2)));
    ASSERT_TRUE(other.Add(NewDword(u"b", 20)) && other.Add(NewDword(u"C", 30)));
    EXPECT_TRUE(held.Merge(other, GetParam().replace));
    ExpectConsistent(held);
    EXPECT_EQ(held.Count(), 3);
    RegistryValue* value = nullptr;
    for (auto [name, number] :
         {std::pair{u"A", 1u}, std::pair{u"B", GetParam().sharedValue}, std::pair{u"C", 30u}}) {
        ASSERT_TRUE(held.FindCopy(name, &value)) << std::string(name, name + 1);
        EXPECT_EQ(DwordOf(value), number);
        delete value;
    }
    // The other list is not changed.
    EXPECT_EQ(other.Count(), 2);
    EXPECT_EQ(DwordOf(other.Slot(0)), 20u);
}

INSTANTIATE_TEST_SUITE_P(Modes, MergeTest,
                         ::testing::Values(MergeCase{"KeepHeld", false, 2},
                                           MergeCase{"Replace", true, 20}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RegistryValueListMerge, IntoItselfChangesNothing) {
    RegistryValueList list;
    ASSERT_TRUE(list.Add(NewDword(u"A", 1)) && list.Add(NewDword(u"B", 2)));
    EXPECT_TRUE(list.Merge(list, 1));
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(DwordOf(list.Slot(0)), 1u);
    EXPECT_EQ(DwordOf(list.Slot(1)), 2u);
}

// ---------------------------------------------------------------------------------------------
// Keys: OpenKey, ReadAll, WriteAll

TEST_F(RegistryTest, OpenKeyCreatesAMissingKeyAndReplacesTheHeldOne) {
    RegistryValueList list;
    const plat::KeyHandle root = OpenTestKey();
    ASSERT_TRUE(list.OpenKey(root, u"Sub"));
    EXPECT_TRUE(sim::reg::KeyExists(u"Tests\\Support\\Sub"));
    ASSERT_TRUE(list.Add(NewDword(u"V", 1)));
    const size_t handles = sim::LiveHandles().size();
    ASSERT_TRUE(list.OpenKey(root, u"Other"));
    EXPECT_EQ(sim::LiveHandles().size(), handles) << "the first key was not closed";
    EXPECT_EQ(list.Count(), 1);  // values are not touched
    ASSERT_TRUE(list.WriteAll());
    EXPECT_EQ(sim::reg::GetDword(u"Tests\\Support\\Other", u"V"), 1u);
    EXPECT_FALSE(sim::reg::GetDword(u"Tests\\Support\\Sub", u"V").has_value());
    EXPECT_FALSE(list.OpenKey(root, nullptr));
    EXPECT_EQ(list.Key(), nullptr);
    plat::RegCloseKey(root);
}

TEST_F(RegistryTest, ReadAllOfAnEmptyKeyAndWithoutKey) {
    RegistryValueList list;
    EXPECT_FALSE(list.ReadAll());
    ASSERT_TRUE(list.Add(NewDword(u"Stale", 1)));
    const plat::KeyHandle root = OpenTestKey();
    ASSERT_TRUE(list.OpenKey(root, u"Empty"));
    EXPECT_TRUE(list.ReadAll());
    EXPECT_EQ(list.Count(), 0);  // replaced by the key's (no) values
    plat::RegCloseKey(root);
}

TEST_F(RegistryTest, ReadAllHoldsEveryValueInEnumerationOrder) {
    const uint8_t blob[3] = {1, 2, 3};
    const uint32_t dword = 7;
    ASSERT_TRUE(sim::reg::SetString(kTestKey, u"Name", u"COM"));
    ASSERT_TRUE(sim::reg::SetDword(kTestKey, u"Index", dword));
    ASSERT_TRUE(sim::reg::SetBinary(kTestKey, u"Blob", blob));
    ASSERT_TRUE(sim::reg::SetMultiString(kTestKey, u"List", {u"a", u"bc"}));
    ASSERT_TRUE(sim::reg::SetBinary(kTestKey, u"Nothing", {}));
    RegistryValueList list;
    ASSERT_TRUE(list.OpenKey(plat::kLocalMachineRoot, kTestKey));
    ASSERT_TRUE(list.ReadAll());
    const auto values = sim::reg::Values(kTestKey);
    ASSERT_EQ(list.Count(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        const RegistryValue* held = list.Slot(static_cast<uint32_t>(i));
        ASSERT_NE(held, nullptr);
        EXPECT_EQ(NameOf(held), values[i].name);
        EXPECT_EQ(held->GetType(), values[i].type);
        ASSERT_EQ(held->GetLength(), values[i].data.size());
        if (held->GetLength() != 0) {
            EXPECT_EQ(std::memcmp(held->Data(), values[i].data.data(), held->GetLength()), 0);
        }
    }
}

TEST_F(RegistryTest, ReadAllWithOneUnreadableValueHoldsTheOthers) {
    for (uint32_t i = 0; i < 3; ++i) {
        char16_t name[4];
        plat::WStrFormatN(name, 4, u"V%d", static_cast<int>(i));
        ASSERT_TRUE(sim::reg::SetDword(kTestKey, name, i));
    }
    RegistryValueList list;
    ASSERT_TRUE(list.OpenKey(plat::kLocalMachineRoot, kTestKey));
    // Each value costs a size step and a data step: the third registry call from here is the
    // size step of V1.
    sim::FailNth(FailKind::Registry, 3);
    EXPECT_FALSE(list.ReadAll());
    sim::DisarmAllFailures();
    EXPECT_EQ(Slots(list), (std::vector<std::u16string>{u"V0", u"V2", u"", u"", u""}));
    ExpectConsistent(list);
}

TEST_F(RegistryTest, WriteAllWritesEveryValueAndDeletesNothing) {
    ASSERT_TRUE(sim::reg::SetDword(kTestKey, u"Kept", 9));
    ASSERT_TRUE(sim::reg::SetDword(kTestKey, u"Over", 1));
    RegistryValueList list;
    const char16_t text[] = u"xyz";
    ASSERT_TRUE(list.Add(NewDword(u"Over", 2)));
    ASSERT_TRUE(
        list.Add(new (std::nothrow) RegistryValue(u"Text", plat::kRegString, text, sizeof(text))));
    EXPECT_FALSE(list.WriteAll()) << "no key is held";
    EXPECT_EQ(sim::reg::GetDword(kTestKey, u"Over"), 1u);
    EXPECT_FALSE(sim::reg::GetValue(kTestKey, u"Text").has_value());

    ASSERT_TRUE(list.OpenKey(plat::kLocalMachineRoot, kTestKey));
    EXPECT_TRUE(list.WriteAll());
    EXPECT_EQ(sim::reg::GetDword(kTestKey, u"Kept"), 9u);
    EXPECT_EQ(sim::reg::GetDword(kTestKey, u"Over"), 2u);
    EXPECT_EQ(sim::reg::GetString(kTestKey, u"Text"), u"xyz");
}

TEST_F(RegistryTest, WriteAllGoesOnAfterAFailedWrite) {
    RegistryValueList list;
    ASSERT_TRUE(list.OpenKey(plat::kLocalMachineRoot, kTestKey));
    ASSERT_TRUE(list.Add(NewDword(u"First", 1)) && list.Add(NewDword(u"Second", 2)));
    sim::FailNth(FailKind::Registry, 1);
    EXPECT_FALSE(list.WriteAll());
    sim::DisarmAllFailures();
    EXPECT_FALSE(sim::reg::GetValue(kTestKey, u"First").has_value());
    EXPECT_EQ(sim::reg::GetDword(kTestKey, u"Second"), 2u);
}

// ---------------------------------------------------------------------------------------------
// Failed allocations: every operation, hit at every allocation in turn, leaves the list
// consistent, loses no value it held, and leaks nothing.

struct FailureCase {
    const char* name;
    // Runs the operation on a list that holds A=1 .. E=5 and is bound to the test key.
    plat::Bool (*operation)(RegistryValueList& list, const RegistryValueList& other);
};

const FailureCase kFailureCases[] = {
    {"AddCopyThatGrows",
     [](RegistryValueList& list, const RegistryValueList&) {
         const uint32_t six = 6;
         RegistryValue value(u"F", plat::kRegDword, &six, sizeof(six));
         return list.AddCopy(value);
     }},
    {"MergeReplace",
     [](RegistryValueList& list, const RegistryValueList& other) {
         // Merge reports no per-value failure: success is that every value arrived.
         list.Merge(other, 1);
         const RegistryValue* b = nullptr;
         for (uint32_t i = 0; i < list.Capacity(); ++i) {
             const RegistryValue* v = list.Slot(i);
             if (v != nullptr && NameOf(v) == u"B") b = v;
         }
         return plat::Bool{list.Count() == 7 && b != nullptr && DwordOf(b) == 20};
     }},
    {"FindCopy",
     [](RegistryValueList& list, const RegistryValueList&) {
         RegistryValue* copy = nullptr;
         const plat::Bool found = list.FindCopy(u"C", &copy);
         delete copy;
         return found;
     }},
    {"ReadAll", [](RegistryValueList& list, const RegistryValueList&) { return list.ReadAll(); }},
};

class AllocationFailure : public RegistryTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(AllocationFailure, LeavesTheListConsistentAndLeaksNothing) {
    for (const char16_t* name : {u"K1", u"K2", u"K3"}) {
        ASSERT_TRUE(sim::reg::SetString(kTestKey, name, u"value"));
    }
    bool succeeded = false;
    uint64_t failedRuns = 0;
    for (uint64_t n = 1; n < 200 && !succeeded; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        const sim::AllocationStats live = sim::LiveAllocations();
        {
            RegistryValueList list, other;
            ASSERT_TRUE(list.OpenKey(plat::kLocalMachineRoot, kTestKey));
            const char16_t* names[] = {u"A", u"B", u"C", u"D", u"E"};
            for (uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(list.Add(NewDword(names[i], i + 1)));
            ASSERT_TRUE(other.Add(NewDword(u"B", 20)) && other.Add(NewDword(u"X", 30)) &&
                        other.Add(NewDword(u"Y", 40)));

            sim::FailNth(FailKind::Allocation, n);
            succeeded = GetParam().operation(list, other) != 0;
            if (!succeeded) ++failedRuns;
            sim::DisarmAllFailures();

            ExpectConsistent(list);
            if (std::string(GetParam().name) != "ReadAll") {
                // No value held before is lost, whatever failed.
                RegistryValue* copy = nullptr;
                for (const char16_t* name : names) {
                    EXPECT_TRUE(list.FindCopy(name, &copy));
                    delete copy;
                }
            }
        }
        const sim::AllocationStats after = sim::LiveAllocations();
        EXPECT_EQ(after.blocks, live.blocks) << "an allocation leaked";
        EXPECT_EQ(after.bytes, live.bytes);
    }
    EXPECT_TRUE(succeeded) << "the operation never succeeded";
    EXPECT_GT(failedRuns, 0u) << "no injected failure reached the operation";
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationFailure, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zel
