#include "platform/object_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

using Descriptor = AppleEventDescriptor;

// Every object holds three windows, One, Two and Three, however deep; a window also holds one
// document, Notes. The application holds no documents of its own.
class NestedWindows final : public ObjectModel {
  public:
    std::size_t countElements(const ObjectReference& container,
                              DescType elementClass) const override {
        if (elementClass == cWindow) {
            return 3;
        }
        return elementClass == cDocument && container.objectClass() == cWindow ? 1 : 0;
    }
    std::optional<std::string> elementName(const ObjectReference& element) const override {
        if (element.objectClass() == cDocument) {
            return "Notes";
        }
        static const char* const kNames[] = {"One", "Two", "Three"};
        return kNames[element.index()];
    }
    std::optional<Descriptor> property(const ObjectReference& object,
                                       DescType code) const override {
        if (code != pName) {
            return std::nullopt;
        }
        // The path to the object, so that an answer shows which one was found.
        std::string path = "Atlas";
        for (const auto& step : object.steps) {
            ObjectReference prefix;
            prefix.steps.assign(object.steps.data(), &step + 1);
            path += "/" + *elementName(prefix);
        }
        return Descriptor::descriptorWithString(path);
    }
};

Descriptor element(DescType wanted, const Descriptor& from, DescType form, const Descriptor& key) {
    return Descriptor::objectSpecifierWithDesiredClass(wanted, from, form, key);
}
Descriptor window(const Descriptor& key, const Descriptor& from = Descriptor::nullDescriptor()) {
    const DescType form = key.descriptorType() == typeUnicodeText ? formName : formAbsolutePosition;
    return element(cWindow, from, form, key);
}
Descriptor propertyOf(DescType code, const Descriptor& from) {
    return element(cProperty, from, formPropertyID, Descriptor::descriptorWithTypeCode(code));
}
Descriptor ordinal(DescType code) {
    return Descriptor::descriptorWithDescriptorType(
        typeAbsoluteOrdinal, Descriptor::descriptorWithTypeCode(code).data());
}

// The reply's direct object, or "errn <number>", as the answer fills a reply.
std::string replyTo(const Descriptor& event) {
    Descriptor reply = Descriptor::appleEventWithEventClass(
        fourCharCode("aevt"), fourCharCode("ansr"), Descriptor::nullDescriptor(), 1, 0);
    answerGetData(event, NestedWindows()).fill(reply);
    if (auto error = reply.paramDescriptorForKeyword(keyErrorNumber)) {
        return "errn " + std::to_string(error->int32Value());
    }
    auto direct = reply.paramDescriptorForKeyword(keyDirectObject);
    return direct ? direct->description() : "nothing";
}

Descriptor getData(const Descriptor& directObject) {
    auto event =
        Descriptor::appleEventWithEventClass(kAECoreSuite, kAEGetData, Descriptor::nullDescriptor(),
                                             kAutoGenerateReturnID, kAnyTransactionID);
    event.setParamDescriptor(directObject, keyDirectObject);
    return event;
}

