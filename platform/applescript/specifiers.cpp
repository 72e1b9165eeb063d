// Applications and object specifiers: naming an application, building references to the
// objects of an application, taking parts of local values, and resolving a reference by a
// get-data event.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "applications.h"
#include "coercion.h"
#include "descriptor_bridge.h"
#include "evaluator.h"
#include "platform/apple_event_manager.h"
#include "platform/platform.h"
#include "platform/standard_suite.h"
#include "platform/url.h"
#include "platform/utf.h"
#include "platform/workspace.h"
#include "terms.h"

namespace platform::applescript {
namespace {

std::int64_t count(const Value& value) {
    switch (value.kind) {
        case Value::Kind::Text:
            return static_cast<std::int64_t>(characterCount(value.text));
        case Value::Kind::List:
        case Value::Kind::Record:
            return static_cast<std::int64_t>(value.items.size());
        default:
            raise(errAENoSuchObject, "Can’t get count of " + describe(value) + ".");
    }
}

// An index counted from 1 (negative from the end) as a position, or a “can’t get” failure.
template <typename Describe>
std::size_t position(std::int64_t index, std::size_t size, const Describe& what) {
    if (index > 0 && static_cast<std::size_t>(index) <= size) {
        return static_cast<std::size_t>(index - 1);
    }
    if (index < 0 && static_cast<std::size_t>(-index) <= size) {
        return size - static_cast<std::size_t>(-index);
    }
    raise(errAENoSuchObject, "Can’t get " + what() + ".");
}

// The id of a text: the code point of its one character, or the list of its code points.
Value codePoints(const std::string& text) {
    const std::u16string units = utf::utf8ToUtf16(text);
    std::vector<Value> points;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::int64_t point = units[i];
        if (point >= 0xD800 && point < 0xDC00 && i + 1 < units.size()) {
            point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
        }
        points.push_back(Value::ofInteger(point));
    }
    return points.size() == 1 ? points.front() : Value::ofList(std::move(points));
}

std::string posixPath(const std::string& text) {
    if (text.rfind("file://", 0) == 0) {
        if (const auto url = URL::URLWithString(text)) {
            return url->path();
        }
    }
    return text;
}

std::string failureMessage(OSStatus status, const Value& reference) {
    const std::string& name = reference.applicationName;
    switch (status) {
        case errAENoSuchObject:
            return name + " got an error: Can’t get " + describeSpecifier(*reference.specifier) +
                   ".";
        case errAEEventNotPermitted:
            return "Not authorized to send Apple events to " + name + ".";
        case procNotFound:
            return name + " got an error: Application isn’t running.";
        case errAETimeout:
            return name + " got an error: AppleEvent timed out.";
        case errAEEventNotHandled:
            return name + " got an error: It doesn’t understand the “get” message.";
        default:
            return name + " got an error: An error of type " + std::to_string(status) +
                   " has occurred.";
    }
}
}  // namespace

Value Interpreter::application(const Node& node) {
    const std::string key = asText(evaluate(*node.children[0]));
    Value target;
    target.kind = Value::Kind::Application;
    if (node.flag) {
        Workspace& workspace = platform::workspace();
        auto running = workspace.runningApplicationWithBundleIdentifier(key);
        target.bundleIdentifier = declaredBundleIdentifier(key, running);
        target.applicationName = key;
        // The identifier may be declared in another letter case than it was written in.
        if (!running && target.bundleIdentifier != key) {
            running = workspace.runningApplicationWithBundleIdentifier(target.bundleIdentifier);
        }
        if (running && running->localizedName) {
            target.applicationName = *running->localizedName;
        }
        return target;
    }
    const auto identifier = options_.applicationNamed ? options_.applicationNamed(key)
                                                      : bundleIdentifierForApplicationNamed(key);
    if (!identifier) {
        Failure failure{errAENoSuchObject, "Can’t get application \"" + key + "\".", key};
        locate(failure, node);
        throw failure;
    }
    target.bundleIdentifier = *identifier;
    target.applicationName = key;
    return target;
}

