// Registry text files: parsing, importing, exporting, and refusing malformed files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "registry_fixture.h"
#include "sim/registry/registry.h"

namespace zeltest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
namespace reg = sim::reg;

// The whole tree as the path helpers see it, independent of export.
using Tree = std::map<std::u16string, std::vector<reg::Value>>;
Tree Snapshot() {
    Tree tree;
    std::vector<std::u16string> pending{u""};
    while (!pending.empty()) {
        std::u16string path = pending.back();
        pending.pop_back();
        tree[path] = reg::Values(path);
        for (const std::u16string& sub : reg::SubKeys(path)) {
            pending.push_back(path.empty() ? sub : path + u"\\" + sub);
        }
    }
    return tree;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

std::vector<uint8_t> Utf16Raw(std::u16string_view s) {
    std::vector<uint8_t> v;
    for (char16_t c : s) {
        v.push_back(static_cast<uint8_t>(c));
        v.push_back(static_cast<uint8_t>(c >> 8));
    }
    return v;
}

using RegFileTest = RegistryTest;

TEST_F(RegFileTest, ExportThenImportRebuildsTheSameTree) {
    std::vector<uint8_t> longBinary(200);
    for (size_t i = 0; i < longBinary.size(); ++i) longBinary[i] = static_cast<uint8_t>(i * 7);
    struct Case {
        const char16_t* name;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {u"Plain", 1, reg::StringBytes(u"COM")},
        {u"Escapes", 1, reg::StringBytes(u"a\"b\\c\\\\\"")},
        {u"Empty", 1, reg::StringBytes(u"")},
        {u"Unicode", 1, reg::StringBytes(u"\u00e9\u4e2d\U0001F600")},
        {u"Spaces", 1, reg::StringBytes(u"  padded \t ")},
        {u"Unterminated", 1, Utf16Raw(u"abc")},
        {u"EmbeddedNul", 1, Utf16Raw(std::u16string(u"a\0b\0", 4))},
        {u"LineBreak", 1, reg::StringBytes(u"one\r\ntwo")},
        {u"LoneSurrogate", 1, reg::StringBytes(u"\xD800x")},
        {u"OddLength", 1, Bytes({0x41, 0x00, 0x42})},
        {u"NoData", 1, {}},
        {u"Dword", 4, Bytes({0x0a, 0, 0, 0})},
        {u"DwordHigh", 4, Bytes({0xff, 0xee, 0xdd, 0xcc})},
        {u"ShortDword", 4, Bytes({1, 2, 3})},
        {u"Binary", 3, Bytes({0, 1, 0xfe, 0xff})},
        {u"LongBinary", 3, longBinary},
        {u"EmptyBinary", 3, {}},
        {u"Multi", 7, reg::MultiStringBytes({u"one", u"two", u"three"})},
        {u"Expand", 2, reg::StringBytes(u"%PATH%")},
        {u"TypeZero", 0, Bytes({9})},
        {u"BigType", 0xffff0010u, Bytes({1, 2})},
        {u"Quote\"And\\Slash", 3, Bytes({1})},
        {u"", 1, reg::StringBytes(u"default")},
        {u"@", 1, reg::StringBytes(u"not the default")},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(reg::SetValue(u"Machine\\Values", c.name, c.type, c.data));
    }
    reg::SetDword(u"Machine\\Sub\\Deep\\Deeper", u"X", 1);
    reg::CreateKey(u"Machine\\EmptyKey");
    reg::CreateKey(u"Machine\\bracket]name");
    reg::SetString(u"Machine\\Mixed Case Key", u"Name With Spaces", u"v");
    reg::SetBinary(u"", u"RootValue", Bytes({4, 2}));

    const Tree before = Snapshot();
    reg::ExportResult first = reg::ExportRegText();
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_THAT(first.text, StartsWith("Windows Registry Editor Version 5.00\n"));
    EXPECT_THAT(first.text, HasSubstr("\"Escapes\"=\"a\\\"b\\\\c\\\\\\\\\\\"\"\n"));
    EXPECT_THAT(first.text, HasSubstr("\"Dword\"=dword:0000000a\n"));
    EXPECT_THAT(first.text, HasSubstr("\"Unterminated\"=hex(1):61,00,62,00,63,00\n"));
    EXPECT_THAT(first.text, HasSubstr("@=\"default\"\n"));
    EXPECT_THAT(first.text, HasSubstr("\"BigType\"=hex(ffff0010):01,02\n"));
    EXPECT_THAT(first.text, HasSubstr(",\\\n  ")) << "long data continues on later lines";
    for (size_t start = 0, end; (end = first.text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        EXPECT_LE(end - start, 80u) << first.text.substr(start, end - start);
    }

    reg::ClearAll();
    reg::Status imported = reg::ImportRegText(first.text, "export.reg");
    ASSERT_TRUE(imported.ok) << imported.error;
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(reg::ExportRegText().text, first.text);
}

TEST_F(RegFileTest, ExportOfASubTreeNamesFullPathsAndLeavesTheRestOut) {
    reg::SetDword(u"Drivers\\ZELSer\\Port1", u"Index", 1);
    reg::SetDword(u"Other", u"X", 1);
    reg::ExportResult out = reg::ExportRegText(u"drivers\\zelser");
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.text,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\Drivers\\ZELSer]\n\n"
              "[HKEY_LOCAL_MACHINE\\Drivers\\ZELSer\\Port1]\n"
              "\"Index\"=dword:00000001\n\n");
    EXPECT_FALSE(reg::ExportRegText(u"Missing").ok);
}

