#include "platform/object_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

using Descriptor = AppleEventDescriptor;

// Every object holds three windows, One, Two and Three, however deep; a window also holds one
// document, Notes. The application holds no documents of its own. Each object's path is the
// names on the way to it.
class NestedWindows final : public ObjectModel {
  public:
    std::size_t countElements(const ObjectReference& container,
                              DescType elementClass) const override {
        if (elementClass == cWindow) {
            return 3;
        }
        return elementClass == cDocument && container.objectClass() == cWindow ? 1 : 0;
    }
    std::optional<std::string> name(const ObjectReference& object) const override {
        static const char* const kWindows[] = {"One", "Two", "Three"};
        switch (object.objectClass()) {
            case cApplication:
                return "Atlas";
            case cWindow:
                return kWindows[object.index()];
            default:
                return "Notes";
        }
    }
    std::optional<Descriptor> property(const ObjectReference& object,
                                       DescType code) const override {
        if (code != pPath) {
            return std::nullopt;
        }
        // The names on the way to the object, so that an answer shows which one was found.
        std::string path = *name({});
        for (const auto& step : object.steps) {
            ObjectReference prefix;
            prefix.steps.assign(object.steps.data(), &step + 1);
            path += "/" + *name(prefix);
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
    const auto pathOf = [](const Descriptor& of) { return propertyOf(pPath, of); };
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
        {"the name of the application", propertyOf(pName, app), found("Atlas")},
        {"the name of an element", propertyOf(pName, second), found("Two")},
        {"a property of the application", pathOf(app), found("Atlas")},
        {"by index", pathOf(window(number(2))), found("Atlas/Two")},
        {"the last index", pathOf(window(number(3))), found("Atlas/Three")},
        {"from the end", pathOf(window(number(-1))), found("Atlas/Three")},
        {"the first from the end", pathOf(window(number(-3))), found("Atlas/One")},
        {"first", pathOf(window(ordinal(kAEFirst))), found("Atlas/One")},
        {"first, enumerated", pathOf(window(Descriptor::descriptorWithEnumCode(kAEFirst))),
         found("Atlas/One")},
        {"middle", pathOf(window(ordinal(kAEMiddle))), found("Atlas/Two")},
        {"last", pathOf(window(ordinal(kAELast))), found("Atlas/Three")},
        {"by name", pathOf(window(text("Three"))), found("Atlas/Three")},
        {"inside an element", pathOf(window(text("One"), window(number(-1)))),
         found("Atlas/Three/One")},
        {"another class inside an element",
         pathOf(element(cDocument, second, formAbsolutePosition, number(1))),
         found("Atlas/Two/Notes")},
        {"an element itself", second, second.description()},
        {"the application itself", app, app.description()},

        {"index 0", pathOf(window(number(0))), noSuchObject},
        {"past the last", pathOf(window(number(4))), noSuchObject},
        {"before the first", pathOf(window(number(-4))), noSuchObject},
        {"a name not there", pathOf(window(text("Four"))), noSuchObject},
        {"an index as text", pathOf(element(cWindow, app, formAbsolutePosition, text("1"))),
         noSuchObject},
        {"every", pathOf(window(ordinal(kAEAll))), noSuchObject},
        {"any", pathOf(window(ordinal(kAEAny))), noSuchObject},
        {"a range", pathOf(element(cWindow, app, fourCharCode("rang"), number(1))), noSuchObject},
        {"a test", pathOf(element(cWindow, app, fourCharCode("test"), number(1))), noSuchObject},
        {"a user property", element(cProperty, second, formUserPropertyID, text("name")),
         noSuchObject},
        {"a property the object lacks", propertyOf(pURL, second), noSuchObject},
        {"a class the object holds none of",
         pathOf(element(cDocument, app, formAbsolutePosition, number(1))), noSuchObject},
        {"a property of a property", pathOf(pathOf(second)), noSuchObject},
        {"an element of a property", pathOf(window(number(1), pathOf(app))), noSuchObject},
        {"an element of a failure", pathOf(window(number(1), window(number(9)))), noSuchObject},
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
    EXPECT_EQ(replyTo(getData(propertyOf(pPath, chain))), "'utxt'(\"" + path + "\")");
    EXPECT_EQ(
        replyTo(getData(propertyOf(pPath, window(Descriptor::descriptorWithInt32(1), chain)))),
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