TEST(ObjectModelTest, SpecifierFormsAreAcceptedOrRefusedAsScriptableApplicationsDo) {
    const auto number = Descriptor::descriptorWithInt32;
    const auto text = Descriptor::descriptorWithString;
    const auto app = Descriptor::nullDescriptor();
    const auto name = [](const Descriptor& of) { return propertyOf(pName, of); };
    const auto found = [](const char* path) { return "'utxt'(\"" + std::string(path) + "\")"; };
    const std::string noSuchObject = "errn -1728";
    const auto second = window(number(2));
    const auto missingKey = [&] {
        auto specifier = second;
        specifier.removeDescriptorWithKeyword(keyAEKeyData);
        return specifier;
    }();
    struct Case {
        const char* what;
        Descriptor object;
        std::string answer;  // the reply's direct object, or "errn <number>"
    };
    const std::vector<Case> cases{
        {"a property of the application", name(app), found("Atlas")},
        {"by index", name(window(number(2))), found("Atlas/Two")},
        {"the last index", name(window(number(3))), found("Atlas/Three")},
        {"from the end", name(window(number(-1))), found("Atlas/Three")},
        {"the first from the end", name(window(number(-3))), found("Atlas/One")},
        {"first", name(window(ordinal(kAEFirst))), found("Atlas/One")},
        {"first, enumerated", name(window(Descriptor::descriptorWithEnumCode(kAEFirst))),
         found("Atlas/One")},
        {"middle", name(window(ordinal(kAEMiddle))), found("Atlas/Two")},
        {"last", name(window(ordinal(kAELast))), found("Atlas/Three")},
        {"by name", name(window(text("Three"))), found("Atlas/Three")},
        {"inside an element", name(window(text("One"), window(number(-1)))),
         found("Atlas/Three/One")},
        {"another class inside an element",
         name(element(cDocument, second, formAbsolutePosition, number(1))),
         found("Atlas/Two/Notes")},
        {"an element itself", second, second.description()},
        {"the application itself", app, app.description()},

        {"index 0", name(window(number(0))), noSuchObject},
        {"past the last", name(window(number(4))), noSuchObject},
        {"before the first", name(window(number(-4))), noSuchObject},
        {"a name not there", name(window(text("Four"))), noSuchObject},
        {"an index as text", name(element(cWindow, app, formAbsolutePosition, text("1"))),
         noSuchObject},
        {"every", name(window(ordinal(kAEAll))), noSuchObject},
        {"any", name(window(ordinal(kAEAny))), noSuchObject},
        {"a range", name(element(cWindow, app, fourCharCode("rang"), number(1))), noSuchObject},
        {"a test", name(element(cWindow, app, fourCharCode("test"), number(1))), noSuchObject},
        {"a user property", element(cProperty, second, formUserPropertyID, text("name")),
         noSuchObject},
        {"a property the object lacks", propertyOf(pURL, second), noSuchObject},
        {"a class the object holds none of",
         name(element(cDocument, app, formAbsolutePosition, number(1))), noSuchObject},
        {"a property of a property", name(name(second)), noSuchObject},
        {"an element of a property", name(window(number(1), name(app))), noSuchObject},
        {"an element of a failure", name(window(number(1), window(number(9)))), noSuchObject},
        {"no specifier", text("name of window 1"), noSuchObject},
        {"a specifier without key data", missingKey, noSuchObject},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(replyTo(getData(each.object)), each.answer) << each.what;
    }
}

TEST(ObjectModelTest, SpecifiersNestAtMostTheMaximumDepth) {
    // The outermost specifier and kMaximumSpecifierDepth containers below it are read; one more
    // is refused without reading further.
    auto chain = Descriptor::nullDescriptor();
    std::string path = "Atlas";
    for (int i = 0; i < kMaximumSpecifierDepth; ++i) {
        chain = window(Descriptor::descriptorWithInt32(1), chain);
        path += "/One";
    }
    EXPECT_EQ(replyTo(getData(propertyOf(pName, chain))), "'utxt'(\"" + path + "\")");
    EXPECT_EQ(
        replyTo(getData(propertyOf(pName, window(Descriptor::descriptorWithInt32(1), chain)))),
        "errn -1728");
}

TEST(ObjectModelTest, OnlyAGetDataEventWithADirectObjectIsResolved) {
    EXPECT_EQ(replyTo(Descriptor::appleEventWithEventClass(
                  kAECoreSuite, fourCharCode("setd"), Descriptor::nullDescriptor(),
                  kAutoGenerateReturnID, kAnyTransactionID)),
              "errn -1708");
    EXPECT_EQ(replyTo(Descriptor::appleEventWithEventClass(
                  kAECoreSuite, kAEGetData, Descriptor::nullDescriptor(), kAutoGenerateReturnID,
                  kAnyTransactionID)),
              "errn -1728");
}

}  // namespace
}  // namespace platform