TEST_F(RegFileTest, ExportRefusesNamesATextFileCannotHold) {
    reg::SetDword(u"K", u"line\nbreak", 1);
    reg::ExportResult out = reg::ExportRegText();
    EXPECT_FALSE(out.ok);
    EXPECT_THAT(out.error, HasSubstr("K"));
}

TEST_F(RegFileTest, ImportsTheUsualFormat) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; the card's template\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\ZELSer]\r\n"
        "@=\"default\"\r\n"
        "\"Dll\"=\"zelser.dll\"\r\n"
        "  \"Priority256\" = dword:9f\r\n"
        "\"Path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\r\n"
        "\"Bytes\"=hex:01,02,\\\r\n"
        "  03,04,\\\r\n"
        "  05\r\n"
        "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Upper\"=HEX(B):01,02,03,04,05,06,07,08\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\Old]\r\n"
        "\"Keep\"=dword:00000001\r\n"
        "\"Drop\"=dword:00000002\r\n"
        "\"Drop\"=-\r\n"
        "[HKEY_LOCAL_MACHINE\\Doomed\\Child]\r\n"
        "[-HKEY_LOCAL_MACHINE\\Doomed]\r\n";
    reg::Status status = reg::ImportRegText(text, "machines/card.reg");
    ASSERT_TRUE(status.ok) << status.error;
    EXPECT_EQ(reg::GetString(u"Drivers\\ZELSer", u""), u"default");
    EXPECT_EQ(reg::GetString(u"Drivers\\ZELSer", u"Dll"), u"zelser.dll");
    EXPECT_EQ(reg::GetDword(u"Drivers\\ZELSer", u"Priority256"), 159u);
    EXPECT_EQ(reg::GetString(u"Drivers\\ZELSer", u"Path"), u"C:\\dir\\\"q\"");
    EXPECT_EQ(reg::GetValue(u"Drivers\\ZELSer", u"Bytes"),
              (reg::Value{u"Bytes", 3, Bytes({1, 2, 3, 4, 5})}));
    EXPECT_EQ(reg::GetMultiString(u"Drivers\\ZELSer", u"List"),
              (std::vector<std::u16string>{u"a", u"b"}));
    EXPECT_EQ(reg::GetValue(u"Drivers\\ZELSer", u"Empty"), (reg::Value{u"Empty", 3, {}}));
    EXPECT_EQ(reg::GetValue(u"Drivers\\ZELSer", u"Upper")->type, 0xbu);
    EXPECT_THAT(reg::Values(u"Drivers\\Old"),
                ElementsAre(reg::Value{u"Keep", 4, Bytes({1, 0, 0, 0})}));
    EXPECT_FALSE(reg::KeyExists(u"Doomed"));
    EXPECT_THAT(reg::SubKeys(u"Drivers"), ElementsAre(u"Old", u"ZELSer"));
}

TEST_F(RegFileTest, AcceptsTheOlderHeaderAndByteOrderMarks) {
    const std::string body = "[HKEY_LOCAL_MACHINE\\K]\n\"S\"=\"\xc3\xa9\"\n";
    for (const std::string& header : {std::string("REGEDIT4\n"), std::string("\xEF\xBB\xBF")}) {
        reg::ClearAll();
        ASSERT_TRUE(reg::ImportRegText(header + body, "x.reg").ok);
        EXPECT_EQ(reg::GetString(u"K", u"S"), u"\u00e9");
    }
    // UTF-16LE with its byte-order mark, as some editors save it.
    reg::ClearAll();
    std::u16string wide = u"\uFEFFWindows Registry Editor Version 5.00\r\n" + reg::FromUtf8(body);
    std::vector<uint8_t> bytes = Utf16Raw(wide);
    reg::ParseResult parsed = reg::ParseRegText(bytes, "wide.reg");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    reg::ApplyOps(parsed.ops);
    EXPECT_EQ(reg::GetString(u"K", u"S"), u"\u00e9");
}

