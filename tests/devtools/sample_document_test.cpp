#include "devtools/sample_document.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/url.h"

namespace {

using devtools::answerGetData;
using devtools::frontObjectPropertySpecifier;
using devtools::SampleDocument;
using platform::AppleEventDescriptor;
using ::testing::ElementsAre;

AppleEventDescriptor getData(const AppleEventDescriptor& directObject) {
    auto event = AppleEventDescriptor::appleEventWithEventClass(
        platform::kAECoreSuite, platform::kAEGetData,
        AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
            devtools::kSampleDocumentBundleIdentifier),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
    event.setParamDescriptor(directObject, platform::keyDirectObject);
    return event;
}

AppleEventDescriptor propertyOf(const AppleEventDescriptor& container, platform::DescType code) {
    return AppleEventDescriptor::objectSpecifierWithDesiredClass(
        platform::cProperty, container, platform::formPropertyID,
        AppleEventDescriptor::descriptorWithTypeCode(code));
}

const SampleDocument kFileDocument{"Report Q3.txt", "file:///home/ana/My%20Files/Report%20Q3.txt",
                                   std::string("Report Q3 — Edited")};
const SampleDocument kWebDocument{"Start", "https://example.org/start?x=1", std::nullopt};

std::optional<std::string> textAnswer(const AppleEventDescriptor& directObject,
                                      const std::optional<SampleDocument>& document) {
    auto answer = answerGetData(getData(directObject), document);
    EXPECT_EQ(answer.error, platform::noErr);
    if (!answer.value) {
        return std::nullopt;
    }
    EXPECT_EQ(answer.value->descriptorType(), platform::typeUnicodeText);
    return answer.value->stringValue();
}

TEST(SampleDocumentTest, FrontDocumentPropertiesAreAnsweredAsText) {
    using namespace platform;
    EXPECT_EQ(textAnswer(frontObjectPropertySpecifier(cDocument, pName), kFileDocument),
              "Report Q3.txt");
    EXPECT_EQ(textAnswer(frontObjectPropertySpecifier(cDocument, pURL), kFileDocument),
              kFileDocument.url);
    EXPECT_EQ(textAnswer(frontObjectPropertySpecifier(cDocument, pPath), kFileDocument),
              "/home/ana/My Files/Report Q3.txt");
    EXPECT_EQ(textAnswer(frontObjectPropertySpecifier(cDocument, pFile), kFileDocument),
              "/home/ana/My Files/Report Q3.txt");
    EXPECT_EQ(textAnswer(frontObjectPropertySpecifier(cWindow, pName), kFileDocument),
              "Report Q3 — Edited");
    // Without a window name of its own the window carries the document's name.
    EXPECT_EQ(textAnswer(frontObjectPropertySpecifier(cWindow, pName), kWebDocument), "Start");
    EXPECT_EQ(textAnswer(propertyOf(AppleEventDescriptor::nullDescriptor(), pName), std::nullopt),
              "Sample Document");
}

TEST(SampleDocumentTest, TheFrontDocumentIsFoundByIndexOrdinalOrName) {
    using namespace platform;
    const auto app = AppleEventDescriptor::nullDescriptor();
    const auto first = AppleEventDescriptor::descriptorWithEnumCode(kAEFirst);
    const auto byOrdinal = AppleEventDescriptor::objectSpecifierWithDesiredClass(
        cDocument, app, formAbsolutePosition, first);
    EXPECT_EQ(textAnswer(propertyOf(byOrdinal, pName), kWebDocument), "Start");

    const auto byName = AppleEventDescriptor::objectSpecifierWithDesiredClass(
        cDocument, app, formName, AppleEventDescriptor::descriptorWithString("Start"));
    EXPECT_EQ(textAnswer(propertyOf(byName, pURL), kWebDocument), kWebDocument.url);

    const auto wrongName = AppleEventDescriptor::objectSpecifierWithDesiredClass(
        cDocument, app, formName, AppleEventDescriptor::descriptorWithString("Other"));
    EXPECT_EQ(answerGetData(getData(propertyOf(wrongName, pName)), kWebDocument).error,
              platform::errAENoSuchObject);
    const auto second = AppleEventDescriptor::objectSpecifierWithDesiredClass(
        cDocument, app, formAbsolutePosition, AppleEventDescriptor::descriptorWithInt32(2));
    EXPECT_EQ(answerGetData(getData(propertyOf(second, pName)), kWebDocument).error,
              platform::errAENoSuchObject);
}

TEST(SampleDocumentTest, AnObjectThatIsNoPropertyAnswersItsOwnSpecifier) {
    const auto front = AppleEventDescriptor::objectSpecifierWithDesiredClass(
        platform::cDocument, AppleEventDescriptor::nullDescriptor(), platform::formAbsolutePosition,
        AppleEventDescriptor::descriptorWithInt32(1));
    auto answer = answerGetData(getData(front), kWebDocument);
    EXPECT_EQ(answer.error, platform::noErr);
    ASSERT_TRUE(answer.value);
    EXPECT_EQ(*answer.value, front);
}

TEST(SampleDocumentTest, WhatCannotBeGotAnswersNoSuchObject) {
    using namespace platform;
    struct Case {
        const char* what;
        AppleEventDescriptor directObject;
        std::optional<SampleDocument> document;
    };
    const auto nested = propertyOf(frontObjectPropertySpecifier(cDocument, pName), pName);
    const std::vector<Case> cases{
        {"no document", frontObjectPropertySpecifier(cDocument, pName), std::nullopt},
        {"no window", frontObjectPropertySpecifier(cWindow, pName), std::nullopt},
        {"path of a web page", frontObjectPropertySpecifier(cDocument, pPath), kWebDocument},
        {"unknown property",
         frontObjectPropertySpecifier(cDocument, platform::fourCharCode("zzzz")), kWebDocument},
        {"URL of a window", frontObjectPropertySpecifier(cWindow, pURL), kWebDocument},
        {"property of a property", nested, kWebDocument},
        {"plain text", AppleEventDescriptor::descriptorWithString("name"), kWebDocument},
        {"record without keys",
         AppleEventDescriptor::recordDescriptor(platform::typeObjectSpecifier), kWebDocument},
    };
    for (const auto& c : cases) {
        auto answer = answerGetData(getData(c.directObject), c.document);
        EXPECT_EQ(answer.error, platform::errAENoSuchObject) << c.what;
        EXPECT_FALSE(answer.value) << c.what;
    }
    auto noDirectObject = AppleEventDescriptor::appleEventWithEventClass(
        platform::kAECoreSuite, platform::kAEGetData, AppleEventDescriptor::nullDescriptor(), 0, 0);
    EXPECT_EQ(answerGetData(noDirectObject, kWebDocument).error, platform::errAENoSuchObject);
}

TEST(SampleDocumentTest, ADeeplyNestedSpecifierIsRefusedWithoutRunningAway) {
    auto deep = AppleEventDescriptor::nullDescriptor();
    for (int i = 0; i < 40; ++i) {
        deep = AppleEventDescriptor::objectSpecifierWithDesiredClass(
            platform::cDocument, deep, platform::formAbsolutePosition,
            AppleEventDescriptor::descriptorWithInt32(1));
    }
    EXPECT_EQ(answerGetData(getData(propertyOf(deep, platform::pName)), kWebDocument).error,
              platform::errAENoSuchObject);
}

TEST(SampleDocumentTest, TheQuickEntryURLCarriesTheDocumentUnchangedThroughItsQuery) {
    const SampleDocument tricky{"A&B = C+D ?#é", "https://x.test/a?b=c&d=e#f", std::nullopt};
    const std::string text = devtools::quickEntryURL(tricky);
    EXPECT_EQ(text.rfind("pendrahelper://quickentry?title=", 0), 0u) << text;
    ASSERT_TRUE(platform::URL::URLWithString(text)) << text;
    auto components = platform::URLComponents::componentsWithString(text);
    ASSERT_TRUE(components);
    EXPECT_EQ(components->scheme(), "pendrahelper");
    EXPECT_EQ(components->host(), "quickentry");
    ASSERT_TRUE(components->queryItems());
    EXPECT_THAT(*components->queryItems(), ElementsAre(platform::URLQueryItem{"title", tricky.name},
                                                       platform::URLQueryItem{"url", tricky.url}));

    auto withPath =
        platform::URLComponents::componentsWithString(devtools::quickEntryURL(kFileDocument));
    ASSERT_TRUE(withPath && withPath->queryItems());
    ASSERT_EQ(withPath->queryItems()->size(), 3u);
    EXPECT_EQ((*withPath->queryItems())[2],
              (platform::URLQueryItem{"path", "/home/ana/My Files/Report Q3.txt"}));
}

TEST(SampleDocumentTest, OnlyItsOwnSchemeIsAnswered) {
    EXPECT_TRUE(devtools::isOwnSchemeURL("pendrasample://open"));
    EXPECT_TRUE(devtools::isOwnSchemeURL("PendraSample:x"));
    EXPECT_FALSE(devtools::isOwnSchemeURL("pendrasamplex://open"));
    EXPECT_FALSE(devtools::isOwnSchemeURL("pendrahelper://quickentry"));
    EXPECT_FALSE(devtools::isOwnSchemeURL("pendra"));
    EXPECT_FALSE(devtools::isOwnSchemeURL(""));
}

TEST(SampleDocumentTest, TheServicesPasteboardKeepsTheTypesInOrderWithTextForPlainText) {
    auto pasteboard = devtools::servicesPasteboard(
        "  chosen words \n",
        {"public.html", platform::NSStringPboardType, "public.html", "public.utf8-plain-text"});
    EXPECT_THAT(pasteboard.types,
                ElementsAre("public.html", platform::NSStringPboardType, "public.utf8-plain-text"));
    EXPECT_EQ(pasteboard.stringForType(platform::NSStringPboardType), "  chosen words \n");
    EXPECT_EQ(pasteboard.strings.count("public.html"), 0u);
    EXPECT_EQ(pasteboard.strings.size(), 2u);

    auto withoutText = devtools::servicesPasteboard("words", {"public.png"});
    EXPECT_THAT(withoutText.types, ElementsAre("public.png"));
    EXPECT_FALSE(withoutText.stringForType(platform::NSStringPboardType));
}

}  // namespace
