#include "adapter/pci_adapter.h"

#include <new>

#include "adapter/adapter_registers.h"
#include "hw/serial_port.h"
#include "platform/bus.h"
#include "platform/records.h"
#include "support/registry.h"
#include "uart/uart_port.h"

namespace zel {
namespace {

// clang-format off
constexpr CardModel kCardModels[] = {
    {0x0A40, 2, 1024}, {0x0A48, 2, 1024}, {0x0A50, 2, 1024}, {0x0A58, 2, 1024},
    {0x0A60, 2, 1024}, {0x0A61, 2, 1024}, {0x0A62, 2, 1024}, {0x0A63, 2, 1024},
    {0x0A64, 2, 1024}, {0x0A65, 2, 1024}, {0x0A66, 2, 1024},
    {0x0A41, 4, 2048}, {0x0A49, 4, 2048}, {0x0A51, 4, 2048}, {0x0A59, 4, 2048},
    {0x0A42, 8, 4096}, {0x0A4A, 8, 4096}, {0x0A52, 8, 4096}, {0x0A5A, 8, 4096},
};
// clang-format on

constexpr uint32_t kIsrStatusWidth = 4;
constexpr uint32_t kIsrStatusMask = 0xFF;  // the per-port bits of the status register
constexpr uint32_t kPortMaskBits = 0xFF;   // ports the status register can report

// Port key values.
constexpr plat::WChar kPortKeyFormat[] = u"Drivers\\ZELSer\\FAM_%s&BID_%02d&PID_%02d";
constexpr uint32_t kPortKeyPathChars = 37;  // including the terminator
constexpr plat::WChar kPortInterfaceClass[] = u"{CC5195AC-BA49-48a0-BE17-DF6D1B0173DD}";
constexpr plat::WChar kPortPrefix[] = u"COM";
constexpr uint32_t kPortRegisterLength = 15;
constexpr uint32_t kPortFlagsNakedEntries = 8;

}  // namespace

const CardModel* FindCardModel(uint32_t subsystemId) {
    for (const CardModel& model : kCardModels) {
        if (model.subsystemId == subsystemId) return &model;
    }
    return nullptr;
}

PciAdapter::PciAdapter(const plat::WChar* activeKeyPath)
    : AdapterBase(activeKeyPath), WorkerThread(0, 1), deviceKey(activeKeyPath) {}

PciAdapter::~PciAdapter() {
    if (interruptEvent != 0) {
        StopInterruptThread();
        if (sysIntr != kNoSysIntr) plat::InterruptDisable(sysIntr);
        plat::HandleClose(interruptEvent);
        interruptEvent = 0;
    }
    // Nothing reports this card's interrupt any more; a handler left loaded would go on
    // reading a window that is about to disappear.
    if (installableHandler != 0) {
        plat::IsrUnload(installableHandler);
        installableHandler = 0;
    }
    delete registers;
    registers = nullptr;
    if (registerBase != 0 && registerIsIo == 0) plat::BusUnmap(registerBase, registerLength);
    // deviceKey, the WorkerThread part and the AdapterBase part follow, in that order.
}

void PciAdapter::StopInterruptThread() {
    if (interruptEvent == 0 || threadHandle == 0) return;
    plat::AtomicStore(stopRequested, 1);
    Resume();
    plat::EventSet(interruptEvent);
    plat::AtomicStore(stopRequested, 1);
    if (WaitForExit(kThreadStopWaitMs)) return;
    // The thread is inside a pass that takes longer than the wait (a port's service routine
    // is blocked). It still uses the register table, the mapping and the event, and it may
    // hold a port's lock, so it is neither terminated nor left running: it ends by itself
    // after the pass, and everything it uses is released only then.
    if (threadHandle != 0) plat::WaitOne(threadHandle, plat::kInfinite);
}

plat::Bool PciAdapter::Init(const plat::WChar* activeKeyPath) {
    plat::PciInfo pci{};
    if (deviceKey.ReadPciInfo(&pci) != 0 || (pci.validMask & plat::kPciValidSubsystemId) == 0)
        return 0;
    const CardModel* model = FindCardModel(pci.subsystemId);
    if (model == nullptr) return 0;

    {
        const uint32_t portCountValue = model->portCount;
        RegistryValueList numPorts;
        const RegistryValue value(u"NumPorts", plat::kRegDword, &portCountValue,
                                  sizeof(portCountValue));
        if (!numPorts.AddCopy(value) || !numPorts.OpenKey(deviceKey.Handle(), u"Properties") ||
            !numPorts.WriteAll())
            return 0;
    }

    if (!deviceKey.QueryValue(u"Priority256", &threadPriority, sizeof(threadPriority)))
        threadPriority = kDefaultInterruptPriority;

    if (!AdapterBase::Init(activeKeyPath)) return 0;
    if (!MapAdapterRegisters(model->windowLength)) return 0;
    if (!CreateAdapterRegisters()) return 0;

    plat::InterruptInfo interrupt{};
    if (deviceKey.ReadInterruptInfo(&interrupt) != 0) return 0;
    if (interrupt.sysIntr == kNoSysIntr || interrupt.sysIntr == 0) return 0;
    sysIntr = interrupt.sysIntr;

    interruptEvent = plat::EventCreate();
    if (interruptEvent == 0) return 0;
    if (!plat::InterruptBind(sysIntr, interruptEvent)) {
        sysIntr = kNoSysIntr;
        return 0;
    }
    SetPriority(threadPriority);
    // Without its interrupt thread the card would start but never be serviced: no byte would
    // ever move. A thread that could not be created or started fails the start-up instead.
    if (ThreadHandle() == 0 || !Resume()) return 0;

    // The record's names are fixed-size fields: never read past them.
    interrupt.isrDll[sizeof(interrupt.isrDll) / sizeof(plat::WChar) - 1] = 0;
    interrupt.isrHandler[sizeof(interrupt.isrHandler) / sizeof(plat::WChar) - 1] = 0;
    installableHandler = plat::IsrLoad(interrupt.isrDll, interrupt.isrHandler, interrupt.irq);
    if (installableHandler == 0) return 0;

    plat::WindowInfo window{};
    if (deviceKey.ReadWindowInfo(&window) != 0 || window.memWindowCount < 1 ||
        window.memWindows[0].base == 0 || window.memWindows[0].length != model->windowLength)
        return 0;
    windowBase = window.memWindows[0].base;

    uint32_t space = plat::kAddressSpaceMemory;
    plat::VirtAddr statusAddress = 0;
    if (!plat::BusStaticTranslate(plat::kInterfaceTypePci, 0,
                                  static_cast<uint64_t>(windowBase) + kRegisterBlockOffset, 1,
                                  &space, &statusAddress))
        return 0;

    const plat::IsrConfig config = {
        .sysIntr = sysIntr,
        .checkPort = 1,
        .portIsIo = 0,
        .useMaskReg = 0,
        .portAddress = statusAddress,
        .portSize = kIsrStatusWidth,
        .mask = kIsrStatusMask,
        .maskRegAddress = 0,
    };
    if (!plat::IsrControl(installableHandler, plat::kIsrControlConfigure, &config, sizeof(config),
                          nullptr, 0, nullptr))
        return 0;

    plat::WriteRegisterByte(registers->PassMarker(), kPassMarkerIdle);
    plat::WriteRegisterByte(registers->Marker93(), kPassMarkerIdle);

    if ((pci.validMask & plat::kPciValidDeviceId) == 0) return 0;

    auto* reader = new (std::nothrow) EepromReader(registers);
    if (reader == nullptr) return 0;
    uint16_t words[kClockRateWordCount] = {};
    MaskInterrupt(1);
    const plat::Bool read = reader->ReadWords(words, kClockRateWordCount);
    MaskInterrupt(0);
    delete reader;
    // A delay timer that never expired leaves the words unread.
    if (!read) return 0;

    uint32_t rate = 0;
    if (!SelectClockRate(pci.deviceId, words, &rate)) return 0;
    clockRate = rate;
    return 1;
}

plat::Bool PciAdapter::MapAdapterRegisters(uint32_t windowLength) {
    plat::WindowInfo window{};
    if (deviceKey.ReadWindowInfo(&window) != 0) return 0;
    if (window.memWindowCount < 1 || window.memWindows[0].base == 0 ||
        window.memWindows[0].length != windowLength)
        return 0;
    windowBase = window.memWindows[0].base;
    uint32_t space = plat::kAddressSpaceMemory;
    if (!plat::BusTranslateAndMap(busHandle, window.interfaceType, window.busNumber,
                                  static_cast<uint64_t>(windowBase) + kRegisterBlockOffset,
                                  kRegisterBlockLength, &space, &registerBase))
        return 0;
    registerLength = kRegisterBlockLength;
    if (space != plat::kAddressSpaceMemory) {
        registerIsIo = 1;
        registerBase = 0;
        registerLength = 0;
        return 0;
    }
    registerIsIo = 0;
    return 1;
}

plat::Bool PciAdapter::CreateAdapterRegisters() {
    if (registers != nullptr) return 1;
    if (registerBase == 0) return 0;
    auto* table = new (std::nothrow) AdapterRegisters(registerBase);
    if (table == nullptr) return 0;
    if (!table->IsValid()) {
        delete table;
        return 0;
    }
    registers = table;
    return 1;
}

SerialPort* PciAdapter::CreatePortObject(const plat::WChar* activeKeyPath, PortDevice* device) {
    return new (std::nothrow) UartPort(activeKeyPath, device);
}

void PciAdapter::MaskInterrupt(plat::Bool mask) {
    if (sysIntr != kNoSysIntr) plat::InterruptMask(sysIntr, mask);
}

void PciAdapter::PostInit() {}

uint32_t PciAdapter::Run() {
    if (interruptEvent == 0) return 1;
    while (interruptEvent != 0 && plat::AtomicLoad(stopRequested) == 0) {
        if (plat::WaitOne(interruptEvent, plat::kInfinite) != plat::kWaitSignalled) continue;
        plat::WriteRegisterByte(registers->PassMarker(), kPassMarkerBusy);
        // Read once per pass: a port that raises its bit again is served on a later signal.
        uint32_t pending =
            plat::ReadRegisterByte(registers->InterruptStatus()) & (PortMask() & kPortMaskBits);
        while (pending != 0) {
            const uint32_t bit = static_cast<uint32_t>(__builtin_ctz(pending));
            ServicePort(bit + 1);
            pending &= ~(1u << bit);
        }
        plat::WriteRegisterByte(registers->PassMarker(), kPassMarkerIdle);
        plat::InterruptDone(sysIntr);
    }
    return 1;
}

plat::Bool PciAdapter::CreatePortDevices() {
    RegistryValueList list;
    uint32_t type = 0;
    uint32_t size = 0;
    if (plat::RegQueryValue(deviceKey.Handle(), u"Prefix", nullptr, &type, nullptr, &size) != 0 ||
        type != plat::kRegString)
        return 0;
    // One spare character keeps a value stored without its terminator a terminated string.
    auto* prefix =
        static_cast<plat::WChar*>(plat::MemAlloc(plat::kMemZeroInit, size + sizeof(plat::WChar)));
    if (prefix == nullptr) return 0;
    if (plat::RegQueryValue(deviceKey.Handle(), u"Prefix", nullptr, &type,
                            reinterpret_cast<uint8_t*>(prefix), &size) != 0) {
        plat::MemFree(prefix);
        return 0;
    }

    plat::Bool result = 1;
    for (uint32_t n = 1; n <= portCount; ++n) {
        list.Clear();
        plat::WChar path[kPortKeyPathChars];
        if (plat::WStrFormatN(path, kPortKeyPathChars, kPortKeyFormat, prefix,
                              static_cast<int>(Key()), static_cast<int>(n)) < 0) {
            result = 0;
            continue;
        }
        if (list.OpenKey(plat::kLocalMachineRoot, path)) {
            FillPortValues(n - 1, &list);
            list.Merge(portProperties[n - 1], 1);
            list.WriteAll();
        } else {
            result = 0;
        }
        plat::ActivateDevice(path, nullptr, 0, static_cast<AdapterBase*>(this));
    }
    plat::MemFree(prefix);
    return result;
}

plat::Bool PciAdapter::FillPortValues(uint32_t index, RegistryValueList* list) {
    const uint32_t n = index + 1;
    plat::Bool result = 1;
    if (RegistryValue* dll = ReadRegistryValue(deviceKey.Handle(), u"Dll")) {
        if (!list->AddCopy(*dll)) result = 0;
        delete dll;
    } else {
        result = 0;
    }

    const uint32_t memBase = windowBase + kPortWindowStride * index;
    const uint32_t memLen = kPortRegisterLength;
    const uint32_t flags = kPortFlagsNakedEntries;
    const uint32_t zero = 0;
    const uint32_t interfaceType = plat::kInterfaceTypePci;
    struct Row {
        const plat::WChar* name;
        uint32_t type;
        const void* data;
        uint32_t length;
    };
    const Row rows[] = {
        {u"MemBase", plat::kRegDword, &memBase, 4},
        {u"MemLen", plat::kRegDword, &memLen, 4},
        {u"Flags", plat::kRegDword, &flags, 4},
        {u"IClass", plat::kRegString, kPortInterfaceClass, sizeof(kPortInterfaceClass)},
        {u"Order", plat::kRegDword, &zero, 4},
        {u"Priority", plat::kRegDword, &zero, 4},
        {u"DeviceArrayIndex", plat::kRegDword, &n, 4},
        {u"InterfaceType", plat::kRegDword, &interfaceType, 4},
        {u"ClockRate", plat::kRegDword, &clockRate, 4},
        {u"Prefix", plat::kRegString, kPortPrefix, sizeof(kPortPrefix)},
    };
    for (const Row& row : rows) {
        const RegistryValue value(row.name, row.type, row.data, row.length);
        if (!list->AddCopy(value)) result = 0;
    }
    return result;
}

}  // namespace zel
