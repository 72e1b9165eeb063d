#include "platform/apple_event_descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace platform {
namespace {

using Descriptor = AppleEventDescriptor;

constexpr AEKeyword keyNote = fourCharCode("note");
constexpr AEKeyword keyName = fourCharCode("pnam");
constexpr AEKeyword keyTitle = fourCharCode("tnam");

// A descriptor with every kind nested inside another, as a reply event carries them.
Descriptor richDescriptor() {
    Descriptor user = Descriptor::listDescriptor();
    user.insertDescriptor(Descriptor::descriptorWithString("name"), 0);
    user.insertDescriptor(Descriptor::descriptorWithString("Zoë ✓ 𝄞"), 0);

    Descriptor record = Descriptor::recordDescriptor();
    record.setDescriptor(Descriptor::descriptorWithString("a note"), keyNote);
    record.setDescriptor(Descriptor::descriptorWithInt32(-42), keyName);
    record.setDescriptor(user, keyASUserRecordFields);

    Descriptor list = Descriptor::listDescriptor();
    list.insertDescriptor(Descriptor::nullDescriptor(), 0);
    list.insertDescriptor(Descriptor::descriptorWithBoolean(true), 0);
    list.insertDescriptor(Descriptor::descriptorWithDouble(2.5), 0);
    list.insertDescriptor(Descriptor::descriptorWithTypeCode(fourCharCode("docu")), 0);
    list.insertDescriptor(Descriptor::descriptorWithEnumCode(fourCharCode("yes ")), 0);
    list.insertDescriptor(Descriptor::descriptorWithDescriptorType(fourCharCode("bund"), "x.y"), 0);
    list.insertDescriptor(record, 0);
    list.insertDescriptor(Descriptor::listDescriptor(), 0);
    list.insertDescriptor(Descriptor::recordDescriptor(typeObjectSpecifier), 0);

    Descriptor event = Descriptor::appleEventWithEventClass(
        fourCharCode("PNDR"), fourCharCode("sqep"),
        Descriptor::descriptorWithApplicationBundleIdentifier("com.orvano.PendraMac"), 7, 3);
    event.setParamDescriptor(record, fourCharCode("qepp"));
    event.setParamDescriptor(list, keyDirectObject);
    event.setAttributeDescriptor(Descriptor::descriptorWithProcessSerialNumber({1, 4242}),
                                 keyAddressAttr);

    Descriptor outer = Descriptor::listDescriptor();
    outer.insertDescriptor(event, 0);
    outer.insertDescriptor(Descriptor::descriptorWithString(""), 0);
    return outer;
}

TEST(FourCharCode, BuildsFromCharactersAndPrintsBack) {
    static_assert(fourCharCode("abcd") == 0x61626364);
    EXPECT_EQ(fourCharCodeString(fourCharCode("psn ")), "psn ");
    EXPECT_EQ(fourCharCodeString(fourCharCode("----")), "----");
    EXPECT_EQ(fourCharCodeString(0x00000001), "0x00000001");
}

TEST(DescriptorText, RoundTripsThroughUtf16InHostOrder) {
    const std::string text = "Zoë ✓ 𝄞";
    const Descriptor descriptor = Descriptor::descriptorWithString(text);
    EXPECT_EQ(descriptor.descriptorType(), typeUnicodeText);
    // Z o ë space ✓ space and a surrogate pair: 8 code units.
    ASSERT_EQ(descriptor.data().size(), 16u);
    char16_t units[8];
    std::memcpy(units, descriptor.data().data(), sizeof units);
    EXPECT_EQ(units[2], u'ë');
    EXPECT_EQ(units[6], 0xD834);
    EXPECT_EQ(units[7], 0xDD1E);
    EXPECT_EQ(descriptor.stringValue(), text);
}

// Long texts convert a run of ASCII at a time: a text made of pieces, with ASCII runs of every
// length around a whole word between them, converts as its pieces do one by one.
TEST(DescriptorText, LongTextsConvertAsTheirPiecesDo) {
    const std::vector<std::string> pieces = {"\xC3\xAB", "\xE2\x9C\x93", "\xF0\x9D\x84\x9E",
                                             "\x80",     "\xE2\x9C",     "\xED\xA0\x80"};
    std::string text;
    std::vector<std::uint8_t> units;
    std::string back;
    auto add = [&](const std::string& piece) {
        const Descriptor alone = Descriptor::descriptorWithString(piece);
        text += piece;
        units.insert(units.end(), alone.data().begin(), alone.data().end());
        back += *alone.stringValue();
    };
    for (std::size_t run = 0; run <= 17; ++run) {
        add(std::string(run, static_cast<char>('a' + run)));
        add(pieces[run % pieces.size()]);
    }
    const Descriptor whole = Descriptor::descriptorWithString(text);
    EXPECT_EQ(std::vector<std::uint8_t>(whole.data().begin(), whole.data().end()), units);
    EXPECT_EQ(whole.stringValue(), back);
    EXPECT_EQ(Descriptor::descriptorWithDescriptorType(typeUTF8Text, text).stringValue(), back);
}

TEST(DescriptorText, ReplacesIllFormedInput) {
    // A stray continuation byte, a truncated sequence and an encoded surrogate.
    EXPECT_EQ(Descriptor::descriptorWithString("a\x80z").stringValue(), "a\xEF\xBF\xBDz");
    EXPECT_EQ(Descriptor::descriptorWithString("a\xE2\x9C").stringValue(), "a\xEF\xBF\xBD");
    EXPECT_EQ(Descriptor::descriptorWithString("\xED\xA0\x80").stringValue(),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");

    const char16_t lone[] = {u'x', 0xD800, u'y', 0xDC00};
    const Descriptor unpaired = Descriptor::descriptorWithDescriptorType(
        typeUnicodeText,
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(lone), sizeof lone));
    EXPECT_EQ(unpaired.stringValue(), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
}

// Joining texts as they are held must read the same as joining what they read as.
TEST(DescriptorText, JoinedTextsReadAsTheirJoinedValues) {
    const auto units = [](std::u16string_view text, bool oddByte = false) {
        return Descriptor::descriptorWithDescriptorType(
            typeUnicodeText,
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                          text.size() * 2 + (oddByte ? 1 : 0)));
    };
    const std::vector<Descriptor> texts = {
        Descriptor::descriptorWithString(""),
        Descriptor::descriptorWithString("Notes [b]x[/b]\n\n"),
        Descriptor::descriptorWithString("Zoë ✓ 𝄞"),
        units(u"x\xD800y"),  // an unpaired surrogate
        units(u"ab\xD834", true),
        Descriptor::descriptorWithDescriptorType(typeUTF8Text, std::string_view("plain")),
        Descriptor::descriptorWithInt32(7),
    };
    for (const auto& head : texts) {
        for (const auto& tail : texts) {
            const auto joined = head.textByAppendingText(tail);
            ASSERT_TRUE(joined);
            EXPECT_EQ(joined->descriptorType(), typeUnicodeText);
            EXPECT_EQ(joined->stringValue(), *head.stringValue() + *tail.stringValue())
                << head.description() << " + " << tail.description();
        }
    }
    EXPECT_FALSE(
        texts[1].textByAppendingText(Descriptor::descriptorWithTypeCode(fourCharCode("msng"))));
}

TEST(DescriptorValues, IntegersBooleansAndCodes) {
    EXPECT_EQ(Descriptor::descriptorWithInt32(-7).int32Value(), -7);
    EXPECT_EQ(Descriptor::descriptorWithInt32(-7).stringValue(), "-7");
    EXPECT_EQ(Descriptor::descriptorWithString(" 12 ").int32Value(), 12);
    EXPECT_EQ(Descriptor::descriptorWithString("12x").int32Value(), 0);
    EXPECT_EQ(Descriptor::descriptorWithString("99999999999").int32Value(), 0);
    EXPECT_EQ(Descriptor::descriptorWithBoolean(true).int32Value(), 1);
    EXPECT_TRUE(Descriptor::descriptorWithInt32(5).booleanValue());
    EXPECT_FALSE(Descriptor::descriptorWithBoolean(false).booleanValue());
    EXPECT_EQ(Descriptor::descriptorWithTypeCode(fourCharCode("docu")).typeCodeValue(),
              fourCharCode("docu"));
    // A type or enumeration code has no text form: `missing value` is no text "msng".
    EXPECT_EQ(Descriptor::descriptorWithTypeCode(fourCharCode("msng")).stringValue(), std::nullopt);
    EXPECT_EQ(Descriptor::descriptorWithEnumCode(fourCharCode("yes ")).stringValue(), std::nullopt);
    EXPECT_EQ(Descriptor::descriptorWithDouble(2.5).stringValue(), "2.5");
    EXPECT_EQ(Descriptor::descriptorWithString("2.5").doubleValue(), 2.5);
    EXPECT_EQ(Descriptor::descriptorWithDouble(3.0).int32Value(), 3);
    EXPECT_EQ(Descriptor::descriptorWithDouble(3.5).int32Value(), 0);
    EXPECT_FALSE(Descriptor::listDescriptor().stringValue());
    EXPECT_FALSE(Descriptor::descriptorWithApplicationBundleIdentifier("a.b").stringValue());
}

TEST(DescriptorValues, ProcessSerialNumberIsTwoWordsHighFirst) {
    const Descriptor psn = Descriptor::descriptorWithProcessSerialNumber({1, 0x01020304});
    ASSERT_EQ(psn.data().size(), 8u);
    std::uint32_t words[2];
    std::memcpy(words, psn.data().data(), sizeof words);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 0x01020304u);
    EXPECT_EQ(psn.processSerialNumberValue(), (ProcessSerialNumber{1, 0x01020304}));
    EXPECT_FALSE(Descriptor::descriptorWithDescriptorType(typeProcessSerialNumber, "short")
                     .processSerialNumberValue());
}

