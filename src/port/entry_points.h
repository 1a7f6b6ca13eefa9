// The port's stream entry points, exported without prefix; the device manager calls them.
//
// A device context is the PortDevice that Init returns; an open context is the OpenHandle
// that Open returns. Only these entry points set the calling thread's last-error code:
// 6 invalid handle, 12 invalid access, 87 invalid parameter, 110 open failed.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace zel {

struct PortDevice;
struct OpenHandle;

// Serves Seek, and the adapter families' Read, Write and Seek: returns 0xFFFFFFFF and sets
// no last-error code.
uint32_t ReturnMinusOne();

}  // namespace zel

#define ZEL_PORT_ENTRY extern "C" __attribute__((visibility("default")))

// Creates the port: activeKeyPath is the port's active key, adapter the AdapterBase that
// activated it. Returns the device, or null.
ZEL_PORT_ENTRY zel::PortDevice* Init(const plat::WChar* activeKeyPath, void* adapter);
ZEL_PORT_ENTRY plat::Bool Deinit(zel::PortDevice* device);
ZEL_PORT_ENTRY zel::OpenHandle* Open(zel::PortDevice* device, uint32_t access, uint32_t shareMode);
ZEL_PORT_ENTRY plat::Bool Close(zel::OpenHandle* handle);
// Wakes every call waiting on behalf of the handle, so that it can be closed.
ZEL_PORT_ENTRY plat::Bool PreClose(zel::OpenHandle* handle);
ZEL_PORT_ENTRY plat::Bool PreDeinit(zel::PortDevice* device);
ZEL_PORT_ENTRY void PowerUp(zel::PortDevice* device);
ZEL_PORT_ENTRY void PowerDown(zel::PortDevice* device);
ZEL_PORT_ENTRY uint32_t Seek(zel::OpenHandle* handle, int32_t distance, uint32_t method);
// Bytes copied, or 0xFFFFFFFF when refused at entry.
ZEL_PORT_ENTRY uint32_t Read(zel::OpenHandle* handle, void* buffer, uint32_t length);
// Bytes handed to the hardware, or 0xFFFFFFFF when refused at entry.
ZEL_PORT_ENTRY uint32_t Write(zel::OpenHandle* handle, const void* buffer, uint32_t length);
ZEL_PORT_ENTRY plat::Bool IOControl(zel::OpenHandle* handle, uint32_t code, const void* in,
                                    uint32_t inLength, void* out, uint32_t outLength,
                                    uint32_t* actual);
