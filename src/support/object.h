// Allocation of the driver's objects through the platform.
//
// Classes that the driver creates with `new` derive from PlatformObject, so every object
// allocation goes through the platform (where failure can be injected) and a failed
// allocation yields null instead of throwing. Create with `new (std::nothrow) T(...)`.
#pragma once

#include <new>

#include "platform/kernel.h"

namespace zel {

struct PlatformObject {
    static void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
        return plat::ObjectAlloc(bytes);
    }
    static void operator delete(void* object) noexcept { plat::ObjectFree(object); }
    // Pairs with the nothrow form when a constructor exits early.
    static void operator delete(void* object, const std::nothrow_t&) noexcept {
        plat::ObjectFree(object);
    }
    static void* operator new[](size_t bytes, const std::nothrow_t&) noexcept {
        return plat::ObjectAlloc(bytes);
    }
    static void operator delete[](void* objects) noexcept { plat::ObjectFree(objects); }
    static void operator delete[](void* objects, const std::nothrow_t&) noexcept {
        plat::ObjectFree(objects);
    }
    // The throwing forms are never used by the driver.
    static void* operator new(size_t) = delete;
    static void* operator new[](size_t) = delete;
};

}  // namespace zel