TEST(DescriptorCoercion, TextIntegersAndAddresses) {
    const auto text = Descriptor::descriptorWithInt32(42).coerceToDescriptorType(typeUnicodeText);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, Descriptor::descriptorWithString("42"));

    const auto utf8 = Descriptor::descriptorWithDescriptorType(typeUTF8Text, "héllo");
    EXPECT_EQ(utf8.coerceToDescriptorType(typeUnicodeText),
              Descriptor::descriptorWithString("héllo"));

    EXPECT_EQ(Descriptor::descriptorWithString("17").coerceToDescriptorType(typeSInt32),
              Descriptor::descriptorWithInt32(17));
    EXPECT_FALSE(Descriptor::descriptorWithString("seventeen").coerceToDescriptorType(typeSInt32));
    EXPECT_FALSE(Descriptor::recordDescriptor().coerceToDescriptorType(typeUnicodeText));

    const auto same = Descriptor::descriptorWithString("x").coerceToDescriptorType(typeUnicodeText);
    EXPECT_EQ(same, Descriptor::descriptorWithString("x"));

    const std::int32_t pid = 4321;
    const auto kpid = Descriptor::descriptorWithDescriptorType(
        typeKernelProcessID,
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&pid), sizeof pid));
    const auto psn = kpid.coerceToDescriptorType(typeProcessSerialNumber);
    ASSERT_TRUE(psn);
    EXPECT_EQ(psn->processSerialNumberValue(), (ProcessSerialNumber{0, 4321}));
    EXPECT_FALSE(
        Descriptor::descriptorWithApplicationBundleIdentifier("a.b").coerceToDescriptorType(
            typeProcessSerialNumber));
}

