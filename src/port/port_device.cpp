// Port creation and teardown, opening and closing handles, power and seek.
#include "port/port_device.h"

#include <cstring>

#include "adapter/adapter_base.h"
#include "hw/serial_port.h"
#include "port/entry_points.h"

namespace zel {
namespace {

constexpr uint32_t kDefaultPriority256 = 104;
constexpr plat::CommTimeouts kInitTimeouts = {250, 10, 100, 0, 0};

// First-open flag word: fBinary, DTR and RTS enabled, every other defined flag off and the
// reserved bits 15-31 as they were.
constexpr uint32_t kFirstOpenKeptFlags = 0xFFFF9011u;
constexpr uint32_t kFirstOpenSetFlags = plat::kDcbBinary |
                                        (plat::kDtrControlEnable << plat::kDcbDtrControlShift) |
                                        (plat::kRtsControlEnable << plat::kDcbRtsControlShift);

plat::Bool QueryDword(plat::KeyHandle key, const plat::WChar* name, uint32_t* value) {
    uint32_t type = 0;
    uint32_t length = sizeof(*value);
    uint32_t data = 0;
    if (plat::RegQueryValue(key, name, nullptr, &type, reinterpret_cast<uint8_t*>(&data),
                            &length) != plat::kSuccess ||
        type != plat::kRegDword || length != sizeof(data)) {
        return 0;
    }
    *value = data;
    return 1;
}

void LinkFront(PortDevice* device, OpenHandle* handle) {
    plat::CsEnter(&device->OpenListWalkLock);
    ListLink* head = &device->OpenList;
    handle->Link.next = head->next;
    handle->Link.prev = head;
    head->next->prev = &handle->Link;
    head->next = &handle->Link;
    plat::CsLeave(&device->OpenListWalkLock);
}

void Unlink(PortDevice* device, OpenHandle* handle) {
    plat::CsEnter(&device->OpenListWalkLock);
    handle->Link.prev->next = handle->Link.next;
    handle->Link.next->prev = handle->Link.prev;
    handle->Link.next = handle->Link.prev = nullptr;
    plat::CsLeave(&device->OpenListWalkLock);
}

// Only after the handle is unlinked: no walk can reach it any more.
void FreeHandle(OpenHandle* handle) {
    plat::CsDelete(&handle->EventLock);
    if (handle->CommEvent != 0) plat::HandleClose(handle->CommEvent);
    plat::MemFree(handle);
}

// Releases whatever a (possibly partial) Init created. The hardware object goes first: until
// its removal from the adapter's port table has returned, the interrupt path may still store
// into the ring, signal the events and take the transmit lock.
void DestroyDevice(PortDevice* device) {
    if (device->Port != nullptr) delete device->Port;
    device->Port = nullptr;
    if (device->ReceiveEvent != 0) plat::HandleClose(device->ReceiveEvent);
    if (device->TransmitDoneEvent != 0) plat::HandleClose(device->TransmitDoneEvent);
    plat::CsDelete(&device->ReceiveLock);
    plat::CsDelete(&device->TransmitLock);
    plat::CsDelete(&device->ReceiveBufferLock);
    plat::CsDelete(&device->TransmitBufferLock);
    plat::CsDelete(&device->OpenListWalkLock);
    plat::CsDelete(&device->OpenListLock);
    if (device->RxBuffer != nullptr) plat::MemFree(device->RxBuffer);
    plat::MemFree(device);
}

void ApplyFirstOpenDefaults(PortDevice* device) {
    ClearFlags(device, kFirstOpenClearedFlags);
    plat::AtomicStore(device->TxPending, 0);
    plat::Dcb dcb = LoadDcb(device);
    dcb.DCBlength = sizeof(plat::Dcb);
    dcb.BaudRate = 9600;
    dcb.flags = (dcb.flags & kFirstOpenKeptFlags) | kFirstOpenSetFlags;
    dcb.XonLim = 512;
    dcb.XoffLim = 128;
    dcb.ByteSize = 8;
    dcb.Parity = plat::kNoParity;
    dcb.StopBits = plat::kOneStopBit;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0x0D;
    dcb.EofChar = 0x0D;
    dcb.EvtChar = 0x0D;
    StoreDcb(device, dcb);
}

}  // namespace

plat::Dcb LoadDcb(const PortDevice* device) {
    const plat::Dcb& d = device->Dcb;
    plat::Dcb r;
    r.DCBlength = LoadField(d.DCBlength);
    r.BaudRate = LoadField(d.BaudRate);
    r.flags = plat::AtomicLoad(d.flags);
    r.wReserved = LoadField(d.wReserved);
    r.XonLim = LoadField(d.XonLim);
    r.XoffLim = LoadField(d.XoffLim);
    r.ByteSize = LoadField(d.ByteSize);
    r.Parity = LoadField(d.Parity);
    r.StopBits = LoadField(d.StopBits);
    r.XonChar = LoadField(d.XonChar);
    r.XoffChar = LoadField(d.XoffChar);
    r.ErrorChar = LoadField(d.ErrorChar);
    r.EofChar = LoadField(d.EofChar);
    r.EvtChar = LoadField(d.EvtChar);
    r.wReserved1 = LoadField(d.wReserved1);
    return r;
}

void StoreDcb(PortDevice* device, const plat::Dcb& r) {
    plat::Dcb& d = device->Dcb;
    StoreField(d.DCBlength, r.DCBlength);
    StoreField(d.BaudRate, r.BaudRate);
    StoreField(d.wReserved, r.wReserved);
    StoreField(d.XonLim, r.XonLim);
    StoreField(d.XoffLim, r.XoffLim);
    StoreField(d.ByteSize, r.ByteSize);
    StoreField(d.Parity, r.Parity);
    StoreField(d.StopBits, r.StopBits);
    StoreField(d.XonChar, r.XonChar);
    StoreField(d.XoffChar, r.XoffChar);
    StoreField(d.ErrorChar, r.ErrorChar);
    StoreField(d.EofChar, r.EofChar);
    StoreField(d.EvtChar, r.EvtChar);
    StoreField(d.wReserved1, r.wReserved1);
    // Last, with release order: a reader that sees the new flags sees the new characters.
    plat::AtomicStore(d.flags, r.flags);
}

plat::CommTimeouts LoadTimeouts(const PortDevice* device) {
    const plat::CommTimeouts& t = device->Timeouts;
    return {plat::AtomicLoad(t.ReadIntervalTimeout), plat::AtomicLoad(t.ReadTotalTimeoutMultiplier),
            plat::AtomicLoad(t.ReadTotalTimeoutConstant),
            plat::AtomicLoad(t.WriteTotalTimeoutMultiplier),
            plat::AtomicLoad(t.WriteTotalTimeoutConstant)};
}

void StoreTimeouts(PortDevice* device, const plat::CommTimeouts& t) {
    plat::CommTimeouts& d = device->Timeouts;
    plat::AtomicStore(d.ReadIntervalTimeout, t.ReadIntervalTimeout);
    plat::AtomicStore(d.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutMultiplier);
    plat::AtomicStore(d.ReadTotalTimeoutConstant, t.ReadTotalTimeoutConstant);
    plat::AtomicStore(d.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutMultiplier);
    plat::AtomicStore(d.WriteTotalTimeoutConstant, t.WriteTotalTimeoutConstant);
}

uint32_t ReturnMinusOne() {
    return 0xFFFFFFFFu;
}

}  // namespace zel

