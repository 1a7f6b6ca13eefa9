#include "adapter/adapter_family.h"

#include <new>

#include "adapter/pci_adapter.h"

namespace zel {

// The context handed to the device manager (and to the port devices) is the AdapterBase part.
void* AdapterInit(AdapterFamily* family, const plat::WChar* activeKeyPath) {
    auto* adapter = new (std::nothrow) PciAdapter(activeKeyPath);
    if (adapter == nullptr) return nullptr;
    if (!adapter->Init(activeKeyPath)) {
        delete adapter;
        return nullptr;
    }
    // Taken once the adapter works and never given back, whatever happens next.
    const uint32_t boardNumber = family->nextBoardNumber++;
    if (!family->adapterList.Insert(adapter, boardNumber) || !adapter->CreatePortDevices()) {
        delete adapter;  // unlinks itself from the list
        return nullptr;
    }
    adapter->PostInit();
    return static_cast<AdapterBase*>(adapter);
}

plat::Bool AdapterDeinit(void* adapter) {
    if (adapter == nullptr) return 0;
    delete static_cast<AdapterBase*>(adapter);
    return 1;
}

}  // namespace zel
