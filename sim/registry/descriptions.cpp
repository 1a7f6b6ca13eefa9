// The device manager's device-key services: opening a device's key from its active key, and
// reading the PCI, window and interrupt descriptions from the values of a device key.
//
// Values of a device key (written by whoever describes the device, e.g. the PCI enumerator):
//
//   PCI identity, dwords:
//     "DeviceNumber", "FunctionNumber", "InstanceIndex"      0 when absent
//     "Class", "SubClass", "ProgIF", "VendorID", "DeviceID",
//     "RevisionID", "SubVendorID", "SubSystemID"              each sets its validMask bit
//                                                             (kPciValid*) only when present
//   Windows:
//     "BusNumber", "InterfaceType"                            dwords, 0 when absent
//     "MemBase", "MemLen"                                     memory windows
//     "IoBase", "IoLen"                                       I/O windows
//       each a dword (one window) or a binary value of up to six little-endian dwords
//       (several windows); bases and lengths pair by position, so both values of a pair must
//       hold the same number of windows.
//   Interrupt:
//     "Irq", "SysIntr"                                        dwords
//     "IsrDll", "IsrHandler"                                  strings, cut to 63 characters
//
// A present value of the wrong type or shape makes the read fail with kErrorInvalidData, so
// that a broken description is reported instead of being read as something else.
//
// Active keys (written by device activation) are keys below the root, e.g. "Drivers\Active\03",
// with a string "Key" holding the path of the device key below the root.

#include <algorithm>
#include <cstring>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"
#include "sim/registry/store.h"

