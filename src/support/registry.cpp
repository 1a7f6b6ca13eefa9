#include "support/registry.h"

namespace zel {

namespace {

// Longest value name the registry allows, in characters without the terminator.
constexpr uint32_t kMaxValueNameChars = 16383;
// Capacity of a new list and the step by which it grows.
constexpr uint32_t kSlotStep = 5;
constexpr uint32_t kMaxSlots = 255;
// ReadAll gives up after this many indices in a row could not be read: a key whose handle
// went bad answers every index with the same error and would otherwise be enumerated forever.
// No key this driver reads comes near it (a list holds at most 255 values).
constexpr uint32_t kMaxConsecutiveEnumFailures = 256;

// Copy of a byte range in a new platform buffer; null when bytes is 0 or allocation fails.
uint8_t* CopyBytes(const void* source, size_t bytes) {
    if (bytes == 0 || source == nullptr) return nullptr;
    auto* copy = static_cast<uint8_t*>(plat::MemAlloc(0, bytes));
    if (copy != nullptr) plat::MemMove(copy, source, bytes);
    return copy;
}

// Platform buffer of at least one byte, so that zero-sized values still get a buffer.
uint8_t* AllocBuffer(uint32_t bytes) {
    return static_cast<uint8_t*>(plat::MemAlloc(0, bytes != 0 ? bytes : 1));
}

void FreeBuffer(void* buffer) {
    if (buffer != nullptr) plat::MemFree(buffer);
}

bool SameName(const plat::WChar* a, const plat::WChar* b) {
    // Case is ignored, as the registry itself ignores it: a list then never holds two values
    // that would land on one registry value.
    return a != nullptr && b != nullptr && plat::WStrICmp(a, b) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// RegistryKey

RegistryKey::RegistryKey(plat::KeyHandle parent, const plat::WChar* subKey) {
    if (subKey == nullptr) return;
    plat::KeyHandle opened = 0;
    if (plat::RegOpenKey(parent, subKey, 0, 0, &opened) == plat::kSuccess) handle = opened;
}

RegistryKey::RegistryKey(plat::KeyHandle parent, const plat::WChar* subKey, uint32_t* disposition) {
    if (subKey == nullptr) return;
    plat::KeyHandle opened = 0;
    if (plat::RegCreateKey(parent, subKey, 0, nullptr, 0, 0, nullptr, &opened, disposition) ==
        plat::kSuccess) {
        handle = opened;
    }
}

RegistryKey::~RegistryKey() {
    if (handle != 0) plat::RegCloseKey(handle);
}

plat::Bool RegistryKey::SetValue(const plat::WChar* valueName, uint32_t valueType,
                                 const void* valueData, uint32_t valueLength) {
    return plat::RegSetValue(handle, valueName, 0, valueType,
                             static_cast<const uint8_t*>(valueData), valueLength) == plat::kSuccess;
}

// ---------------------------------------------------------------------------------------------
// RegistryValue

RegistryValue::RegistryValue(const plat::WChar* valueName, uint32_t valueType,
                             const void* valueData, uint32_t valueLength)
    : type(valueType), length(valueLength) {
    if (valueName != nullptr) {
        nameLength = static_cast<uint32_t>(plat::WStrLen(valueName)) + 1;
        name =
            reinterpret_cast<plat::WChar*>(CopyBytes(valueName, nameLength * sizeof(plat::WChar)));
    }
    data = CopyBytes(valueData, length);
}

RegistryValue::RegistryValue(const RegistryValue& other)
    : RegistryValue(other.name, other.type, other.data, other.length) {
    // An incomplete original keeps its recorded lengths in the copy.
    nameLength = other.nameLength;
}

RegistryValue::~RegistryValue() {
    FreeBuffer(name);
    FreeBuffer(data);
}

plat::Bool RegistryValue::GetData(void* buffer, uint32_t* size) const {
    if (length == 0 || data == nullptr) return 0;
    if (size == nullptr) return 0;
    if (buffer == nullptr) {
        *size = length;
        return 1;
    }
    if (*size < length) {
        *size = length;
        return 0;
    }
    plat::MemMove(buffer, data, length);
    *size = length;
    return 1;
}

RegistryValue* ReadRegistryValue(plat::KeyHandle key, const plat::WChar* name) {
    if (name == nullptr) return nullptr;
    uint32_t size = 0;
    if (plat::RegQueryValue(key, name, nullptr, nullptr, nullptr, &size) != plat::kSuccess) {
        return nullptr;
    }
    uint8_t* buffer = AllocBuffer(size);
    if (buffer == nullptr) return nullptr;
    uint32_t type = 0;
    if (plat::RegQueryValue(key, name, nullptr, &type, buffer, &size) != plat::kSuccess) {
        FreeBuffer(buffer);
        return nullptr;
    }
    auto* value = new (std::nothrow) RegistryValue(name, type, buffer, size);
    FreeBuffer(buffer);
    if (value != nullptr && !value->IsComplete()) {
        delete value;
        value = nullptr;
    }
    return value;
}

// ---------------------------------------------------------------------------------------------
// RegistryValueList

RegistryValueList::RegistryValueList() {
    slots = static_cast<RegistryValue**>(
        plat::MemAlloc(plat::kMemZeroInit, kSlotStep * sizeof(RegistryValue*)));
    if (slots != nullptr) capacity = kSlotStep;
}

RegistryValueList::~RegistryValueList() {
    delete key;
    Clear();
    FreeBuffer(slots);
}

plat::Bool RegistryValueList::OpenKey(plat::KeyHandle parent, const plat::WChar* subKey) {
    delete key;
    key = nullptr;
    uint32_t disposition = 0;
    auto* opened = new (std::nothrow) RegistryKey(parent, subKey, &disposition);
    if (opened == nullptr) return 0;
    if (!opened->IsOpen()) {
        delete opened;
        return 0;
    }
    key = opened;
    return 1;
}

int RegistryValueList::FindSlot(const plat::WChar* wanted) const {
    if (slots == nullptr) return -1;
    for (uint32_t i = 0; i < capacity; ++i) {
        if (slots[i] != nullptr && SameName(slots[i]->GetName(), wanted))
            return static_cast<int>(i);
    }
    return -1;
}

RegistryValue* RegistryValueList::FindHeld(const plat::WChar* wanted) const {
    const int slot = FindSlot(wanted);
    return slot < 0 ? nullptr : slots[slot];
}

plat::Bool RegistryValueList::Add(RegistryValue* value) {
    if (value == nullptr || slots == nullptr || !value->IsComplete()) return 0;
    // Refused before any growth, so a refused value leaves the list exactly as it was.
    if (FindHeld(value->GetName()) != nullptr) return 0;
    if (count == capacity) {
        if (capacity + kSlotStep > kMaxSlots) return 0;
        const uint32_t grown = capacity + kSlotStep;
        auto* larger = static_cast<RegistryValue**>(
            plat::MemAlloc(plat::kMemZeroInit, grown * sizeof(RegistryValue*)));
        if (larger == nullptr) return 0;
        for (uint32_t i = 0; i < count; ++i) larger[i] = slots[i];
        FreeBuffer(slots);
        slots = larger;
        capacity = static_cast<uint8_t>(grown);
    }
    for (uint32_t i = 0; i < capacity; ++i) {
        if (slots[i] == nullptr) {
            slots[i] = value;
            ++count;
            return 1;
        }
    }
    return 0;
}

plat::Bool RegistryValueList::AddCopy(const RegistryValue& value) {
    auto* copy = new (std::nothrow) RegistryValue(value);
    if (copy == nullptr) return 0;
    if (!Add(copy)) {
        delete copy;
        return 0;
    }
    return 1;
}

plat::Bool RegistryValueList::RemoveValue(const plat::WChar* wanted) {
    const int slot = FindSlot(wanted);
    if (slot < 0) return 0;
    delete slots[slot];
    slots[slot] = nullptr;
    --count;
    return 1;
}

plat::Bool RegistryValueList::Clear() {
    if (slots != nullptr) {
        for (uint32_t i = 0; i < capacity; ++i) {
            delete slots[i];
            slots[i] = nullptr;
        }
    }
    count = 0;
    return 1;
}

plat::Bool RegistryValueList::FindCopy(const plat::WChar* wanted, RegistryValue** copy) const {
    if (copy == nullptr) return 0;
    const RegistryValue* held = FindHeld(wanted);
    if (held == nullptr) return 0;
    auto* made = new (std::nothrow) RegistryValue(*held);
    if (made != nullptr && !made->IsComplete()) {
        delete made;
        made = nullptr;
    }
    *copy = made;
    return made != nullptr;
}

plat::Bool RegistryValueList::Merge(const RegistryValueList& other, plat::Bool replace) {
    if (slots == nullptr || other.slots == nullptr) return 0;
    // Merging a list into itself changes nothing; with replace it would free each value
    // before copying it.
    if (&other == this) return 1;
    for (uint32_t i = 0; i < other.capacity; ++i) {
        const RegistryValue* incoming = other.slots[i];
        if (incoming == nullptr) continue;
        // The copy is made before the held value goes, so a failed allocation never loses a
        // value that was held.
        auto* copy = new (std::nothrow) RegistryValue(*incoming);
        if (copy == nullptr) continue;
        if (replace && copy->IsComplete()) RemoveValue(copy->GetName());
        if (!Add(copy)) delete copy;
    }
    return 1;
}

plat::Bool RegistryValueList::ReadAll() {
    if (key == nullptr) return 0;
    auto* nameBuffer =
        static_cast<plat::WChar*>(plat::MemAlloc(0, kMaxValueNameChars * sizeof(plat::WChar)));
    if (nameBuffer == nullptr) return 0;
    Clear();
    plat::Bool result = 1;
    uint32_t failuresInRow = 0;
    for (uint32_t index = 0; failuresInRow < kMaxConsecutiveEnumFailures; ++index) {
        // Size step: the name and the size of the data.
        uint32_t nameChars = kMaxValueNameChars;
        uint32_t dataSize = 0;
        uint32_t status = plat::RegEnumValue(key->Handle(), index, nameBuffer, &nameChars, nullptr,
                                             nullptr, nullptr, &dataSize);
        if (status == plat::kErrorNoMoreItems) break;
        uint8_t* dataBuffer = status == plat::kSuccess ? AllocBuffer(dataSize) : nullptr;
        if (dataBuffer == nullptr) {
            result = 0;
            ++failuresInRow;
            continue;
        }
        // Data step: the same index again, now with its type and data.
        uint32_t nameCapacity = nameChars + 1;
        uint32_t type = 0;
        status = plat::RegEnumValue(key->Handle(), index, nameBuffer, &nameCapacity, nullptr, &type,
                                    dataBuffer, &dataSize);
        if (status == plat::kErrorNoMoreItems) {
            FreeBuffer(dataBuffer);
            break;
        }
        bool held = false;
        if (status == plat::kSuccess) {
            auto* value = new (std::nothrow) RegistryValue(nameBuffer, type, dataBuffer, dataSize);
            held = value != nullptr && Add(value);
            if (!held) delete value;
        }
        if (held) {
            failuresInRow = 0;
        } else {
            result = 0;
            ++failuresInRow;
        }
        FreeBuffer(dataBuffer);
    }
    if (failuresInRow >= kMaxConsecutiveEnumFailures) result = 0;
    FreeBuffer(nameBuffer);
    return result;
}

plat::Bool RegistryValueList::WriteAll() const {
    if (key == nullptr) return 0;
    plat::Bool result = 1;
    for (uint32_t i = 0; i < capacity; ++i) {
        const RegistryValue* value = slots[i];
        if (value == nullptr) continue;
        if (!key->SetValue(value->GetName(), value->GetType(), value->Data(), value->GetLength())) {
            result = 0;
        }
    }
    return result;
}

const RegistryValue* RegistryValueList::Slot(uint32_t index) const {
    if (slots == nullptr || index >= capacity) return nullptr;
    return slots[index];
}

}  // namespace zel
