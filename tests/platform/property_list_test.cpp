#include "platform/property_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/fake/fake_log.h"
#include "platform/platform.h"
#include "platform/url.h"
#include "testing/files.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

using test_support::TemporaryFolder;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

constexpr std::string_view kXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
    <key>string</key><string>Zoë &amp; co</string>
    <key>yes</key><true/>
    <key>integer</key><integer>-42</integer>
    <key>real</key><real>0.1</real>
    <key>date</key><date>2001-01-02T00:00:00Z</date>
    <key>data</key><data>AQID</data>
    <key>array</key><array><string>a</string><integer>1</integer></array>
    <key>nested</key><dict><key>k</key><string>v</string></dict>
</dict>
</plist>
)";

PropertyList everyType() {
    return PropertyList(PropertyList::Dictionary{
        {"string", "Zoë & co"},
        {"yes", true},
        {"integer", std::int64_t{-42}},
        {"real", 0.1},
        {"date", PropertyList::Date{86400}},
        {"data", PropertyList::Data{1, 2, 3}},
        {"array", PropertyList::Array{"a", 1}},
        {"nested", PropertyList::Dictionary{{"k", "v"}}},
    });
}

TEST(PropertyList, ReadsEveryTypeFromXml) {
    const auto value = PropertyList::readFromBytes(bytesOf(kXml));
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, everyType());
    EXPECT_EQ(*value->objectForKey("string")->stringValue(), "Zoë & co");
    EXPECT_EQ(value->objectForKey("date")->dateValue()->secondsSinceReferenceDate, 86400);
    EXPECT_EQ(value->objectForKey("missing"), nullptr);
    EXPECT_EQ(value->objectForKey("array")->objectForKey("a"), nullptr);
}

TEST(PropertyList, ReadsBinary) {
    static constexpr std::uint8_t kBinary[] = {
        0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xd4, 0x01, 0x03, 0x05, 0x07,
        0x02, 0x04, 0x06, 0x08, 0x54, 0x6e, 0x61, 0x6d, 0x65, 0x56, 0x50, 0x65, 0x6e,
        0x64, 0x72, 0x61, 0x51, 0x6e, 0x10, 0x05, 0x52, 0x6f, 0x6b, 0x09, 0x54, 0x6c,
        0x69, 0x73, 0x74, 0xa1, 0x09, 0x22, 0x3f, 0xc0, 0x00, 0x00, 0x08, 0x11, 0x16,
        0x1d, 0x1f, 0x21, 0x24, 0x25, 0x2a, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x31};
    const auto value = PropertyList::readFromBytes(kBinary);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value,
              PropertyList(PropertyList::Dictionary{
                  {"name", "Pendra"}, {"n", 5}, {"ok", true}, {"list", PropertyList::Array{1.5}}}));
    // Cut short, the same bytes are refused.
    EXPECT_FALSE(PropertyList::readFromBytes(std::span(kBinary, sizeof kBinary - 10)));

    // Damaged copies read as absent or as some value, and never bring the reader down.
    int refused = 0;
    for (std::size_t at = 0; at < sizeof kBinary; ++at) {
        for (const std::uint8_t mask : {0x01, 0x10, 0x7F, 0x80, 0xFF}) {
            std::vector<std::uint8_t> damaged(std::begin(kBinary), std::end(kBinary));
            damaged[at] ^= mask;
            const auto value = PropertyList::readFromBytes(damaged);
            refused += value ? 0 : 1;
            if (value) {
                EXPECT_FALSE(value->description().empty());
            }
        }
    }
    EXPECT_GT(refused, 0);
}

TEST(PropertyList, TruncatedXmlIsRefused) {
    for (std::size_t length = 0; length + 20 < kXml.size(); length += 7) {
        EXPECT_FALSE(PropertyList::readFromBytes(bytesOf(kXml.substr(0, length)))) << length;
    }
}

TEST(PropertyList, MissingOrMalformedFilesAreAbsent) {
    TemporaryFolder folder;
    EXPECT_FALSE(PropertyList::readFromFile(folder / "missing.plist"));
    EXPECT_FALSE(PropertyList::readFromFile(folder / ""));  // a folder
    std::ofstream(folder / "bad.plist") << "<plist><dict><key>a</key>";
    EXPECT_FALSE(PropertyList::readFromFile(folder / "bad.plist"));
    std::ofstream(folder / "empty.plist").close();
    EXPECT_FALSE(PropertyList::readFromFile(folder / "empty.plist"));
    std::ofstream(folder / "array.plist") << "<plist><array/></plist>";
    EXPECT_TRUE(PropertyList::readFromFile(folder / "array.plist"));
    EXPECT_FALSE(PropertyList::dictionaryWithContentsOfFile(folder / "array.plist"));
}

TEST(PropertyList, XMLTextReadsBack) {
    TemporaryFolder folder;
    const std::string path = folder / "Info.plist";
    std::ofstream(path) << everyType().toXML();
    EXPECT_EQ(PropertyList::readFromFile(path), everyType());
    EXPECT_EQ(PropertyList::dictionaryWithContentsOfURL(URL::fileURLWithPath(path)), everyType());
    EXPECT_NE(everyType().toXML().find("<integer>-42</integer>"), std::string::npos);
}

