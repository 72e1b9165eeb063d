#include <gtest/gtest.h>

#include "request_fixture.h"

namespace pendra::testing {
namespace {

class CallbackURLTest : public RequestFixture {
  protected:
    void SetUp() override {
        scriptResults["reader callback"] = list({"Chapter 3", "[url=reader://3]Chapter 3[/url]"});
        startHelper();
    }
    static AppleEventDescriptor getURLEvent(const std::optional<AppleEventDescriptor>& url,
                                            std::optional<platform::pid_t> sender = kReaderPid) {
        auto event = AppleEventDescriptor::appleEventWithEventClass(
            platform::kInternetEventClass, platform::kAEGetURL,
            AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
                kHelperBundleIdentifier),
            platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
        if (url) {
            event.setParamDescriptor(*url, platform::keyDirectObject);
        }
        if (sender) {
            event.setAttributeDescriptor(AppleEventDescriptor::descriptorWithProcessSerialNumber(
                                             {0, static_cast<std::uint32_t>(*sender)}),
                                         platform::keyAddressAttr);
        }
        return event;
    }
    void open(const std::string& url, std::optional<platform::pid_t> sender = kReaderPid) {
        const auto reply = fake.appleEvents.dispatch(
            getURLEvent(AppleEventDescriptor::descriptorWithString(url), sender));
        EXPECT_TRUE(reply.entries().empty());
    }
    // The user fields the handler was called with, as name, value, name, value...
    std::vector<std::string> handlerFields() {
        EXPECT_EQ(handlerCalls.size(), 1u);
        if (handlerCalls.empty()) {
            return {"<not called>"};
        }
        const auto& call = handlerCalls[0];
        EXPECT_EQ(call.eventClass(), platform::kASAppleScriptSuite);
        EXPECT_EQ(call.eventID(), platform::kASSubroutineEvent);
        EXPECT_EQ(call.returnID(), platform::kAutoGenerateReturnID);
        EXPECT_EQ(call.transactionID(), platform::kAnyTransactionID);
        EXPECT_EQ(call.entries().size(), 2u);
        EXPECT_EQ(call.entries()[0].first, platform::keyASSubroutineName);
        EXPECT_EQ(call.entries()[0].second.descriptorType(), platform::typeUnicodeText);
        EXPECT_EQ(call.entries()[0].second.stringValue(), "handle_callback");
        const auto arguments = call.paramDescriptorForKeyword(platform::keyDirectObject);
        EXPECT_TRUE(arguments && arguments->isList() && arguments->numberOfItems() == 1);
        const auto record = arguments ? arguments->descriptorAtIndex(1) : std::nullopt;
        EXPECT_TRUE(record && record->isRecord() && record->numberOfItems() == 1);
        const auto fields =
            record ? record->descriptorForKeyword(platform::keyASUserRecordFields) : std::nullopt;
        if (!fields || !fields->isList()) {
            ADD_FAILURE() << "no user fields";
            return {};
        }
        std::vector<std::string> texts;
        for (const auto& item : fields->items()) {
            EXPECT_EQ(item.descriptorType(), platform::typeUnicodeText);
            texts.push_back(item.stringValue().value_or("<no text>"));
        }
        return texts;
    }
    void expectOneAnswer(const std::string& title, const std::string& notes) {
        ASSERT_EQ(fake.appleEvents.sent.size(), 1u);
        expectReply(fake.appleEvents.sent[0].event, kPendraBundleIdentifier,
                    {{kNoteKeyword, notes}, {kTitleKeyword, title}});
    }
};

TEST_F(CallbackURLTest, QueryItemsReachTheHandlerAsUserFields) {
    open(
        "pendrahelper://"
        "quickentry?title=Caf%C3%A9%20au%20lait&sum=1+1&empty=&flag&dup=old&dup=new");
    EXPECT_EQ(handlerFields(), (std::vector<std::string>{"dup", "new", "empty", "", "sum", "1+1",
                                                         "title", "Café au lait"}));
    EXPECT_EQ(fake.scripting.createdSources, std::vector<std::string>{"reader callback"});
    expectOneAnswer("Chapter 3", "[url=reader://3]Chapter 3[/url]");
    EXPECT_TRUE(fake.log.entries.empty());
}

TEST_F(CallbackURLTest, UserPortPathAndFragmentAreIgnored) {
    open("pendrahelper://someone@quickentry:8080/a/path?id=7#section");
    EXPECT_EQ(handlerFields(), (std::vector<std::string>{"id", "7"}));
    expectOneAnswer("Chapter 3", "[url=reader://3]Chapter 3[/url]");
}

TEST_F(CallbackURLTest, AURLWithoutQueryCallsTheHandlerWithNoFields) {
    open("pendrahelper://quickentry");
    EXPECT_EQ(handlerFields(), std::vector<std::string>{});
    expectOneAnswer("Chapter 3", "[url=reader://3]Chapter 3[/url]");
}

TEST_F(CallbackURLTest, AnythingButOurCallbackURLIsIgnoredSilently) {
    fake.appleEvents.dispatch(getURLEvent(std::nullopt));
    fake.appleEvents.dispatch(getURLEvent(AppleEventDescriptor::listDescriptor()));
    for (const char* url :
         {"pendrahelper://quick entry?a=1", "PendraHelper://quickentry?a=1",
          "pendrahelper://QuickEntry?a=1", "https://quickentry?a=1", "pendrahelper:quickentry?a=1",
          "pendrahelper://quickentry.example?a=1"}) {
        open(url);
    }
    EXPECT_TRUE(fake.appleEvents.sent.empty());
    EXPECT_TRUE(fake.scripting.createdSources.empty());
    EXPECT_TRUE(fake.log.entries.empty());
}

TEST_F(CallbackURLTest, HandlerResultsThatAreNotTwoTextsGiveEmptyParts) {
    scriptResults["reader callback"] = list({"Only a title"});
    open("pendrahelper://quickentry?a=1");
    scriptResults["reader callback"] = AppleEventDescriptor::descriptorWithString("Not a list");
    open("pendrahelper://quickentry?a=1");
    ASSERT_EQ(fake.appleEvents.sent.size(), 2u);
    expectReply(fake.appleEvents.sent[0].event, kPendraBundleIdentifier,
                {{kNoteKeyword, ""}, {kTitleKeyword, "Only a title"}});
    expectReply(fake.appleEvents.sent[1].event, kPendraBundleIdentifier,
                {{kNoteKeyword, ""}, {kTitleKeyword, ""}});
}

TEST_F(CallbackURLTest, AFailingHandlerIsLoggedAndAnsweredEmpty) {
    scriptResults.clear();
    open("pendrahelper://quickentry?a=1");
    platform::ScriptErrorInfo error;
    error[platform::NSAppleScriptErrorNumber] = -2753;
    error[platform::NSAppleScriptErrorMessage] = "The variable x is not defined.";
    EXPECT_EQ(fake.log.console(),
              std::vector<std::string>{"Error: " + platform::PropertyList(error).description()});
    expectOneAnswer("", "");
}

TEST_F(CallbackURLTest, WithoutAHandlerTheAnswerIsEmpty) {
    open("pendrahelper://quickentry?a=1", std::nullopt);  // no sender
    open("pendrahelper://quickentry?a=1", 9999);          // a sender that is no application
    open("pendrahelper://quickentry?a=1", kBrowserPid);   // a connector without a handler
    fake.scripting.unmakeable.insert("reader callback");
    open("pendrahelper://quickentry?a=1");  // a handler that makes no script
    EXPECT_TRUE(handlerCalls.empty());
    ASSERT_EQ(fake.appleEvents.sent.size(), 4u);
    for (const auto& sent : fake.appleEvents.sent) {
        expectReply(sent.event, kPendraBundleIdentifier, {{kNoteKeyword, ""}, {kTitleKeyword, ""}});
    }
    EXPECT_TRUE(fake.log.entries.empty());
}

}  // namespace
}  // namespace pendra::testing
