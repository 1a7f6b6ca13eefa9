// Booting machines: board numbers per family, the port keys and their values, device names in
// the active keys, the modem entries, and cards that the drivers refuse.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/hw/uart.h"
#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

namespace reg = sim::reg;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::u16string PortKey(const std::string& family, int board, int port) {
    char text[64];
    std::snprintf(text, sizeof text, "Drivers\\ZELSer\\FAM_%s&BID_%02d&PID_%02d", family.c_str(),
                  board, port);
    return U(text);
}

// Names in the active keys, in active-key order.
std::vector<std::string> ActiveNames() {
    std::vector<std::string> names;
    for (const auto& sub : reg::SubKeys(u"Drivers\\Active")) {
        names.push_back(Utf8(reg::GetString(u"Drivers\\Active\\" + sub, u"Name").value_or(u"")));
    }
    return names;
}

using BootTest = E2eTest;

TEST_F(BootTest, BoardsAreNumberedPerFamilyAndPortsNamedInOrder) {
    sim::Machine& m =
        Boot(CardText("CardA", "ZelKap", 1, 0x0A40) + CardText("CardB", "ZelKor", 2, 0x0A40) +
             CardText("CardC", "ZelKap", 3, 0x0A40));
    for (auto [family, board] : {std::pair{"KAP", 1}, {"KOR", 1}, {"KAP", 2}}) {
        for (int port = 1; port <= 2; ++port) {
            EXPECT_TRUE(reg::KeyExists(PortKey(family, board, port)))
                << family << " board " << board << " port " << port;
        }
    }
    EXPECT_FALSE(reg::KeyExists(PortKey("KOR", 2, 1)));
    EXPECT_FALSE(reg::KeyExists(PortKey("KAP", 3, 1)));

    // The adapter of each card, then its ports, each with the first free name.
    EXPECT_THAT(ActiveNames(), ElementsAre("KAP1:", "COM1:", "COM2:", "KOR1:", "COM3:", "COM4:",
                                           "KAP2:", "COM5:", "COM6:"));
    EXPECT_EQ(m.PortDeviceName("CardB", 1), u"COM3:");
    EXPECT_EQ(m.PortDeviceName("CardC", 2), u"COM6:");
    auto com4 = sim::FindDevice(u"COM4:");
    ASSERT_TRUE(com4.has_value());
    EXPECT_EQ(com4->keyPath, PortKey("KOR", 1, 2));
    EXPECT_EQ(reg::GetString(com4->activeKey, u"Key"), PortKey("KOR", 1, 2));
    EXPECT_EQ(com4->parent, m.FindCard("CardB")->device);
    EXPECT_THAT(m.Problems(), IsEmpty());
}

TEST_F(BootTest, PortKeysCarryTheAdaptersValuesAndThePortProperties) {
    const std::string properties = R"(
[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\PCI\Template\ZelKap\PortProp2]
"ClockRate"=dword:00708000
[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\PCI\Template\ZelKap\PortProp4]
"Index"=dword:00000009
"Extra"="kept"
)";
    sim::Machine& m = Boot(properties + CardText("Card1", "ZelKap", 1, 0x0A41));
    const uint32_t base = static_cast<uint32_t>(m.FindCard("Card1")->busAddress);
    EXPECT_EQ(reg::GetDword(m.FindCard("Card1")->instanceKey + u"\\Properties", u"NumPorts"), 4u);

    std::u16string port3 = PortKey("KAP", 1, 3);
    EXPECT_EQ(reg::GetString(port3, u"Dll"), u"zelser.dll");
    EXPECT_EQ(reg::GetDword(port3, u"MemBase"), base + 1024);
    EXPECT_EQ(reg::GetDword(port3, u"MemLen"), 15u);
    EXPECT_EQ(reg::GetDword(port3, u"Flags"), 8u);
    EXPECT_EQ(reg::GetString(port3, u"IClass"), u"{CC5195AC-BA49-48a0-BE17-DF6D1B0173DD}");
    EXPECT_EQ(reg::GetDword(port3, u"Order"), 0u);
    EXPECT_EQ(reg::GetDword(port3, u"Priority"), 0u);
    EXPECT_EQ(reg::GetDword(port3, u"DeviceArrayIndex"), 3u);
    EXPECT_EQ(reg::GetDword(port3, u"InterfaceType"), 5u);
    EXPECT_EQ(reg::GetDword(port3, u"ClockRate"), sim::kCardDefaultClock);
    EXPECT_EQ(reg::GetString(port3, u"Prefix"), u"COM");

    // The property sub key of port 2 replaces the clock rate of port 2 only.
    EXPECT_EQ(reg::GetDword(PortKey("KAP", 1, 2), u"ClockRate"), 0x708000u);
    EXPECT_EQ(reg::GetDword(PortKey("KAP", 1, 1), u"ClockRate"), sim::kCardDefaultClock);
    // New names are added, and "Index" names the device.
    EXPECT_EQ(reg::GetString(PortKey("KAP", 1, 4), u"Extra"), u"kept");
    EXPECT_EQ(m.PortDeviceName("Card1", 4), u"COM9:");
    EXPECT_EQ(m.PortDeviceName("Card1", 3), u"COM3:");

    // The overridden clock reaches the hardware: 115200 baud is divisor 8 from the EEPROM
    // clock and divisor 4 from the property's.
    for (auto [port, divisor] : {std::pair{1u, 8u}, {2u, 4u}}) {
        api::Handle h = api::Open(m.PortDeviceName("Card1", port), kReadWrite, 0);
        ASSERT_NE(h, 0u);
        plat::Dcb dcb{};
        ASSERT_TRUE(api::GetCommState(h, &dcb));
        dcb.BaudRate = 115200;
        ASSERT_TRUE(api::SetCommState(h, &dcb));
        EXPECT_EQ(m.UartOf("Card1", port)->Frame().divisor, divisor) << "port " << port;
        EXPECT_TRUE(api::Close(h));
    }
}

