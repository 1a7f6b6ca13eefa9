// Everything the driver may call of its platform.
#pragma once

#include "platform/atomic.h"
#include "platform/bus.h"
#include "platform/kernel.h"
#include "platform/records.h"
#include "platform/serial.h"
#include "platform/types.h"
