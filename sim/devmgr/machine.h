// The machine builder and PCI enumerator.
//
// A machine is a .reg file. Besides any keys of the drivers' own (imported as they are), it
// holds driver templates and cards:
//
//   [HKEY_LOCAL_MACHINE\Drivers\BuiltIn\PCI\Template\ZelKap]
//   "Dll"="zelser.dll"
//   "Prefix"="KAP"
//   "Priority256"=dword:00000064
//       Every value and sub key of a template (a "PortProp2" sub key, say) is copied into the
//       instance key of each card that names it.
//
//   [HKEY_LOCAL_MACHINE\Machine\Cards\Card1]
//   "Template"="ZelKap"          the template key's name (required)
//   "Slot"=dword:00000001        cards start in slot order (ties by name); default 0
//   "VendorID"=dword:...         PCI identity, written into the instance key as given:
//   "DeviceID"=dword:00000154      "VendorID", "DeviceID", "SubSystemID", "SubVendorID",
//   "SubSystemID"=dword:00000a41   "RevisionID", "Class", "SubClass", "ProgIF"; an absent one
//                                  is absent from the key too. The card model takes its port
//                                  count and window from SubSystemID.
//   "ClockRate"=dword:00e10000   UART clock in Hz (default 14745600), also written into the
//                                  EEPROM words that DeviceID takes the clock from
//   "Eeprom"=hex:...             or the EEPROM contents: 16-bit words, low byte first
//   "MemLen"=dword:...           overrides of what the instance key says: window length,
//   "Irq"=dword:...                interrupt line (the card drives that line), system
//   "SysIntr"=dword:...            interrupt number (0 is written as it is)
//       Any other value of the card key, and every sub key other than "Port<n>", is copied into
//       the instance key over the template's.
//
//   [HKEY_LOCAL_MACHINE\Machine\Cards\Card1\Port1]
//   "Wire"="none" | "loopback" | "null-modem" | "external"
//   "Peer"="Card2\\Port1"        the other end of a null-modem cable (declared on either end)
//   "Expose"=dword:00000001      a port a tool should bridge to the outside
//       "external" connects a recording endpoint whose wire the tests drive (ExternalOf).
//
//   [HKEY_LOCAL_MACHINE\Machine]
//   "LineTimePercent"=dword:00000064   the pace of every serial line: 100 (the default) runs
//                                      characters in real time, 400 makes each last four times
//                                      as long (the programmed baud rate stays what it is)
//
// For each card, in slot order, Boot allocates a bus window (from 0xE0000000, 64 KiB apart), an
// interrupt line (from 10 up, one per card) and a system interrupt mapped to it, creates the card
// model, attaches it to the bus and connects its wires. Start then writes the instance key
// "Drivers\BuiltIn\PCI\Instance\<card>" (template values, then "MemBase", "MemLen",
// "InterfaceType"=5, "BusNumber"=0, "DeviceNumber"=slot, "FunctionNumber"=0, "Irq", "SysIntr",
// "IsrDll"="zelisr.dll", "IsrHandler"="IsrHandler", then the card's own values) and activates
// it. A card that cannot be started is reported with its name and what failed; the others
// still start. Shutdown deactivates every device, newest first (ports before their adapter),
// disconnects the wires, takes the cards off the bus and unmaps their system interrupts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "sim/hw/card.h"
#include "sim/hw/wire.h"

namespace sim {

class Uart;

enum class WireKind { None, Loopback, NullModem, External };

struct MachinePort {
    uint32_t number = 0;  // 1 .. card's port count
    WireKind wire = WireKind::None;
    std::string peerCard;  // null-modem: the far end
    uint32_t peerPort = 0;
    bool expose = false;
};

struct MachineCard {
    std::string name;  // the key name below Machine\Cards
    uint32_t slot = 0;
    std::u16string templateName;
    std::u16string instanceKey;  // Drivers\BuiltIn\PCI\Instance\<name>
    std::shared_ptr<Card> card;
    uint64_t busAddress = 0;
    uint32_t irq = 0;
    uint32_t sysIntr = 0;
    plat::Handle device = 0;  // the adapter device while started
    std::vector<MachinePort> ports;
};

class Machine {
  public:
    // Imports the text into the registry (on top of what it holds) and builds the machine it
    // describes. Null with *error set ("source:line: ..." or "Card2: ...") when the text does
    // not parse or describes a machine that cannot be built.
    static std::unique_ptr<Machine> Boot(std::string_view regText, std::string_view sourceName,
                                         std::string* error);
    static std::unique_ptr<Machine> BootFile(const std::string& fileName, std::string* error);
    // Builds from the keys the registry holds now.
    static std::unique_ptr<Machine> FromRegistry(std::string* error);

    ~Machine();  // Shutdown
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Activates every card not yet started, in slot order. True when every card started and
    // each of its ports came up as a named device; Problems() says what did not.
    bool Start();
    // Deactivates every device and takes the hardware down. A second call does nothing.
    void Shutdown();

    // Deactivates a running card's adapter device (its ports go first) / activates a stopped
    // card again as Start does. False for an unknown card, one already in that state, or one
    // that did not come up fully (Problems() says why).
    bool StopCard(std::string_view name);
    bool RestartCard(std::string_view name);

    const std::vector<MachineCard>& Cards() const { return cards_; }
    const MachineCard* FindCard(std::string_view name) const;
    // The UART of a card's port, or null.
    Uart* UartOf(std::string_view card, uint32_t port) const;
    // The external wire and its recording endpoint of a port wired "external", or null.
    ExternalWire* ExternalOf(std::string_view card, uint32_t port) const;
    RecordingEndpoint* RecorderOf(std::string_view card, uint32_t port) const;
    // Connects an endpoint to a port without a wire (a tool bridging an exposed port). Null
    // when the port does not exist or is already on a wire. The machine owns the wire.
    ExternalWire* Connect(std::string_view card, uint32_t port,
                          std::shared_ptr<LineEndpoint> endpoint);

    // The stream device name ("COM3:") of a card's port while it runs, or "".
    std::u16string PortDeviceName(std::string_view card, uint32_t port) const;

    // One line per card or port device that did not start: "Card3: <what failed>".
    const std::vector<std::string>& Problems() const { return problems_; }

  private:
    Machine() = default;
    bool Build(std::string* error);
    bool StartCard(MachineCard& card);
    void WriteInstanceKey(const MachineCard& card) const;

    struct Connection {
        std::string card;
        uint32_t port = 0;
        std::unique_ptr<Wire> wire;
        ExternalWire* external = nullptr;  // the same wire, for "external" and Connect
        std::shared_ptr<RecordingEndpoint> recorder;
    };
    const Connection* ConnectionOf(std::string_view card, uint32_t port) const;

    std::vector<MachineCard> cards_;
    std::vector<Connection> connections_;
    std::vector<std::string> problems_;
    bool started_ = false;
    bool shutDown_ = false;
};

}  // namespace sim