using zel::OpenHandle;
using zel::PortDevice;

zel::PortDevice* Init(const plat::WChar* activeKeyPath, void* context) {
    auto* adapter = static_cast<zel::AdapterBase*>(context);
    if (adapter == nullptr) return nullptr;
    auto* device = static_cast<PortDevice*>(plat::MemAlloc(plat::kMemZeroInit, sizeof(PortDevice)));
    if (device == nullptr) return nullptr;

    device->OpenList.next = device->OpenList.prev = &device->OpenList;
    plat::CsInit(&device->OpenListLock, "PortDevice::OpenListLock");
    plat::CsInit(&device->OpenListWalkLock, "PortDevice::OpenListWalkLock");
    device->AccessOwner = nullptr;
    device->CombinedEventMask = 0;
    device->Timeouts = zel::kInitTimeouts;

    uint32_t portNumber = 0;
    device->ReceiveEvent = plat::EventCreate(0, 0);
    device->TransmitDoneEvent = plat::EventCreate(0, 0);
    if (device->ReceiveEvent == 0 || device->TransmitDoneEvent == 0) goto fail;
    plat::CsInit(&device->ReceiveLock, "PortDevice::ReceiveLock");
    plat::CsInit(&device->TransmitLock, "PortDevice::TransmitLock");

    {
        const plat::KeyHandle key = plat::OpenDeviceKey(activeKeyPath);
        if (key == 0) goto fail;
        if (!zel::QueryDword(key, u"DeviceArrayIndex", &portNumber)) {
            plat::RegCloseKey(key);
            goto fail;
        }
        if (!zel::QueryDword(key, u"Priority256", &device->Priority256)) {
            device->Priority256 = zel::kDefaultPriority256;
        }
        plat::RegCloseKey(key);
    }

    device->Port = adapter->CreatePortObject(activeKeyPath, device);
    if (device->Port == nullptr || !device->Port->Init()) goto fail;

    device->RxSize = zel::kReceiveRingSize;
    device->RxBuffer = static_cast<uint8_t*>(plat::MemAlloc(plat::kMemZeroInit, device->RxSize));
    if (device->RxBuffer == nullptr) goto fail;
    device->RxRead = 0;
    device->RxWrite = 0;
    plat::CsInit(&device->ReceiveBufferLock, "PortDevice::ReceiveBufferLock");
    plat::CsInit(&device->TransmitBufferLock, "PortDevice::TransmitBufferLock");

    adapter->AddPort(device->Port, portNumber);
    device->Port->PostInit();
    return device;

fail:
    zel::DestroyDevice(device);
    return nullptr;
}

