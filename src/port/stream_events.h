// The stream layer's entry points for the hardware object: its interrupt handler and the
// delivery of comm events to the open handles.
#pragma once

#include <cstdint>

namespace zel {

struct PortDevice;

void HandleInterrupt(PortDevice* device);
void EvaluateEvents(PortDevice* device, uint32_t events);

}  // namespace zel