TEST_F(RegFileTest, ParsingAloneTouchesNothing) {
    reg::ParseResult parsed = reg::ParseRegText(
        "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:1\n\"W\"=-\n[-HKEY_LOCAL_MACHINE\\B]\n", "ops.reg");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_THAT(reg::SubKeys(u""), IsEmpty());
    using K = reg::OpKind;
    ASSERT_EQ(parsed.ops.size(), 4u);
    EXPECT_EQ(parsed.ops[0], (reg::Op{K::CreateKey, u"A", u"", 0, {}, 1}));
    EXPECT_EQ(parsed.ops[1], (reg::Op{K::SetValue, u"A", u"V", 4, Bytes({1, 0, 0, 0}), 2}));
    EXPECT_EQ(parsed.ops[2], (reg::Op{K::DeleteValue, u"A", u"W", 0, {}, 3}));
    EXPECT_EQ(parsed.ops[3], (reg::Op{K::DeleteKey, u"B", u"", 0, {}, 4}));
}

struct Broken {
    const char* what;
    std::string text;
    int line;
    const char* message;
};

void PrintTo(const Broken& b, std::ostream* os) {
    *os << b.what;
}

class MalformedFileTest : public RegistryTest, public ::testing::WithParamInterface<Broken> {};

// A good prefix before the fault shows that nothing of a refused file is applied.
const std::string kGood = "[HKEY_LOCAL_MACHINE\\New]\n\"Applied\"=dword:1\n";

const Broken kBroken[] = {
    {"no equals", kGood + "\"Name\" \"x\"\n", 3, "expected '=' after value name"},
    {"unterminated name", kGood + "\"Name=x\n", 3, "unterminated value name"},
    {"unterminated string", kGood + "\"Name\"=\"x\n", 3, "unterminated string"},
    {"unknown escape", kGood + "\"Name\"=\"a\\nb\"\n", 3, "unknown escape '\\n'"},
    {"text after string", kGood + "\"Name\"=\"a\" b\n", 3, "unexpected text"},
    {"value before section", "\"Name\"=dword:1\n", 1, "before any '[key]'"},
    {"value after key deletion", "[-HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:1\n", 2, "deleted key"},
    {"unknown root", kGood + "[HKEY_CURRENT_USER\\X]\n", 3, "unknown root key"},
    {"missing bracket", kGood + "[HKEY_LOCAL_MACHINE\\X\n", 3, "expected ']'"},
    {"empty key name", kGood + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 3, "empty key name"},
    {"delete the root", kGood + "[-HKEY_LOCAL_MACHINE]\n", 3, "root key"},
    {"long key name", kGood + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n", 3,
     "longer than 255"},
    {"dword too long", kGood + "\"N\"=dword:123456789\n", 3, "1 to 8 hex digits"},
    {"dword not hex", kGood + "\"N\"=dword:12g4\n", 3, "1 to 8 hex digits"},
    {"dword empty", kGood + "\"N\"=dword:\n", 3, "1 to 8 hex digits"},
    {"bad byte", kGood + "\"N\"=hex:01,zz\n", 3, "expected a hex byte, found 'zz'"},
    {"three digit byte", kGood + "\"N\"=hex:100\n", 3, "expected a hex byte"},
    {"double comma", kGood + "\"N\"=hex:01,,02\n", 3, "expected a hex byte"},
    {"trailing comma", kGood + "\"N\"=hex:01,02,\n", 3, "expected a hex byte"},
    {"bad continuation", kGood + "\"N\"=hex:01,\\\n  02,\\\n  0x\n", 5, "found '0x'"},
    {"continuation at end", kGood + "\"N\"=hex:01,\\", 3, "end of file"},
    {"bad hex type", kGood + "\"N\"=hex(q):01\n", 3, "hex(type)"},
    {"unclosed hex type", kGood + "\"N\"=hex(7:01\n", 3, "hex(type)"},
    {"hex without colon", kGood + "\"N\"=hex 01\n", 3, "expected ':'"},
    {"unknown data", kGood + "\"N\"=word:1\n", 3, "expected a string"},
    {"stray text", kGood + "\n\nHello\n", 5, "expected a '[key]' line"},
    {"header not first", kGood + "REGEDIT4\n", 3, "expected a '[key]' line"},
    {"invalid UTF-8", kGood + "\"N\"=\"\xC3\x28\"\n", 3, "not valid UTF-8"},
    {"overlong UTF-8", kGood + "\"N\"=\"\xC0\xAF\"\n", 3, "not valid UTF-8"},
    {"long value name",
     kGood + "\"" + std::string(reg::kMaxValueNameLength + 1, 'n') + "\"=dword:1\n", 3,
     "value name longer"},
};