TEST(DescriptorContainers, ListItemsCountFromOneAndInsertPositions) {
    Descriptor list = Descriptor::listDescriptor();
    list.insertDescriptor(Descriptor::descriptorWithString("b"), 0);
    list.insertDescriptor(Descriptor::descriptorWithString("c"), 99);
    list.insertDescriptor(Descriptor::descriptorWithString("a"), 1);
    list.insertDescriptor(Descriptor::descriptorWithString("b2"), 3);
    ASSERT_EQ(list.numberOfItems(), 4);
    EXPECT_EQ(list.descriptorAtIndex(1)->stringValue(), "a");
    EXPECT_EQ(list.descriptorAtIndex(2)->stringValue(), "b");
    EXPECT_EQ(list.descriptorAtIndex(3)->stringValue(), "b2");
    EXPECT_EQ(list.descriptorAtIndex(4)->stringValue(), "c");
    EXPECT_FALSE(list.descriptorAtIndex(0));
    EXPECT_FALSE(list.descriptorAtIndex(5));
    EXPECT_EQ(list.description(), R"(['utxt'("a"), 'utxt'("b"), 'utxt'("b2"), 'utxt'("c")])");
}

TEST(DescriptorContainers, RecordKeepsOrderAndReplacesInPlace) {
    Descriptor record = Descriptor::recordDescriptor();
    record.setDescriptor(Descriptor::descriptorWithString("n"), keyNote);
    record.setDescriptor(Descriptor::descriptorWithString("t"), keyTitle);
    record.setDescriptor(Descriptor::descriptorWithInt32(3), keyNote);
    ASSERT_EQ(record.numberOfItems(), 2);
    EXPECT_EQ(record.keywordForDescriptorAtIndex(1), keyNote);
    EXPECT_EQ(record.keywordForDescriptorAtIndex(2), keyTitle);
    EXPECT_EQ(record.keywordForDescriptorAtIndex(3), 0u);
    EXPECT_EQ(record.descriptorAtIndex(1)->int32Value(), 3);
    EXPECT_EQ(record.description(), R"({'note':'long'(3), 'tnam':'utxt'("t")})");
    record.removeDescriptorWithKeyword(keyNote);
    EXPECT_FALSE(record.descriptorForKeyword(keyNote));
    EXPECT_EQ(record.descriptorForKeyword(keyTitle)->stringValue(), "t");
}