namespace plat {
namespace {

using sim::reg::Value;
using sim::reg::detail::FindLocked;
using sim::reg::detail::FindValueLocked;
using sim::reg::detail::Node;
using sim::reg::detail::NodeOfHandle;
using sim::reg::detail::RegistryMutex;

constexpr uint32_t kRegExpandString = 2;

enum class Found { Absent, Present, Bad };

Found ReadDword(Node& node, std::u16string_view name, uint32_t* out) {
    const Value* v = FindValueLocked(node, name);
    if (v == nullptr) return Found::Absent;
    if (v->type != kRegDword || v->data.size() != 4) return Found::Bad;
    std::memcpy(out, v->data.data(), 4);  // little-endian, as the host is
    return Found::Present;
}

// A dword or a binary list of up to six dwords; *count gets the number of words.
Found ReadWords(Node& node, std::u16string_view name, uint32_t (&words)[6], size_t* count) {
    *count = 0;
    const Value* v = FindValueLocked(node, name);
    if (v == nullptr) return Found::Absent;
    const size_t n = v->data.size();
    if (v->type == kRegDword ? n != 4 : (v->type != kRegBinary || n % 4 != 0 || n > 24)) {
        return Found::Bad;
    }
    *count = n / 4;
    std::memcpy(words, v->data.data(), n);
    return Found::Present;
}

// Copies a string value into a fixed field, bounded and always terminated.
Found ReadName(Node& node, std::u16string_view name, WChar (&field)[64]) {
    field[0] = u'\0';
    const Value* v = FindValueLocked(node, name);
    if (v == nullptr) return Found::Absent;
    if (v->type != kRegString && v->type != kRegExpandString) return Found::Bad;
    size_t i = 0;
    for (; i + 1 < std::size(field) && 2 * i + 1 < v->data.size(); ++i) {
        WChar c = static_cast<WChar>(v->data[2 * i] | (v->data[2 * i + 1] << 8));
        if (c == u'\0') break;
        field[i] = c;
    }
    field[i] = u'\0';
    return Found::Present;
}

// Every description read: failure injection, the record and its size field, the key; then the
// values. A failed read leaves the record zero past its size field.
template <typename Record>
uint32_t ReadDescription(KeyHandle key, Record* info, uint32_t (*fill)(Node&, Record*)) {
    if (sim::ShouldFail(sim::FailKind::Registry)) return kErrorNotEnoughMemory;
    if (info == nullptr || info->size != sizeof(Record)) return kErrorInvalidParameter;
    std::shared_ptr<Node> node = NodeOfHandle(key);
    if (!node) return kErrorInvalidHandle;
    uint8_t* rest = reinterpret_cast<uint8_t*>(info) + sizeof info->size;
    std::memset(rest, 0, sizeof(Record) - sizeof info->size);
    std::lock_guard lock(RegistryMutex());
    if (node->deleted) return sim::reg::kErrorKeyDeleted;
    uint32_t result = fill(*node, info);
    if (result != kSuccess && result != kErrorFileNotFound) {
        std::memset(rest, 0, sizeof(Record) - sizeof info->size);
    }
    return result;
}

uint32_t FillPci(Node& node, PciInfo* info) {
    struct Field {
        const char16_t* name;
        uint32_t PciInfo::*field;
        uint32_t validBit;  // 0: not part of the valid-ID mask
    };
    static constexpr Field kFields[] = {
        {u"DeviceNumber", &PciInfo::deviceNumber, 0},
        {u"FunctionNumber", &PciInfo::functionNumber, 0},
        {u"InstanceIndex", &PciInfo::instanceIndex, 0},
        {u"Class", &PciInfo::classCode, kPciValidClass},
        {u"SubClass", &PciInfo::subclass, kPciValidSubclass},
        {u"ProgIF", &PciInfo::programmingInterface, kPciValidProgIf},
        {u"VendorID", &PciInfo::vendorId, kPciValidVendorId},
        {u"DeviceID", &PciInfo::deviceId, kPciValidDeviceId},
        {u"RevisionID", &PciInfo::revisionId, kPciValidRevisionId},
        {u"SubVendorID", &PciInfo::subsystemVendorId, kPciValidSubsystemVendorId},
        {u"SubSystemID", &PciInfo::subsystemId, kPciValidSubsystemId},
    };
    for (const Field& f : kFields) {
        switch (ReadDword(node, f.name, &(info->*f.field))) {
            case Found::Bad:
                return sim::reg::kErrorInvalidData;
            case Found::Present:
                info->validMask |= f.validBit;
                break;
            case Found::Absent:
                break;
        }
    }
    return kSuccess;
}

// One kind of windows from a pair of values; false when the pair is malformed.
bool FillWindows(Node& node, const char16_t* baseName, const char16_t* lengthName,
                 BusWindow (&out)[6], uint32_t* count) {
    uint32_t bases[6] = {}, lengths[6] = {};
    size_t nBases, nLengths;
    if (ReadWords(node, baseName, bases, &nBases) == Found::Bad ||
        ReadWords(node, lengthName, lengths, &nLengths) == Found::Bad || nBases != nLengths) {
        return false;
    }
    for (size_t i = 0; i < nBases; ++i) out[i] = BusWindow{bases[i], lengths[i]};
    *count = static_cast<uint32_t>(nBases);
    return true;
}

uint32_t FillWindow(Node& node, WindowInfo* info) {
    if (ReadDword(node, u"BusNumber", &info->busNumber) == Found::Bad ||
        ReadDword(node, u"InterfaceType", &info->interfaceType) == Found::Bad ||
        !FillWindows(node, u"MemBase", u"MemLen", info->memWindows, &info->memWindowCount) ||
        !FillWindows(node, u"IoBase", u"IoLen", info->ioWindows, &info->ioWindowCount)) {
        return sim::reg::kErrorInvalidData;
    }
    return kSuccess;
}

uint32_t FillInterrupt(Node& node, InterruptInfo* info) {
    const Found irq = ReadDword(node, u"Irq", &info->irq);
    const Found sysIntr = ReadDword(node, u"SysIntr", &info->sysIntr);
    if (irq == Found::Bad || sysIntr == Found::Bad ||
        ReadName(node, u"IsrDll", info->isrDll) == Found::Bad ||
        ReadName(node, u"IsrHandler", info->isrHandler) == Found::Bad) {
        return sim::reg::kErrorInvalidData;
    }
    if (irq == Found::Absent && sysIntr == Found::Absent) return kErrorFileNotFound;
    return kSuccess;
}

}  // namespace

KeyHandle OpenDeviceKey(const WChar* activeKeyPath) {
    if (sim::ShouldFail(sim::FailKind::Registry)) return 0;
    if (activeKeyPath == nullptr) return 0;
    std::shared_ptr<Node> device;
    std::u16string path;
    {
        std::lock_guard lock(RegistryMutex());
        std::shared_ptr<Node> active = FindLocked(sim::reg::detail::Root(), activeKeyPath);
        if (!active) return 0;
        const Value* v = FindValueLocked(*active, u"Key");
        if (v == nullptr || (v->type != kRegString && v->type != kRegExpandString)) return 0;
        std::u16string keyPath(v->data.size() / 2, u'\0');
        for (size_t i = 0; i < keyPath.size(); ++i) {
            keyPath[i] = static_cast<WChar>(v->data[2 * i] | (v->data[2 * i + 1] << 8));
        }
        keyPath.resize(std::min(keyPath.size(), keyPath.find(u'\0')));
        if (keyPath.empty()) return 0;
        device = FindLocked(sim::reg::detail::Root(), keyPath);
        if (!device) return 0;
        path = sim::reg::detail::PathOfLocked(*device);
    }
    return sim::reg::detail::InsertKeyHandle(std::move(device), std::move(path));
}

uint32_t ReadPciDescription(KeyHandle deviceKey, PciInfo* info) {
    return ReadDescription(deviceKey, info, FillPci);
}

uint32_t ReadWindowDescription(KeyHandle deviceKey, WindowInfo* info) {
    return ReadDescription(deviceKey, info, FillWindow);
}

uint32_t ReadInterruptDescription(KeyHandle deviceKey, InterruptInfo* info) {
    return ReadDescription(deviceKey, info, FillInterrupt);
}

}  // namespace plat
