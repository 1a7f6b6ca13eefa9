// The entries by which every port offers itself to the modem service: once as a direct serial
// cable ("Unimodem") and once as an external Hayes-compatible modem ("Unimodem2").
#include "platform/kernel.h"
#include "support/registry.h"
#include "uart/uart_port.h"

namespace zel {
namespace {

constexpr plat::WChar kTsp[] = u"Unimodem.dll";
static_assert(sizeof(kTsp) == 26);

// Device configuration record of the modem service: version 0x0010, call set-up fail timer 5,
// modem options 0x110, 19200 baud, 8 data bits, one stop bit, no parity, no dial modifier.
constexpr uint8_t kDevConfig[25] = {0x10, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x10,
                                    0x01, 0x00, 0x00, 0x00, 0x4B, 0x00, 0x00, 0x00, 0x00,
                                    0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

struct ModemEntry {
    const plat::WChar* subKey;
    uint32_t deviceType;
    const plat::WChar* nameFormat;  // formatted with the port name
    uint32_t formatChars;           // buffer for the formatted name, terminator included
    const plat::WChar* fallbackName;
    uint32_t fallbackBytes;
};

constexpr ModemEntry kModemEntries[] = {
    {u"Unimodem", 0, u"Serial Cable on %5s", 22, u"Serial Cable on ZEL:", 42},
    {u"Unimodem2", 1, u"Hayes Compatible on %5s", 26, u"Hayes Compatible on ZEL:", 50},
};
constexpr uint32_t kMaxFormatChars = 26;

// Builds a value, files a copy in the list and drops the original; true when it was filed.
bool AddValue(RegistryValueList& list, const plat::WChar* valueName, uint32_t type,
              const void* data, uint32_t length) {
    RegistryValue value(valueName, type, data, length);
    return list.AddCopy(value) != 0;
}

}  // namespace

plat::Bool UartPort::WriteModemEntries() {
    bool result = true;
    RegistryValueList list;
    bool first = true;
    for (const ModemEntry& entry : kModemEntries) {
        if (!first) list.Clear();
        first = false;
        if (!list.OpenKey(Handle(), entry.subKey)) {
            result = false;
            continue;
        }
        result &= AddValue(list, u"Tsp", plat::kRegString, kTsp, sizeof(kTsp));
        result &= AddValue(list, u"DeviceType", plat::kRegDword, &entry.deviceType,
                           sizeof(entry.deviceType));
        if (name != nullptr) {
            plat::WChar friendly[kMaxFormatChars] = {};
            if (plat::WStrFormatN(friendly, entry.formatChars, entry.nameFormat, name) < 0) {
                // A name too long for the buffer gets no friendly name at all.
                result = false;
            } else {
                result &= AddValue(list, u"FriendlyName", plat::kRegString, friendly,
                                   entry.formatChars * sizeof(plat::WChar));
            }
        } else {
            result &= AddValue(list, u"FriendlyName", plat::kRegString, entry.fallbackName,
                               entry.fallbackBytes);
        }
        result &= AddValue(list, u"DevConfig", plat::kRegBinary, kDevConfig, sizeof(kDevConfig));
        result &= list.WriteAll() != 0;
    }
    return result ? 1 : 0;
}

}  // namespace zel