TEST_F(BootTest, EveryPortOffersItselfToTheModemService) {
    Boot(CardText("Card1", "ZelKap", 1, 0x0A40));
    const std::vector<uint8_t> devConfig = {0x10, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x10,
                                            0x01, 0x00, 0x00, 0x00, 0x4B, 0x00, 0x00, 0x00, 0x00,
                                            0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    struct Entry {
        const char16_t* key;
        uint32_t deviceType;
        const char16_t* friendlyName;
    };
    for (int port = 1; port <= 2; ++port) {
        std::u16string name = u"COM" + U(std::to_string(port)) + u":";
        const Entry entries[] = {{u"Unimodem", 0, u"Serial Cable on "},
                                 {u"Unimodem2", 1, u"Hayes Compatible on "}};
        for (const Entry& e : entries) {
            std::u16string key = PortKey("KAP", 1, port) + u"\\" + e.key;
            SCOPED_TRACE(Utf8(key));
            EXPECT_EQ(reg::GetString(key, u"Tsp"), u"Unimodem.dll");
            EXPECT_EQ(reg::GetDword(key, u"DeviceType"), e.deviceType);
            EXPECT_EQ(reg::GetString(key, u"FriendlyName"), e.friendlyName + name);
            auto config = reg::GetValue(key, u"DevConfig");
            ASSERT_TRUE(config.has_value());
            EXPECT_EQ(config->type, plat::kRegBinary);
            EXPECT_EQ(config->data, devConfig);
        }
    }
}

TEST_F(BootTest, TheKorLibraryServesOnlyItsFamily) {
    sim::Machine& m =
        Boot(CardText("Kap", "KorOnlyKap", 1, 0x0A40) + CardText("Kor", "KorOnlyKor", 2, 0x0A40) +
                 CardText("Kum", "KorOnlyKum", 3, 0x0A40),
             false);
    EXPECT_THAT(m.Problems(), ElementsAre(HasSubstr("Kap: "), HasSubstr("Kum: ")));
    EXPECT_THAT(m.Problems()[0], HasSubstr("KAP_Init"));
    EXPECT_THAT(m.Problems()[1], HasSubstr("KUM_Init"));
    EXPECT_EQ(m.FindCard("Kap")->device, 0u);
    EXPECT_NE(m.FindCard("Kor")->device, 0u);
    EXPECT_TRUE(reg::KeyExists(PortKey("KOR", 1, 1)));
    EXPECT_EQ(m.PortDeviceName("Kor", 1), u"COM1:");
    EXPECT_EQ(sim::LoadedLibraries().size(), 1u);
}

// Each refused card is named with what failed; the good card beside it still starts.
TEST_F(BootTest, RefusedCardsAreReportedAndTheOthersStart) {
    struct Case {
        const char* what;
        std::string card;
        const char* reason;
    };
    const Case cases[] = {
        {"unlisted subsystem", CardText("Bad", "ZelKap", 1, 0x0A5C), "KAP_Init returned 0"},
        {"device ID without a clock", CardText("Bad", "ZelKap", 1, 0x0A40, 0x153),
         "KAP_Init returned 0"},
        {"system interrupt 0",
         CardText("Bad", "ZelKap", 1, 0x0A40, 0x154, "\"SysIntr\"=dword:00000000\n"),
         "KAP_Init returned 0"},
        {"window shorter than the model's",
         CardText("Bad", "ZelKap", 1, 0x0A41, 0x154, "\"MemLen\"=dword:00000400\n"),
         "KAP_Init returned 0"},
        {"no template", CardText("Bad", "Nothing", 1, 0x0A40), "no template Nothing"},
        {"library missing",
         "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\PCI\\Template\\Lost]\n\"Dll\"=\"lost.dll\"\n"
         "\"Prefix\"=\"KAP\"\n" +
             CardText("Bad", "Lost", 1, 0x0A40),
         "liblost.so"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        machine.reset();
        Clean();
        sim::Machine& m = Boot(c.card + CardText("Good", "ZelKum", 2, 0x0A40), false);
        ASSERT_EQ(m.Problems().size(), 1u) << ::testing::PrintToString(m.Problems());
        EXPECT_THAT(m.Problems()[0], HasSubstr("Bad: "));
        EXPECT_THAT(m.Problems()[0], HasSubstr(c.reason));
        EXPECT_EQ(m.FindCard("Bad")->device, 0u);
        EXPECT_THAT(reg::SubKeys(u"Drivers\\ZELSer"),
                    ElementsAre(PortKey("KUM", 1, 1).substr(15), PortKey("KUM", 1, 2).substr(15)));
        EXPECT_EQ(m.PortDeviceName("Good", 2), u"COM2:");
        machine.reset();
        ExpectNothingLeft();
    }
}

TEST_F(BootTest, MachineDescriptionsThatCannotBeBuiltAreRefused) {
    struct Case {
        const char* what;
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"bad text", "[HKEY_LOCAL_MACHINE\\Machine\n", "machine.reg:"},
        {"two cards in one slot",
         CardText("A", "ZelKap", 1, 0x0A40) + CardText("B", "ZelKap", 1, 0x0A40), "slot 1"},
        {"unknown wire", CardText("A", "ZelKap", 1, 0x0A40) + PortWire("A", 1, "string"),
         "unknown \"Wire\""},
        {"port beyond the card", CardText("A", "ZelKap", 1, 0x0A40) + PortWire("A", 3, "loopback"),
         "no Port3"},
        {"peer missing", CardText("A", "ZelKap", 1, 0x0A40) + NullModem("A", 1, "B", 1),
         "no peer B\\Port1"},
        {"peer wired elsewhere",
         CardText("A", "ZelKap", 1, 0x0A40) + NullModem("A", 1, "A", 2) +
             PortWire("A", 2, "loopback"),
         "wired elsewhere"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Clean();
        std::string error;
        auto m = sim::Machine::Boot(Templates() + c.text, "machine.reg", &error);
        EXPECT_EQ(m, nullptr);
        EXPECT_THAT(error, HasSubstr(c.reason));
        ExpectNothingLeft();
    }
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// Every machine shipped in machines/ boots, and each port of each card comes up named.
TEST_F(BootTest, ShippedMachinesBootAndStart) {
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ZEL_MACHINES_DIR)) {
        if (entry.path().extension() != ".reg") continue;
        ++files;
        SCOPED_TRACE(entry.path().filename().string());
        Clean();
        std::string error;
        machine = sim::Machine::BootFile(entry.path().string(), &error);
        ASSERT_NE(machine, nullptr) << error;
        EXPECT_TRUE(machine->Start()) << ::testing::PrintToString(machine->Problems());
        size_t ports = 0;
        for (const sim::MachineCard& card : machine->Cards()) {
            for (const sim::MachinePort& port : card.ports) {
                EXPECT_THAT(Utf8(machine->PortDeviceName(card.name, port.number)),
                            ::testing::MatchesRegex("COM[0-9]:"))
                    << card.name << " port " << port.number;
                ++ports;
            }
        }
        EXPECT_EQ(sim::ListDevices().size(), machine->Cards().size() + ports);
        machine.reset();
        ExpectNothingLeft();
    }
    EXPECT_GT(files, 0u);
}

}  // namespace
}  // namespace e2e