TEST(DescriptorContainers, AppleEventParametersAttributesAndTarget) {
    const Descriptor target = Descriptor::descriptorWithApplicationBundleIdentifier("com.x");
    Descriptor event = Descriptor::appleEventWithEventClass(
        kInternetEventClass, kAEGetURL, target, kAutoGenerateReturnID, kAnyTransactionID);
    EXPECT_TRUE(event.isAppleEvent());
    EXPECT_EQ(event.eventClass(), kInternetEventClass);
    EXPECT_EQ(event.returnID(), -1);
    EXPECT_EQ(event.targetDescriptor(), target);
    EXPECT_EQ(event.attributeDescriptorForKeyword(keyAddressAttr), target);

    event.setParamDescriptor(Descriptor::descriptorWithString("x://y"), keyDirectObject);
    const Descriptor sender = Descriptor::descriptorWithProcessSerialNumber({0, 99});
    event.setAttributeDescriptor(sender, keyAddressAttr);
    EXPECT_EQ(event.paramDescriptorForKeyword(keyDirectObject)->stringValue(), "x://y");
    EXPECT_EQ(event.attributeDescriptorForKeyword(keyAddressAttr), sender);
    EXPECT_FALSE(event.paramDescriptorForKeyword(keyAddressAttr));
    EXPECT_EQ(event.numberOfItems(), 1);
    EXPECT_EQ(event.description(),
              R"('aevt'('GURL'\'GURL' target='bund'("com.x") returnID=-1 transactionID=0))"
              R"({'----':'utxt'("x://y")} attributes {'addr':'psn '(0,99)})");
    EXPECT_FALSE(Descriptor::recordDescriptor().paramDescriptorForKeyword(keyDirectObject));
    EXPECT_FALSE(Descriptor::recordDescriptor().targetDescriptor());
}

TEST(DescriptorTransport, EveryKindSurvivesFlattening) {
    const Descriptor rich = richDescriptor();
    const auto bytes = rich.flatten();
    const auto back = Descriptor::unflatten(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, rich);
    EXPECT_EQ(back->description(), rich.description());
    EXPECT_EQ(Descriptor().description(), "'null'()");
    EXPECT_EQ(Descriptor::descriptorWithProcessSerialNumber({0, 7}).description(), "'psn '(0,7)");
    EXPECT_EQ(
        Descriptor::descriptorWithDescriptorType(fourCharCode("abcd"), "\x01\xFF").description(),
        "'abcd'($01FF$)");
    EXPECT_EQ(Descriptor::descriptorWithString("say \"hi\"").description(),
              R"('utxt'("say \"hi\""))");

    for (const Descriptor& single :
         {Descriptor::nullDescriptor(), Descriptor::descriptorWithInt32(INT32_MIN),
          Descriptor::descriptorWithProcessSerialNumber({0xFFFFFFFF, 1}),
          Descriptor::recordDescriptor(typeObjectSpecifier)}) {
        EXPECT_EQ(Descriptor::unflatten(single.flatten()), single) << single.description();
    }
}

