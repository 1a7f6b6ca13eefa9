// Sequences of RegistryValueList operations on two lists bound to two registry keys, with the
// registry changed under them and platform failures injected. Every list stays consistent
// (count = held slots, names unique ignoring case, every held value complete); as long as no
// failure has been injected each result and each list's content follow a plain model of a
// list of uniquely named values; and once the lists are gone nothing allocated through the
// platform or any handle is left.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"
#include "support/registry.h"

namespace {

using zel::RegistryValue;
using zel::RegistryValueList;

[[noreturn]] void Fault(const std::string& what) {
    std::fprintf(stderr, "value_list_fuzz: %s\n", what.c_str());
    std::abort();
}

void Expect(bool holds, const char* what) {
    if (!holds) Fault(what);
}

constexpr const char16_t* kKeyPaths[] = {u"Fuzz\\ListA", u"Fuzz\\ListB"};
// Names that collide ignoring case, the default value's empty name, and a long one.
const std::u16string kNames[] = {
    u"Alpha", u"ALPHA", u"alpha", u"Beta", u"Gamma", u"", u"PortProp1", u"NumPorts",
    std::u16string(300, u'n'),
};
constexpr uint32_t kTypes[] = {plat::kRegString, plat::kRegBinary, plat::kRegDword,
                               plat::kRegMultiString, 0, 0x7FFFFFFF};

struct Held {
    std::u16string name;
    uint32_t type;
    std::vector<uint8_t> data;
};

// What a list holds, in no particular order; names unique ignoring case.
using Model = std::vector<Held>;

bool SameName(const std::u16string& a, const std::u16string& b) {
    return plat::WStrICmp(a.c_str(), b.c_str()) == 0;
}

Held* FindIn(Model& model, const std::u16string& name) {
    for (Held& h : model) {
        if (SameName(h.name, name)) return &h;
    }
    return nullptr;
}

// An injected failure hits one call only: the second attempt gets the object.
std::unique_ptr<RegistryValueList> NewList() {
    std::unique_ptr<RegistryValueList> list(new (std::nothrow) RegistryValueList());
    if (list == nullptr) list.reset(new (std::nothrow) RegistryValueList());
    if (list == nullptr) Fault("no memory for a list");
    return list;
}

struct ListState {
    std::unique_ptr<RegistryValueList> list = NewList();
    Model model;
    bool modelKnown = true;       // false once a failure may have changed the list unseen
    int key = -1;                 // index into kKeyPaths of the bound key, -1 for none
    bool keyDeleted = false;      // the bound key was deleted under the open handle
};

Held HeldOf(const RegistryValue& v) {
    const uint8_t* d = v.Data();
    return Held{std::u16string(v.GetName()), v.GetType(),
                d != nullptr ? std::vector<uint8_t>(d, d + v.GetLength()) : std::vector<uint8_t>{}};
}

bool Equal(const Held& a, const Held& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

void CheckConsistent(const ListState& s) {
    const RegistryValueList& list = *s.list;
    uint32_t held = 0;
    for (uint32_t i = 0; i < list.Capacity(); ++i) {
        const RegistryValue* v = list.Slot(i);
        if (v == nullptr) continue;
        ++held;
        Expect(v->IsComplete(), "an incomplete value is held");
        Expect(v->GetNameLength() == plat::WStrLen(v->GetName()) + 1, "name length is off");
        for (uint32_t j = 0; j < i; ++j) {
            const RegistryValue* w = list.Slot(j);
            if (w != nullptr) Expect(plat::WStrICmp(w->GetName(), v->GetName()) != 0,
                                     "two held values share a name");
        }
    }
    Expect(held == list.Count(), "count differs from the held slots");
    Expect(list.Slot(list.Capacity()) == nullptr, "a slot past the capacity");
    if (!s.modelKnown) return;
    Expect(held == s.model.size(), "count differs from the model");
    Model model = s.model;
    for (uint32_t i = 0; i < list.Capacity(); ++i) {
        const RegistryValue* v = list.Slot(i);
        if (v == nullptr) continue;
        const Held* m = FindIn(model, std::u16string(v->GetName()));
        Expect(m != nullptr && Equal(*m, HeldOf(*v)), "a held value differs from the model");
    }
}

// Adds to the model as Add would; the expected result.
bool ModelAdd(Model& model, const Held& value) {
    if (FindIn(model, value.name) != nullptr || model.size() >= 255) return false;
    model.push_back(value);
    return true;
}

void ModelRemove(Model& model, const std::u16string& name) {
    for (size_t i = 0; i < model.size(); ++i) {
        if (SameName(model[i].name, name)) {
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

class Sequence {
  public:
    explicit Sequence(FuzzedDataProvider& in) : in_(in) {}

    void Run() {
        for (int step = 0; step < 64 && in_.remaining_bytes() > 0; ++step) {
            Step();
            for (const ListState& s : lists_) CheckConsistent(s);
        }
    }

  private:
    ListState& PickList() { return lists_[in_.ConsumeBool() ? 1 : 0]; }

    std::optional<std::u16string> PickName() {
        const uint8_t pick = in_.ConsumeIntegral<uint8_t>();
        if (pick < 200) return kNames[pick % std::size(kNames)];
        if (pick < 250) {
            std::u16string name;
            for (char c : in_.ConsumeRandomLengthString(12)) {
                if (c != 0) name.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
            }
            return name;
        }
        return std::nullopt;  // a null name
    }

    // A value made from the input: sometimes without a name or without its bytes.
    RegistryValue* MakeValue(std::optional<Held>* made) {
        const std::optional<std::u16string> name = PickName();
        const uint32_t type = kTypes[in_.ConsumeIntegralInRange<size_t>(0, std::size(kTypes) - 1)];
        std::vector<uint8_t> data = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(0, 40));
        const bool nullData = !data.empty() && in_.ConsumeIntegralInRange(0, 15) == 0;
        RegistryValue* v = nullptr;
        for (int attempt = 0; attempt < 2 && v == nullptr; ++attempt) {
            v = new (std::nothrow) RegistryValue(name ? name->c_str() : nullptr, type,
                                                 nullData ? nullptr : data.data(),
                                                 static_cast<uint32_t>(data.size()));
        }
        Expect(v != nullptr, "no memory for a value");
        if (name && !nullData) *made = Held{*name, type, data};
        if (!injected_) Expect(v->IsComplete() == made->has_value(), "IsComplete is wrong");
        // An injected failure may have left the value without its name or bytes.
        if (!v->IsComplete()) made->reset();
        return v;
    }

    void Step() {
        ListState& s = PickList();
        RegistryValueList& list = *s.list;
        const bool known = s.modelKnown && !injected_;
        switch (in_.ConsumeIntegralInRange(0, 12)) {
            case 0: {  // Add
                std::optional<Held> held;
                RegistryValue* v = MakeValue(&held);
                const bool added = list.Add(v);
                if (!added) delete v;
                if (!held) {
                    Expect(!added, "an incomplete value was added");
                } else if (s.modelKnown) {
                    const bool expected = ModelAdd(s.model, *held);
                    if (known) Expect(added == expected, "Add gave another result than expected");
                    if (added != expected) s.modelKnown = false;
                }
                break;
            }
            case 1: {  // AddCopy
                std::optional<Held> held;
                std::unique_ptr<RegistryValue> v(MakeValue(&held));
                const bool added = list.AddCopy(*v);
                if (!held) {
                    Expect(!added, "a copy of an incomplete value was added");
                } else if (s.modelKnown) {
                    const bool expected = ModelAdd(s.model, *held);
                    if (known) Expect(added == expected, "AddCopy gave another result");
                    if (added != expected) s.modelKnown = false;
                }
                break;
            }
            case 2: {  // RemoveValue
                const std::optional<std::u16string> name = PickName();
                const bool removed = list.RemoveValue(name ? name->c_str() : nullptr);
                if (s.modelKnown) {
                    const bool expected = name && FindIn(s.model, *name) != nullptr;
                    Expect(removed == expected, "RemoveValue gave another result");
                    if (name) ModelRemove(s.model, *name);
                }
                break;
            }
            case 3:  // Clear
                Expect(list.Clear() == 1, "Clear failed");
                s.model.clear();
                s.modelKnown = true;
                break;
            case 4: {  // FindCopy
                const std::optional<std::u16string> name = PickName();
                RegistryValue* copy = nullptr;
                const bool found = list.FindCopy(name ? name->c_str() : nullptr,
                                                 in_.ConsumeIntegralInRange(0, 15) == 0 ? nullptr
                                                                                        : &copy);
                if (found) {
                    Expect(name && copy != nullptr && copy->IsComplete(), "FindCopy gave no copy");
                    if (s.modelKnown) {
                        const Held* m = FindIn(s.model, *name);
                        Expect(m != nullptr && Equal(*m, HeldOf(*copy)), "FindCopy copy differs");
                    }
                    CheckGetData(*copy);
                    delete copy;
                } else if (known && copy != nullptr) {
                    Fault("FindCopy failed but set a copy");
                }
                break;
            }
            case 5: {  // Merge
                ListState& other = in_.ConsumeIntegralInRange(0, 3) == 0 ? s : PickList();
                const bool replace = in_.ConsumeBool();
                const bool merged = list.Merge(*other.list, replace);
                // Only a list whose slots could not be allocated refuses to merge.
                Expect(merged == 1 || (list.Capacity() == 0 || other.list->Capacity() == 0),
                       "Merge failed");
                if (!merged || &other == &s) break;
                if (!other.modelKnown) {
                    s.modelKnown = false;
                    break;
                }
                if (!s.modelKnown) break;
                // Other's values in its slot order, as Merge takes them.
                for (uint32_t i = 0; i < other.list->Capacity(); ++i) {
                    const RegistryValue* v = other.list->Slot(i);
                    if (v == nullptr) continue;
                    const Held incoming = HeldOf(*v);
                    if (replace) ModelRemove(s.model, incoming.name);
                    ModelAdd(s.model, incoming);
                }
                if (injected_) s.modelKnown = false;
                break;
            }
            case 6: {  // OpenKey
                const uint8_t pick = in_.ConsumeIntegralInRange(0, 2);
                const bool opened =
                    list.OpenKey(plat::kLocalMachineRoot, pick < 2 ? kKeyPaths[pick] : nullptr);
                if (known) Expect(opened == (pick < 2), "OpenKey gave another result");
                s.key = opened ? pick : -1;
                s.keyDeleted = false;
                break;
            }
            case 7: {  // ReadAll
                const bool read = list.ReadAll();
                if (s.key < 0) {
                    Expect(!read, "ReadAll without a key succeeded");
                    break;
                }
                if (!read) {
                    // A refused ReadAll keeps what it did read; only the count rule holds.
                    s.modelKnown = false;
                    if (known && !s.keyDeleted) Fault("ReadAll of a live key failed");
                    break;
                }
                Expect(!known || !s.keyDeleted, "ReadAll of a deleted key succeeded");
                s.model.clear();
                for (const sim::reg::Value& v : sim::reg::Values(kKeyPaths[s.key]))
                    s.model.push_back(Held{v.name, v.type, v.data});
                s.modelKnown = !injected_;
                break;
            }
            case 8: {  // WriteAll
                const bool written = list.WriteAll();
                if (s.key < 0) {
                    Expect(!written, "WriteAll without a key succeeded");
                    break;
                }
                if (!known) break;
                // Nothing to write succeeds even on a deleted key.
                Expect(written == (!s.keyDeleted || s.model.empty()), "WriteAll gave another result");
                if (s.keyDeleted) break;
                for (const Held& h : s.model) {
                    const std::optional<sim::reg::Value> v = sim::reg::GetValue(kKeyPaths[s.key], h.name);
                    Expect(v && v->type == h.type && v->data == h.data, "WriteAll wrote another value");
                }
                break;
            }
            case 9: {  // the registry changes under the lists
                const int path = in_.ConsumeBool() ? 1 : 0;
                switch (in_.ConsumeIntegralInRange(0, 3)) {
                    case 0:
                    case 1: {
                        const std::optional<std::u16string> name = PickName();
                        const std::vector<uint8_t> data =
                            in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(0, 16));
                        // A key holds few values: ReadAll's capacity is not what is tested here.
                        if (name && sim::reg::Values(kKeyPaths[path]).size() < 32) {
                            sim::reg::SetValue(kKeyPaths[path], *name, plat::kRegBinary, data);
                        }
                        break;
                    }
                    case 2: {
                        const std::optional<std::u16string> name = PickName();
                        if (name) sim::reg::DeleteValue(kKeyPaths[path], *name);
                        break;
                    }
                    case 3:
                        if (sim::reg::DeleteKeyTree(kKeyPaths[path])) {
                            for (ListState& l : lists_) {
                                if (l.key == path) l.keyDeleted = true;
                            }
                        }
                        break;
                }
                break;
            }
            case 10: {  // a platform failure from now on
                static constexpr sim::FailKind kKinds[] = {sim::FailKind::Allocation,
                                                           sim::FailKind::Handle,
                                                           sim::FailKind::Registry};
                sim::FailNth(kKinds[in_.ConsumeIntegralInRange(0, 2)],
                             in_.ConsumeIntegralInRange(1, 8));
                injected_ = true;
                break;
            }
            case 11: {  // every held value's data through GetData
                for (uint32_t i = 0; i < list.Capacity(); ++i) {
                    if (const RegistryValue* v = list.Slot(i)) CheckGetData(*v);
                }
                break;
            }
            case 12:  // a fresh list in place of the old one
                s.list = NewList();
                s.model.clear();
                s.modelKnown = true;
                s.key = -1;
                s.keyDeleted = false;
                break;
        }
    }

    // GetData's size query, a short buffer and an exact one.
    void CheckGetData(const RegistryValue& v) {
        const uint32_t length = v.GetLength();
        uint32_t size = 0;
        Expect(v.GetData(nullptr, nullptr) == 0, "GetData without a size succeeded");
        if (length == 0) {
            Expect(v.GetData(nullptr, &size) == 0, "GetData of an empty value succeeded");
            return;
        }
        Expect(v.GetData(nullptr, &size) == 1 && size == length, "size query is wrong");
        std::vector<uint8_t> buffer(length);
        size = length - 1;
        Expect(v.GetData(buffer.data(), &size) == 0 && size == length, "short buffer accepted");
        size = length;
        Expect(v.GetData(buffer.data(), &size) == 1 && size == length, "exact buffer refused");
        Expect(std::equal(buffer.begin(), buffer.end(), v.Data()), "GetData copied other bytes");
    }

    FuzzedDataProvider& in_;
    ListState lists_[2];
    bool injected_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::DisarmAllFailures();
    sim::reg::DeleteKeyTree(u"Fuzz");
    const sim::AllocationStats before = sim::LiveAllocations();
    const size_t handlesBefore = sim::LiveHandles().size();
    {
        FuzzedDataProvider in(data, size);
        Sequence(in).Run();
    }
    sim::DisarmAllFailures();
    const sim::AllocationStats after = sim::LiveAllocations();
    if (after.blocks != before.blocks || after.bytes != before.bytes) {
        Fault("platform allocations left: " + std::to_string(after.blocks - before.blocks));
    }
    if (sim::LiveHandles().size() != handlesBefore) Fault("handles left");
    sim::reg::DeleteKeyTree(u"Fuzz");
    return 0;
}
