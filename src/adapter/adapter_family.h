// The adapter role of the driver library: one card family's entry points, its board counter
// and its list of live adapters.
//
// The statics of a family are constant-initialised (the library runs no static constructor):
// the counter starts at 1 and an all-zero KeyedList is an empty list. A library stamps out
// the ten exported entry points of each family it serves with ZEL_ADAPTER_FAMILY(FAM).
#pragma once

#include <cstdint>

#include "platform/stream.h"
#include "platform/types.h"
#include "port/entry_points.h"
#include "support/keyed_list.h"

namespace zel {

struct AdapterFamily {
    uint32_t nextBoardNumber = 1;  // board number of the family's next initialised adapter
    KeyedList adapterList;         // live adapters, keyed by board number
};

// Creates, initialises, numbers and files a PciAdapter for the key and has it create its port
// devices. Returns the adapter (the device context) or null; a failed adapter is destroyed.
void* AdapterInit(AdapterFamily* family, const plat::WChar* activeKeyPath);
// Destroys the adapter (0 for null, otherwise 1).
plat::Bool AdapterDeinit(void* adapter);

}  // namespace zel

#define ZEL_FAMILY_EXPORT extern "C" __attribute__((visibility("default")))

// Defines the family's statics and its ten entry points FAM_Init .. FAM_PowerDown. The adapter
// device itself cannot be opened, read, written or sought.
#define ZEL_ADAPTER_FAMILY(FAM)                                                                   \
    namespace {                                                                                   \
    constinit ::zel::AdapterFamily gFamily##FAM{};                                                \
    }                                                                                             \
    ZEL_FAMILY_EXPORT void* FAM##_Init(const ::plat::WChar* activeKeyPath, void*) {               \
        return ::zel::AdapterInit(&gFamily##FAM, activeKeyPath);                                  \
    }                                                                                             \
    ZEL_FAMILY_EXPORT ::plat::Bool FAM##_Deinit(void* adapter) {                                  \
        return ::zel::AdapterDeinit(adapter);                                                     \
    }                                                                                             \
    ZEL_FAMILY_EXPORT void* FAM##_Open(void*, uint32_t, uint32_t) {                               \
        return nullptr;                                                                           \
    }                                                                                             \
    ZEL_FAMILY_EXPORT ::plat::Bool FAM##_Close(void*) {                                           \
        return 0;                                                                                 \
    }                                                                                             \
    ZEL_FAMILY_EXPORT uint32_t FAM##_Read(void*, void*, uint32_t) {                               \
        return ::zel::ReturnMinusOne();                                                           \
    }                                                                                             \
    ZEL_FAMILY_EXPORT uint32_t FAM##_Write(void*, const void*, uint32_t) {                        \
        return ::zel::ReturnMinusOne();                                                           \
    }                                                                                             \
    ZEL_FAMILY_EXPORT uint32_t FAM##_Seek(void*, int32_t, uint32_t) {                             \
        return ::zel::ReturnMinusOne();                                                           \
    }                                                                                             \
    ZEL_FAMILY_EXPORT ::plat::Bool FAM##_IOControl(void*, uint32_t, const void*, uint32_t, void*, \
                                                   uint32_t, uint32_t*) {                         \
        return 0;                                                                                 \
    }                                                                                             \
    ZEL_FAMILY_EXPORT void FAM##_PowerUp(void*) {}                                                \
    ZEL_FAMILY_EXPORT void FAM##_PowerDown(void*) {}                                              \
    static_assert(true, "")