// A large scalar read with an owner points into the owner's bytes and keeps them alive; small
// ones are copied, so that they do not hold a whole message.
TEST(DescriptorTransport, LargeScalarsShareTheBytesTheyAreReadFrom) {
    const std::string note(100'000, 'n');
    Descriptor record = Descriptor::recordDescriptor();
    record.setDescriptor(Descriptor::descriptorWithString(note), keyNote);
    record.setDescriptor(Descriptor::descriptorWithInt32(7), keyName);
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(record.flatten());
    const auto read = Descriptor::unflatten(*bytes, bytes);
    ASSERT_TRUE(read);
    const auto within = [&](const Descriptor& scalar) {
        const std::uint8_t* at = scalar.data().data();
        return at >= bytes->data() && at < bytes->data() + bytes->size();
    };
    EXPECT_TRUE(within(*read->descriptorForKeyword(keyNote)));
    EXPECT_FALSE(within(*read->descriptorForKeyword(keyName)));
    bytes.reset();
    EXPECT_EQ(read->descriptorForKeyword(keyNote)->stringValue(), note);
    EXPECT_EQ(*read, record);
}

TEST(DescriptorTransport, MalformedBytesReadAsAbsentOrValid) {
    const auto bytes = richDescriptor().flatten();
    // Every proper prefix is incomplete and must be refused.
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        EXPECT_FALSE(Descriptor::unflatten(std::span(bytes.data(), length))) << length;
    }
    // Single-byte corruptions read back as absent or as some descriptor that flattens again.
    int refused = 0;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        for (const std::uint8_t mask : {0x01, 0x80, 0xFF, 0x7F}) {
            auto corrupt = bytes;
            corrupt[at] ^= mask;
            const auto read = Descriptor::unflatten(corrupt);
            if (!read) {
                ++refused;
                continue;
            }
            EXPECT_EQ(read->flatten(), corrupt) << at;
            (void)read->description();
        }
    }
    EXPECT_GT(refused, 0);
    // Trailing bytes after a whole descriptor are refused too.
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(Descriptor::unflatten(longer));
}

TEST(DescriptorTransport, HostileCountsAndDepthAreRefused) {
    // A list that claims four billion items in a few bytes.
    const auto list = Descriptor::listDescriptor().flatten();
    ASSERT_EQ(list.size(), 15u);
    auto huge = list;
    std::fill(huge.begin() + 11, huge.end(), 0xFF);
    EXPECT_FALSE(Descriptor::unflatten(huge));

    Descriptor deep = Descriptor::listDescriptor();
    for (int i = 0; i < Descriptor::kMaximumNestingDepth; ++i) {
        Descriptor outer = Descriptor::listDescriptor();
        outer.insertDescriptor(deep, 0);
        deep = outer;
    }
    // Exactly the deepest the reader accepts, then one level more.
    EXPECT_TRUE(Descriptor::unflatten(deep.flatten()));
    Descriptor deeper = Descriptor::listDescriptor();
    deeper.insertDescriptor(deep, 0);
    EXPECT_FALSE(Descriptor::unflatten(deeper.flatten()));

    // A million nested list headers: refused without recursing that deep.
    std::vector<std::uint8_t> nested = {'P', 'A', 'E', 'D', 1, 0};
    for (int i = 0; i < 1000000; ++i) {
        nested.insert(nested.end(), list.begin() + 6, list.begin() + 11);
        nested.insert(nested.end(), {1, 0, 0, 0});
    }
    EXPECT_FALSE(Descriptor::unflatten(nested));

    // Each descriptor costs far more in memory than its nine bytes: their number is bounded.
    Descriptor wide = Descriptor::listDescriptor();
    for (std::size_t i = 1; i < Descriptor::kMaximumDescriptorCount; ++i) {
        wide.insertDescriptor(Descriptor(), 0);
    }
    EXPECT_TRUE(Descriptor::unflatten(wide.flatten()));
    wide.insertDescriptor(Descriptor(), 0);
    EXPECT_FALSE(Descriptor::unflatten(wide.flatten()));

    // Two entries with one keyword cannot come from a record.
    Descriptor record = Descriptor::recordDescriptor();
    record.setDescriptor(Descriptor::descriptorWithInt32(1), keyNote);
    record.setDescriptor(Descriptor::descriptorWithInt32(2), keyTitle);
    auto duplicate = record.flatten();
    const auto title = duplicate.end() - 13 - 4;
    std::copy(duplicate.begin() + 15, duplicate.begin() + 19, title);
    EXPECT_FALSE(Descriptor::unflatten(duplicate));
}

}  // namespace
}  // namespace platform