zel::OpenHandle* Open(PortDevice* device, uint32_t access, uint32_t shareMode) {
    if (device == nullptr) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return nullptr;
    }
    if (access & plat::kAccessBusNamespace) access &= ~zel::kBusNamespaceClearedBits;
    const bool owner = zel::IsOwnerAccess(access);

    // The owner test and the claim happen under the list lock, so two opens never both win.
    plat::CsEnter(&device->OpenListLock);
    if (owner && device->AccessOwner != nullptr) {
        plat::CsLeave(&device->OpenListLock);
        plat::SetLastErrorCode(plat::kErrorInvalidAccess);
        return nullptr;
    }
    auto* handle = static_cast<OpenHandle*>(plat::MemAlloc(plat::kMemZeroInit, sizeof(OpenHandle)));
    if (handle == nullptr) {
        plat::CsLeave(&device->OpenListLock);
        return nullptr;
    }
    handle->Device = device;
    handle->Access = access;
    handle->ShareMode = shareMode;
    // A handle without its event still serves every request but the comm-event wait, which
    // then fails at once (WaitForCommEvent).
    handle->CommEvent = plat::EventCreate(0, 0);
    handle->EventMask = 0;
    handle->EventsSeen = 0;
    handle->WaitAbort = 0;
    plat::CsInit(&handle->EventLock, "OpenHandle::EventLock");
    if (owner) device->AccessOwner = handle;
    zel::LinkFront(device, handle);

    if (zel::IsBusNamespace(handle)) {
        plat::CsLeave(&device->OpenListLock);
        return handle;
    }

    const uint32_t count = plat::AtomicLoad(device->OpenCount);
    if (count == 0) {
        zel::ApplyFirstOpenDefaults(device);
        if (!device->Port->Open()) {
            if (device->AccessOwner == handle) device->AccessOwner = nullptr;
            zel::Unlink(device, handle);
            plat::CsLeave(&device->OpenListLock);
            zel::FreeHandle(handle);
            plat::SetLastErrorCode(plat::kErrorOpenFailed);
            return nullptr;
        }
        device->Port->Purge(plat::PURGE_RXCLEAR);
        // Empty the ring from the consumer's side: RxWrite belongs to the interrupt path,
        // which may already be storing bytes of the new session.
        plat::CsEnter(&device->ReceiveBufferLock);
        plat::AtomicStore(device->RxRead, plat::AtomicLoad(device->RxWrite));
        plat::CsLeave(&device->ReceiveBufferLock);
    }
    plat::AtomicStore(device->OpenCount, count + 1);
    plat::CsLeave(&device->OpenListLock);
    return handle;
}