// The specifier's value without sending anything: a new reference when the container is
// an application or a reference (*built is then true), else the part of a local value.
Value Interpreter::build(const Node& node, bool* built) {
    Value container;
    if (!node.container) {
        if (!targets_.empty()) {
            container = targets_.back();
        }
    } else if (node.container->kind == NodeKind::Specifier) {
        bool containerBuilt = false;
        container = build(*node.container, &containerBuilt);
    } else {
        container = contents(evaluate(*node.container));
    }
    if (node.selector == Selector::Property && node.code == pContents) {
        // The contents of a reference is what it refers to; of any other value, the value.
        *built = container.isTarget();
        return container;
    }
    if (node.selector == Selector::Count) {
        const Value counted = container.isTarget() ? getData(container) : container;
        return Value::ofInteger(count(counted));
    }
    if (!container.isTarget()) {
        *built = false;
        return local(node, container);
    }
    if (node.selector == Selector::Range) {
        raise(errAENoSuchObject, "Can’t get a range of " + describe(container) + ".",
              container.applicationName);
    }
    AppleEventDescriptor key;
    DescType want = node.code;
    FourCharCode form = formAbsolutePosition;
    switch (node.selector) {
        case Selector::Property:
            want = cProperty;
            form = formPropertyID;
            key = AppleEventDescriptor::descriptorWithTypeCode(node.code);
            break;
        case Selector::UserField:
            want = cProperty;
            form = formUserPropertyID;
            key = AppleEventDescriptor::descriptorWithString(node.text);
            break;
        case Selector::First:
            key = AppleEventDescriptor::descriptorWithInt32(1);
            break;
        case Selector::Last:
            key = AppleEventDescriptor::descriptorWithInt32(-1);
            break;
        case Selector::Every:
            key = AppleEventDescriptor::descriptorWithDescriptorType(
                typeAbsoluteOrdinal, AppleEventDescriptor::descriptorWithTypeCode(kAEAll).data());
            break;
        default: {
            const Value element = evaluate(*node.children[0]);
            if (element.isNumber()) {
                key = AppleEventDescriptor::descriptorWithInt32(
                    static_cast<std::int32_t>(asInteger(element)));
            } else {
                form = formName;
                key = AppleEventDescriptor::descriptorWithString(asText(element));
            }
        }
    }
    Value reference;
    reference.kind = Value::Kind::Reference;
    reference.specifier = std::make_shared<const AppleEventDescriptor>(
        AppleEventDescriptor::objectSpecifierWithDesiredClass(
            want,
            container.kind == Value::Kind::Reference ? *container.specifier
                                                     : AppleEventDescriptor::nullDescriptor(),
            form, key));
    reference.bundleIdentifier = container.bundleIdentifier;
    reference.applicationName = container.applicationName;
    *built = true;
    return reference;
}