TEST_P(MalformedFileTest, IsRefusedWithItsLineAndChangesNothing) {
    const Broken& b = GetParam();
    reg::SetDword(u"Existing", u"Kept", 7);
    const std::string before = reg::ExportRegText().text;
    reg::Status status = reg::ImportRegText(b.text, "machines/x.reg");
    EXPECT_FALSE(status.ok);
    EXPECT_THAT(status.error, StartsWith("machines/x.reg:" + std::to_string(b.line) + ": "));
    EXPECT_THAT(status.error, HasSubstr(b.message));
    EXPECT_EQ(reg::ExportRegText().text, before);
    EXPECT_FALSE(reg::KeyExists(u"New"));
}

INSTANTIATE_TEST_SUITE_P(Inputs, MalformedFileTest, ::testing::ValuesIn(kBroken),
                         [](const auto& info) {
                             std::string name;
                             for (char c : std::string(info.param.what)) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST_F(RegFileTest, FilesOnDisk) {
    const std::string file = ::testing::TempDir() + "registry_file_test.reg";
    reg::SetString(u"Drivers\\ZELSer", u"Dll", u"zelser.dll");
    reg::Status written = reg::ExportRegFile(u"Drivers", file);
    ASSERT_TRUE(written.ok) << written.error;
    reg::ClearAll();
    reg::Status read = reg::ImportRegFile(file);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(reg::GetString(u"Drivers\\ZELSer", u"Dll"), u"zelser.dll");
    std::remove(file.c_str());

    reg::Status missing = reg::ImportRegFile(file);
    EXPECT_FALSE(missing.ok);
    EXPECT_THAT(missing.error, StartsWith(file + ": "));

    std::ofstream(file) << "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:zz\n";
    reg::Status bad = reg::ImportRegFile(file);
    EXPECT_THAT(bad.error, StartsWith(file + ":2: "));
    std::remove(file.c_str());
}

// Random damage to a valid file: the parser either accepts it or names a line within the
// file; it never crashes or reads out of bounds (run under the address sanitizer in CI).
TEST_F(RegFileTest, DamagedInputIsHandled) {
    reg::SetString(u"A\\B", u"S", u"text \"quoted\" \\");
    reg::SetBinary(u"A\\B", u"Bin", std::vector<uint8_t>(90, 0x5a));
    reg::SetMultiString(u"A\\C", u"M", {u"x", u"y"});
    reg::SetDword(u"A", u"D", 3);
    const std::string good = reg::ExportRegText().text;
    const size_t lines = static_cast<size_t>(std::count(good.begin(), good.end(), '\n')) + 1;
    std::mt19937 rng(1234);
    const char alphabet[] =
        "[]\\\"@=,:-;()\n\r hexdword0123456789abcdefgHKEY_LOCAL_MACHINE\xC3\x80";
    int accepted = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text = good;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t pos = rng() % (text.size() + 1);
            switch (rng() % 3) {
                case 0:
                    text.insert(pos, 1, alphabet[rng() % (sizeof alphabet - 1)]);
                    break;
                case 1:
                    if (pos < text.size()) text.erase(pos, 1 + rng() % 8);
                    break;
                default:
                    if (pos < text.size()) text[pos] = alphabet[rng() % (sizeof alphabet - 1)];
                    break;
            }
        }
        reg::ParseResult parsed = reg::ParseRegText(text, "f.reg");
        if (parsed.ok) {
            ++accepted;
            continue;
        }
        ASSERT_THAT(parsed.error, StartsWith("f.reg:"));
        size_t line = std::stoul(parsed.error.substr(6));
        ASSERT_GE(line, 1u);
        ASSERT_LE(line, lines + 8) << parsed.error;
    }
    EXPECT_THAT(reg::SubKeys(u""), ElementsAre(u"A")) << "parsing applied nothing";
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 3000);
}

}  // namespace
}  // namespace zeltest