plat::Bool Close(OpenHandle* handle) {
    if (handle == nullptr || handle->Device == nullptr) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return 0;
    }
    PortDevice* device = handle->Device;
    plat::CsEnter(&device->OpenListLock);
    if (!zel::IsBusNamespace(handle)) {
        const uint32_t count = plat::AtomicLoad(device->OpenCount);
        if (count == 0) {
            plat::CsLeave(&device->OpenListLock);
            plat::SetLastErrorCode(plat::kErrorInvalidHandle);
            return 0;
        }
        plat::AtomicStore(device->OpenCount, count - 1);
        if (count == 1) device->Port->Close();
        if (device->AccessOwner == handle) device->AccessOwner = nullptr;
    }
    zel::Unlink(device, handle);
    zel::FreeHandle(handle);
    plat::CsLeave(&device->OpenListLock);
    return 1;
}

plat::Bool PreClose(OpenHandle* handle) {
    if (handle == nullptr || handle->Device == nullptr) return 0;
    PortDevice* device = handle->Device;
    plat::CsEnter(&device->OpenListLock);
    plat::Bool result = 1;
    if (zel::IsBusNamespace(handle)) {
        result = 1;
    } else if (!zel::IsPortOpen(device)) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        result = 0;
    } else {
        plat::CsEnter(&handle->EventLock);
        plat::AtomicStore(handle->EventMask, 0);
        plat::AtomicStore(handle->WaitAbort, 1);
        if (handle->CommEvent != 0) plat::EventSet(handle->CommEvent);
        plat::CsLeave(&handle->EventLock);
        if (zel::IsOwnerAccess(handle->Access)) {
            zel::SetFlags(device, zel::ReadAbort);
            plat::EventSet(device->ReceiveEvent);
            zel::SetFlags(device, zel::WriteAbort);
            plat::EventSet(device->TransmitDoneEvent);
        }
    }
    plat::CsLeave(&device->OpenListLock);
    return result;
}

plat::Bool PreDeinit(PortDevice* device) {
    if (device == nullptr) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return 0;
    }
    if (!zel::IsPortOpen(device)) return 1;
    plat::CsEnter(&device->OpenListLock);
    for (zel::ListLink* link = device->OpenList.next; link != &device->OpenList;
         link = link->next) {
        PreClose(zel::HandleOfLink(link));
    }
    plat::CsLeave(&device->OpenListLock);
    return 1;
}

plat::Bool Deinit(PortDevice* device) {
    if (device == nullptr) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return 0;
    }
    // Every listed handle is released, bus-namespace handles included, whatever the count.
    plat::CsEnter(&device->OpenListLock);
    zel::ListLink* link = device->OpenList.next;
    while (link != &device->OpenList) {
        zel::ListLink* next = link->next;
        OpenHandle* handle = zel::HandleOfLink(link);
        if (!Close(handle)) {
            zel::Unlink(device, handle);
            zel::FreeHandle(handle);
        }
        link = next;
    }
    plat::CsLeave(&device->OpenListLock);
    zel::DestroyDevice(device);
    return 1;
}

void PowerUp(PortDevice* device) {
    if (device != nullptr && device->Port != nullptr) device->Port->PowerOn();
}

void PowerDown(PortDevice* device) {
    if (device != nullptr && device->Port != nullptr) device->Port->PowerOff();
}

uint32_t Seek(OpenHandle* /*handle*/, int32_t /*distance*/, uint32_t /*method*/) {
    return zel::ReturnMinusOne();
}