// A part of a local value: text elements, list items, record fields.
Value Interpreter::local(const Node& node, const Value& container) {
    const auto what = [&] {
        return (node.selector == Selector::First   ? "first " + node.text
                : node.selector == Selector::Last  ? "last " + node.text
                : node.selector == Selector::Every ? "every " + node.text
                                                   : node.text) +
               " of " + describe(container);
    };
    if (node.selector == Selector::Property || node.selector == Selector::UserField) {
        if (node.code == pLength && container.kind != Value::Kind::Record) {
            return Value::ofInteger(count(container));
        }
        if (node.code == pID && container.kind == Value::Kind::Text) {
            return codePoints(container.text);
        }
        if (node.code == pPOSIXPath &&
            (container.kind == Value::Kind::Text || container.kind == Value::Kind::File)) {
            return Value::ofText(posixPath(container.text));
        }
        if (container.kind == Value::Kind::Record) {
            const std::string name = node.selector == Selector::UserField ? node.text : "";
            for (std::size_t i = 0; i < container.items.size(); ++i) {
                const Key& key = container.keys[i];
                if (node.selector == Selector::Property
                        ? (key.code == node.code ||
                           (key.code == 0 && equalIgnoringCase(key.name, node.text)))
                        : (key.code == 0 && equalIgnoringCase(key.name, name))) {
                    return container.items[i];
                }
            }
        }
        raise(errAENoSuchObject, "Can’t get " + what() + ".");
    }
    // Elements of text or of a list.
    std::vector<Value> parts;
    bool text = container.kind == Value::Kind::Text;
    if (text) {
        const FourCharCode cls = node.code;
        std::vector<std::string> pieces;
        if (cls == cParagraph) {
            pieces = paragraphs(container.text);
        } else if (cls == cWord) {
            pieces = words(container.text);
        } else if (cls == cCharacter || cls == cItem || cls == cText) {
            pieces = characters(container.text);
        } else if (cls == cTextItem) {
            pieces = textItems(container.text, delimiters_);
        } else {
            raise(errAENoSuchObject, "Can’t get " + what() + ".");
        }
        for (std::string& piece : pieces) {
            parts.push_back(Value::ofText(std::move(piece)));
        }
    } else if (container.kind == Value::Kind::List && node.code == cItem) {
        parts = container.items;
    } else {
        raise(errAENoSuchObject, "Can’t get " + what() + ".");
    }
    switch (node.selector) {
        case Selector::Every:
            return Value::ofList(std::move(parts));
        case Selector::First:
            return parts.at(position(1, parts.size(), what));
        case Selector::Last:
            return parts.at(position(-1, parts.size(), what));
        case Selector::Element: {
            const std::int64_t index = asInteger(evaluate(*node.children[0]));
            return parts.at(position(index, parts.size(), [&] {
                return node.text + " " + std::to_string(index) + " of " + describe(container);
            }));
        }
        default: {
            const std::int64_t from = asInteger(evaluate(*node.children[0]));
            const std::int64_t to = asInteger(evaluate(*node.children[1]));
            const auto range = [&] {
                return node.text + " " + std::to_string(from) + " thru " + std::to_string(to) +
                       " of " + describe(container);
            };
            std::size_t first = position(from, parts.size(), range);
            std::size_t last = position(to, parts.size(), range);
            if (first > last) {
                std::swap(first, last);
            }
            std::vector<Value> slice(parts.begin() + static_cast<std::ptrdiff_t>(first),
                                     parts.begin() + static_cast<std::ptrdiff_t>(last) + 1);
            if (text && node.code == cText) {
                // text a thru b is one text, its characters joined whatever the delimiters.
                std::string joined;
                for (const Value& piece : slice) {
                    joined += piece.text;
                }
                return Value::ofText(std::move(joined));
            }
            return Value::ofList(std::move(slice));
        }
    }
}

// Sends a get-data event for a reference and answers the reply's value.
Value Interpreter::getData(const Value& reference) {
    if (reference.kind != Value::Kind::Reference) {
        return reference;
    }
    AppleEventDescriptor event = AppleEventDescriptor::appleEventWithEventClass(
        kAECoreSuite, kAEGetData,
        AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(reference.bundleIdentifier),
        kAutoGenerateReturnID, kAnyTransactionID);
    event.setParamDescriptor(*reference.specifier, keyDirectObject);
    // Waiting for the reply counts against the run's budget: the wait is cut to what is left
    // of it, and a reply that does not come within that ends the run like any overrun.
    const long budget = remainingTicks();
    if (budget <= 0) {
        budgetExhausted();
    }
    const long ticks = std::min(timeoutTicks_, budget);
    AppleEventDescriptor reply;
    const OSStatus status =
        platform::appleEventManager().AESendMessage(event, &reply, kAEWaitReply, ticks);
    if (status == errAETimeout && ticks < timeoutTicks_) {
        budgetExhausted();
    }
    if (status != noErr) {
        raise(status, failureMessage(status, reference), reference.applicationName);
    }
    if (const auto number = reply.paramDescriptorForKeyword(keyErrorNumber)) {
        if (const std::int32_t code = number->int32Value(); code != 0) {
            std::string message;
            if (const auto text = reply.paramDescriptorForKeyword(keyErrorString)) {
                message = reference.applicationName +
                          " got an error: " + text->stringValue().value_or("");
            } else {
                message = failureMessage(code, reference);
            }
            raise(code, std::move(message), reference.applicationName);
        }
    }
    const auto direct = reply.paramDescriptorForKeyword(keyDirectObject);
    if (!direct) {
        raise(errAENoSuchObject, failureMessage(errAENoSuchObject, reference),
              reference.applicationName);
    }
    return fromDescriptor(*direct, reference);
}
}  // namespace platform::applescript