TEST(PropertyList, ATextHoldingANulCharacterIsLeftOutAndLogged) {
    // {"Bad": T, "List": [T, "kept"], "Name": "ok", T: "hidden"}, where T is the text "a", U+0000,
    // U+00E9: in binary (T in UTF-16), then in XML with the NUL byte as it is but without the
    // key T, which libplist's XML reader cuts short by itself.
    const std::vector<std::uint8_t> binary = {
        0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xd4, 0x01, 0x02, 0x03, 0x04, 0x04,
        0x05, 0x07, 0x08, 0x53, 0x42, 0x61, 0x64, 0x54, 0x4c, 0x69, 0x73, 0x74, 0x54, 0x4e,
        0x61, 0x6d, 0x65, 0x63, 0x00, 0x61, 0x00, 0x00, 0x00, 0xe9, 0xa2, 0x04, 0x06, 0x54,
        0x6b, 0x65, 0x70, 0x74, 0x52, 0x6f, 0x6b, 0x56, 0x68, 0x69, 0x64, 0x64, 0x65, 0x6e,
        0x08, 0x11, 0x15, 0x1a, 0x1f, 0x26, 0x29, 0x2e, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x38};
    using namespace std::string_literals;
    const std::string xml =
        "<plist><dict><key>Bad</key><string>a\0\u00e9</string><key>List</key><array><string>"
        "a\0\u00e9</string><string>kept</string></array><key>Name</key><string>ok</string>"
        "</dict></plist>"s;
    fake::FakeLog log;
    Services services;
    services.log = &log;
    const ScopedInstall installed(services);
    TemporaryFolder folder;
    const std::string path = folder / "Info.plist";
    const std::string suffix = ", a text holding a NUL character";
    const std::vector<std::string> values = {
        "Property list " + path + ": left out Bad" + suffix,
        "Property list " + path + ": left out List[0]" + suffix,
    };
    std::vector<std::string> valuesAndKey = values;
    valuesAndKey.push_back("Property list " + path + ": left out a key" + suffix);
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {std::string(binary.begin(), binary.end()), valuesAndKey},
        {xml, values},
    };
    for (const auto& [bytes, lines] : cases) {
        log.entries.clear();
        std::ofstream(path, std::ios::binary) << bytes;
        EXPECT_EQ(PropertyList::readFromFile(path),
                  PropertyList(PropertyList::Dictionary{{"Name", "ok"},
                                                        {"List", PropertyList::Array{"kept"}}}));
        EXPECT_EQ(log.console(), lines);
    }
}

TEST(PropertyList, BoolValueFollowsThePlatformsReading) {
    for (const char* yes : {"YES", "yes", "true", "T", "1", "  7", "+01", "y"}) {
        EXPECT_TRUE(PropertyList(yes).boolValue()) << yes;
    }
    for (const char* no : {"NO", "false", "0", "", " ", "-0", "abc", "00"}) {
        EXPECT_FALSE(PropertyList(no).boolValue()) << no;
    }
    EXPECT_TRUE(PropertyList(true).boolValue());
    EXPECT_FALSE(PropertyList(false).boolValue());
    EXPECT_TRUE(PropertyList(-3).boolValue());
    EXPECT_FALSE(PropertyList(0.0).boolValue());
    EXPECT_FALSE(PropertyList(PropertyList::Array{true}).boolValue());
}

TEST(PropertyList, DescriptionInThePlatformsTextForm) {
    const PropertyList value(PropertyList::Dictionary{
        {"NSAppleScriptErrorNumber", -1743},
        {"NSAppleScriptErrorMessage", "Not \"allowed\".\n"},
        {"AppName", "Safari"},
        {"list", PropertyList::Array{"a b", PropertyList::Dictionary{{"k", true}}}},
        {"empty", ""},
        {"count", 3},
        {"data", PropertyList::Data{0xAB, 0x01}},
        {"when", PropertyList::Date{0}},
    });
    EXPECT_EQ(value.description(),
              "{\n"
              "    AppName = Safari;\n"
              "    NSAppleScriptErrorMessage = \"Not \\\"allowed\\\".\\n\";\n"
              "    NSAppleScriptErrorNumber = \"-1743\";\n"
              "    count = 3;\n"
              "    data = \"{length = 2, bytes = 0xab01}\";\n"
              "    empty = \"\";\n"
              "    list =     (\n"
              "        \"a b\",\n"
              "                {\n"
              "            k = 1;\n"
              "        }\n"
              "    );\n"
              "    when = \"2001-01-01 00:00:00 +0000\";\n"
              "}");
    EXPECT_EQ(PropertyList("é").description(), "\"\\U00e9\"");
    EXPECT_EQ(PropertyList(PropertyList::Array{}).description(), "(\n)");
}

TEST(PropertyList, CopiesDoNotShareChanges) {
    PropertyList original(PropertyList::Dictionary{{"a", 1}});
    PropertyList copy = original;
    (*copy.mutableDictionaryValue())["b"] = 2;
    EXPECT_EQ(original.dictionaryValue()->size(), 1u);
    EXPECT_EQ(copy.dictionaryValue()->size(), 2u);
    EXPECT_EQ(PropertyList("x").mutableDictionaryValue(), nullptr);
}

}  // namespace
}  // namespace platform
