// Registry keys and in-memory value lists.
//
// The adapter and port code keep registry values in memory and write them into keys in one
// step. Names and string data are UTF-16; name lengths count characters, data lengths bytes.
#pragma once

#include <cstdint>

#include "platform/kernel.h"
#include "support/object.h"

namespace zel {

// An open registry key; 0 = not open.
class RegistryKey : public PlatformObject {
public:
    // Opens an existing sub key (options 0, access 0). A null path opens nothing.
    RegistryKey(plat::KeyHandle parent, const plat::WChar* subKey);
    // Creates the sub key, or opens it when it exists; disposition may be null.
    RegistryKey(plat::KeyHandle parent, const plat::WChar* subKey, uint32_t* disposition);
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey();

    plat::Bool SetValue(const plat::WChar* name, uint32_t type, const void* data,
                        uint32_t length);
    plat::KeyHandle Handle() const { return handle; }
    plat::Bool IsOpen() const { return handle != 0; }

private:
    plat::KeyHandle handle = 0;
};

// One named value held in memory; name and data are owned copies.
class RegistryValue : public PlatformObject {
public:
    RegistryValue(const plat::WChar* name, uint32_t type, const void* data, uint32_t length);
    RegistryValue(const RegistryValue& other);
    RegistryValue& operator=(const RegistryValue&) = delete;
    ~RegistryValue();

    uint32_t GetType() const { return type; }
    uint32_t GetLength() const { return length; }
    const plat::WChar* GetName() const { return name; }
    uint32_t GetNameLength() const { return nameLength; }
    // Size query with a null buffer; otherwise copies when *size is large enough. *size always
    // receives the data length when it is reported (see the implementation for the rules).
    plat::Bool GetData(void* buffer, uint32_t* size) const;
    const uint8_t* Data() const { return data; }
    // False when a name or data buffer could not be allocated: such a value is never filed
    // in a list or written, since it would reach the key without its name or its bytes.
    plat::Bool IsComplete() const { return name != nullptr && (length == 0 || data != nullptr); }

private:
    uint32_t nameLength = 0;  // characters including the terminator
    plat::WChar* name = nullptr;
    uint32_t type = 0;
    uint32_t length = 0;
    uint8_t* data = nullptr;
};

// Reads one value of an open key into a new value that the caller owns; null on failure.
RegistryValue* ReadRegistryValue(plat::KeyHandle key, const plat::WChar* name);

// The values of one key, held in memory and bound to a key that the list owns.
class RegistryValueList : public PlatformObject {
public:
    RegistryValueList();
    RegistryValueList(const RegistryValueList&) = delete;
    RegistryValueList& operator=(const RegistryValueList&) = delete;
    ~RegistryValueList();

    plat::Bool OpenKey(plat::KeyHandle parent, const plat::WChar* subKey);
    // Takes ownership of value only on success.
    plat::Bool Add(RegistryValue* value);
    plat::Bool AddCopy(const RegistryValue& value);
    plat::Bool RemoveValue(const plat::WChar* name);
    plat::Bool Clear();
    plat::Bool FindCopy(const plat::WChar* name, RegistryValue** copy) const;
    plat::Bool Merge(const RegistryValueList& other, plat::Bool replace);
    plat::Bool ReadAll();
    plat::Bool WriteAll() const;

    uint8_t Count() const { return count; }
    uint8_t Capacity() const { return capacity; }
    // Value in a slot (null for an empty slot or an index past the capacity).
    const RegistryValue* Slot(uint32_t index) const;
    RegistryKey* Key() const { return key; }

private:
    // Slot index of the held value with that name, or -1.
    int FindSlot(const plat::WChar* name) const;
    RegistryValue* FindHeld(const plat::WChar* name) const;

    RegistryKey* key = nullptr;
    uint8_t count = 0;
    uint8_t capacity = 0;
    RegistryValue** slots = nullptr;
};

}  // namespace zel
