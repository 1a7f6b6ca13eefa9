// What every driver library carries besides its entry points: the library entry point and the
// trap for a call of a pure virtual operation.
#include "platform/kernel.h"
#include "platform/stream.h"

extern "C" __attribute__((visibility("default"))) plat::Bool DllEntry(void* module, uint32_t reason,
                                                                      void*) {
    // Nothing else happens here: every static of the library is constant-initialised.
    if (reason == plat::kDllProcessAttach) plat::DisableThreadLibraryCalls(module);
    return 1;
}

extern "C" __attribute__((visibility("hidden"))) void __cxa_pure_virtual() {
    plat::PureVirtualCalled();
}
