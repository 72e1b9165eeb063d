#include "applescript_interpreter.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <utility>
#include <variant>
#include <vector>

#include "applescript_syntax.h"
#include "linux_bundles.h"
#include "platform/apple_event_manager.h"
#include "platform/bundle.h"
#include "platform/platform.h"
#include "platform/workspace.h"

namespace platform::linux_platform::applescript {
namespace {

constexpr FourCharCode kMissingValue = fourCharCode("msng");
constexpr FourCharCode kFormProperty = fourCharCode("prop");
constexpr FourCharCode kFormIndex = fourCharCode("indx");
constexpr FourCharCode kFormName = fourCharCode("name");
constexpr FourCharCode kFormUserProperty = fourCharCode("usrp");
constexpr FourCharCode kLengthProperty = fourCharCode("leng");
constexpr FourCharCode kPosixPathProperty = fourCharCode("psxp");
constexpr FourCharCode kNumberType = fourCharCode("nmbr");
constexpr FourCharCode kParagraphClass = fourCharCode("cpar");
constexpr FourCharCode kWordClass = fourCharCode("cwor");
constexpr FourCharCode kCharacterClass = fourCharCode("cha ");
constexpr FourCharCode kItemClass = fourCharCode("cobj");
constexpr FourCharCode kTextClass = fourCharCode("ctxt");
constexpr DescType kClassicText = fourCharCode("TEXT");
constexpr DescType kShortInteger = fourCharCode("shor");
constexpr DescType kShortFloat = fourCharCode("sing");
constexpr DescType kFileURL = fourCharCode("furl");
constexpr DescType kAbsoluteOrdinal = fourCharCode("abso");
constexpr FourCharCode kEveryOrdinal = fourCharCode("all ");
constexpr OSStatus kCannotCoerce = errAECoercionFail;
constexpr OSStatus kDivideByZero = -2701;
constexpr OSStatus kScriptError = -2700;
constexpr int kMaximumCallDepth = 64;
// Statements and expressions being evaluated at once, handler calls included; bounds the
// native stack however handlers and nesting combine.
constexpr int kMaximumEvaluationDepth = 600;
constexpr long kDefaultTimeoutTicks = 120 * 60;

// --- Values ----------------------------------------------------------------------------

struct Key {
    FourCharCode code = 0;  // 0: a user field, named by `name`
    std::string name;
};

struct Value {
    enum class Kind : std::uint8_t {
        Missing,
        Text,
        Integer,
        Real,
        Boolean,
        List,
        Record,
        Reference,
        Application,
        Type
    };
    Kind kind = Kind::Missing;
    std::string text;
    std::int64_t integer = 0;
    double real = 0;
    bool boolean = false;
    FourCharCode code = 0;
    std::vector<Value> items;  // list items; record values
    std::vector<Key> keys;     // record keys, parallel to items
    std::shared_ptr<const AppleEventDescriptor> specifier;
    std::string bundleIdentifier;  // references and applications: the target
    std::string applicationName;   // for messages

    static Value missing() { return {}; }
    static Value ofText(std::string text) {
        Value v;
        v.kind = Kind::Text;
        v.text = std::move(text);
        return v;
    }
    static Value ofInteger(std::int64_t number) {
        Value v;
        v.kind = Kind::Integer;
        v.integer = number;
        return v;
    }
    static Value ofReal(double number) {
        Value v;
        v.kind = Kind::Real;
        v.real = number;
        return v;
    }
    static Value ofBoolean(bool flag) {
        Value v;
        v.kind = Kind::Boolean;
        v.boolean = flag;
        return v;
    }
    static Value ofList(std::vector<Value> items) {
        Value v;
        v.kind = Kind::List;
        v.items = std::move(items);
        return v;
    }
    bool isNumber() const { return kind == Kind::Integer || kind == Kind::Real; }
    bool isTarget() const { return kind == Kind::Reference || kind == Kind::Application; }
    double number() const { return kind == Kind::Integer ? static_cast<double>(integer) : real; }
};

// A failure of a run. Budget and stack failures are fatal: `try` does not catch them.
struct Failure {
    OSStatus number = kScriptError;
    std::string message;
    std::string applicationName;
    std::size_t offset = 0;
    std::size_t length = 0;
    bool hasRange = false;
    bool fatal = false;
};

[[noreturn]] void raise(OSStatus number, std::string message, std::string applicationName = {}) {
    throw Failure{number, std::move(message), std::move(applicationName)};
}

std::string formatReal(double value) {
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<std::int64_t>(value)) + ".0";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string describeSpecifier(const AppleEventDescriptor& specifier, int depth = 0);
std::string asText(const Value& value);

std::string describe(const Value& value, int depth = 0) {
    if (depth > 16) {
        return "…";
    }
    switch (value.kind) {
        case Value::Kind::Missing:
            return "missing value";
        case Value::Kind::Text: {
            // Long texts are cut at a character boundary so that messages stay readable.
            constexpr std::size_t kShown = 120;
            if (value.text.size() <= kShown) {
                return "\"" + value.text + "\"";
            }
            std::size_t cut = kShown;
            while (cut > 0 && (static_cast<unsigned char>(value.text[cut]) & 0xC0) == 0x80) {
                --cut;
            }
            return "\"" + value.text.substr(0, cut) + "…\"";
        }
        case Value::Kind::Integer:
        case Value::Kind::Real:
        case Value::Kind::Boolean:
        case Value::Kind::Type:
            // Plain values read in messages as they read as text.
            return asText(value);
        case Value::Kind::Application:
            return "application \"" + value.applicationName + "\"";
        case Value::Kind::Reference:
            return describeSpecifier(*value.specifier) + " of application \"" +
                   value.applicationName + "\"";
        case Value::Kind::List:
        case Value::Kind::Record: {
            std::string text = "{";
            for (std::size_t i = 0; i < value.items.size(); ++i) {
                if (i > 0) {
                    text += ", ";
                }
                if (value.kind == Value::Kind::Record) {
                    const Key& key = value.keys[i];
                    text += (key.code != 0 ? termName(key.code) : "|" + key.name + "|") + ":";
                }
                text += describe(value.items[i], depth + 1);
            }
            return text + "}";
        }
    }
    return "?";
}

std::string describeSpecifier(const AppleEventDescriptor& specifier, int depth) {
    const auto form = specifier.descriptorForKeyword(keyAEKeyForm);
    const auto want = specifier.descriptorForKeyword(keyAEDesiredClass);
    const auto key = specifier.descriptorForKeyword(keyAEKeyData);
    if (!form || !want || !key || depth > 16) {
        return "«object»";
    }
    std::string text;
    const FourCharCode formCode = form->typeCodeValue();
    if (formCode == kFormProperty) {
        text = termName(key->typeCodeValue());
    } else if (formCode == kFormUserProperty) {
        text = "|" + key->stringValue().value_or("") + "|";
    } else if (formCode == kFormName) {
        text = termName(want->typeCodeValue()) + " \"" + key->stringValue().value_or("") + "\"";
    } else if (key->descriptorType() == typeSInt32) {
        const std::int32_t index = key->int32Value();
        text = index == -1 ? "last " + termName(want->typeCodeValue())
                           : termName(want->typeCodeValue()) + " " + std::to_string(index);
    } else {
        text = "every " + termName(want->typeCodeValue());
    }
    const auto from = specifier.descriptorForKeyword(keyAEContainer);
    if (from && from->descriptorType() == typeObjectSpecifier) {
        text += " of " + describeSpecifier(*from, depth + 1);
    }
    return text;
}

// --- Conversions to and from descriptors -----------------------------------------------

Value fromDescriptor(const AppleEventDescriptor& descriptor, const Value& target) {
    if (descriptor.isList()) {
        std::vector<Value> items;
        for (const AppleEventDescriptor& item : descriptor.items()) {
            items.push_back(fromDescriptor(item, target));
        }
        return Value::ofList(std::move(items));
    }
    if (descriptor.isRecord() && descriptor.descriptorType() == typeObjectSpecifier) {
        Value reference;
        reference.kind = Value::Kind::Reference;
        reference.specifier = std::make_shared<const AppleEventDescriptor>(descriptor);
        reference.bundleIdentifier = target.bundleIdentifier;
        reference.applicationName = target.applicationName;
        return reference;
    }
    if (descriptor.isRecord()) {
        Value record;
        record.kind = Value::Kind::Record;
        for (const auto& [keyword, field] : descriptor.entries()) {
            if (keyword == keyASUserRecordFields && field.isList()) {
                // Alternating names and values.
                const auto& items = field.items();
                for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
                    record.keys.push_back({0, items[i].stringValue().value_or("")});
                    record.items.push_back(fromDescriptor(items[i + 1], target));
                }
            } else {
                record.keys.push_back({keyword, {}});
                record.items.push_back(fromDescriptor(field, target));
            }
        }
        return record;
    }
    if (descriptor.isAppleEvent()) {
        return Value::missing();
    }
    const DescType type = descriptor.descriptorType();
    if (type == typeUnicodeText || type == typeUTF8Text || type == kClassicText) {
        return Value::ofText(descriptor.stringValue().value_or(""));
    }
    if (type == typeSInt32 || type == kShortInteger) {
        return Value::ofInteger(descriptor.int32Value());
    }
    if (type == typeIEEE64BitFloatingPoint || type == kShortFloat) {
        return Value::ofReal(descriptor.doubleValue().value_or(0));
    }
    if (type == typeBoolean || type == typeTrue || type == typeFalse) {
        return Value::ofBoolean(descriptor.booleanValue());
    }
    if (type == typeNull) {
        return Value::missing();
    }
    if (type == typeType || type == typeEnumerated) {
        if (descriptor.typeCodeValue() == kMissingValue) {
            return Value::missing();
        }
        Value value;
        value.kind = Value::Kind::Type;
        value.code = descriptor.typeCodeValue();
        return value;
    }
    if (type == kFileURL) {
        const auto& bytes = descriptor.data();
        return Value::ofText(std::string(bytes.begin(), bytes.end()));
    }
    if (auto text = descriptor.stringValue()) {
        return Value::ofText(*text);
    }
    return Value::missing();
}

AppleEventDescriptor toDescriptor(const Value& value) {
    switch (value.kind) {
        case Value::Kind::Missing:
            return AppleEventDescriptor::descriptorWithTypeCode(kMissingValue);
        case Value::Kind::Text:
            return AppleEventDescriptor::descriptorWithString(value.text);
        case Value::Kind::Integer:
            if (value.integer >= INT32_MIN && value.integer <= INT32_MAX) {
                return AppleEventDescriptor::descriptorWithInt32(
                    static_cast<std::int32_t>(value.integer));
            }
            return AppleEventDescriptor::descriptorWithDouble(static_cast<double>(value.integer));
        case Value::Kind::Real:
            return AppleEventDescriptor::descriptorWithDouble(value.real);
        case Value::Kind::Boolean:
            return AppleEventDescriptor::descriptorWithBoolean(value.boolean);
        case Value::Kind::Type:
            return AppleEventDescriptor::descriptorWithTypeCode(value.code);
        case Value::Kind::Reference:
            return *value.specifier;
        case Value::Kind::Application:
            return AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
                value.bundleIdentifier);
        case Value::Kind::List: {
            AppleEventDescriptor list = AppleEventDescriptor::listDescriptor();
            for (const Value& item : value.items) {
                list.insertDescriptor(toDescriptor(item), 0);
            }
            return list;
        }
        case Value::Kind::Record: {
            AppleEventDescriptor record = AppleEventDescriptor::recordDescriptor();
            AppleEventDescriptor userFields = AppleEventDescriptor::listDescriptor();
            for (std::size_t i = 0; i < value.items.size(); ++i) {
                if (value.keys[i].code != 0) {
                    record.setDescriptor(toDescriptor(value.items[i]), value.keys[i].code);
                } else {
                    userFields.insertDescriptor(
                        AppleEventDescriptor::descriptorWithString(value.keys[i].name), 0);
                    userFields.insertDescriptor(toDescriptor(value.items[i]), 0);
                }
            }
            if (userFields.numberOfItems() > 0) {
                record.setDescriptor(userFields, keyASUserRecordFields);
            }
            return record;
        }
    }
    return AppleEventDescriptor::nullDescriptor();
}

// --- Text ------------------------------------------------------------------------------

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && lowercased(a) == lowercased(b);
}

// Bundle identifiers name an application whatever their case, as the system's own lookups do
// (the helper hands scripts the frontmost application's in lower case); events go out under the
// spelling the application declares, which its bus name follows.
std::string declaredBundleIdentifier(const std::string& key) {
    Workspace& workspace = platform::workspace();
    if (!workspace.runningApplicationsWithBundleIdentifier(key).empty()) {
        return key;
    }
    const auto same = [&](const std::optional<std::string>& candidate) {
        return candidate && equalIgnoringCase(*candidate, key);
    };
    if (const auto front = workspace.frontmostApplication();
        front && same(front->bundleIdentifier)) {
        return *front->bundleIdentifier;
    }
    if (auto* linuxWorkspace = dynamic_cast<LinuxWorkspace*>(&workspace)) {
        for (const RunningApplication& running : linuxWorkspace->runningApplications()) {
            if (same(running.bundleIdentifier)) {
                return *running.bundleIdentifier;
            }
        }
        for (const std::string& path : installedApplicationBundles()) {
            const auto bundle = platform::bundles().bundleWithURL(URL::fileURLWithPath(path));
            if (bundle && same(bundle->bundleIdentifier())) {
                return *bundle->bundleIdentifier();
            }
        }
    }
    return key;
}

std::vector<std::string> characters(const std::string& text) {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        while (i + length < text.size() &&
               (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80) {
            ++length;
        }
        result.push_back(text.substr(i, length));
        i += length;
    }
    return result;
}

std::vector<std::string> paragraphs(const std::string& text) {
    std::vector<std::string> result;
    if (text.empty()) {
        return result;
    }
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            result.push_back(std::move(current));
            current.clear();
        } else {
            current += text[i];
        }
    }
    result.push_back(std::move(current));
    return result;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result;
    std::string current;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0 || u >= 0x80 || c == '\'' || c == '_') {
            current += c;
        } else if (!current.empty()) {
            result.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) {
        result.push_back(std::move(current));
    }
    return result;
}

// --- Coercions -------------------------------------------------------------------------

[[noreturn]] void cannotMake(const Value& value, const char* type) {
    raise(kCannotCoerce, "Can’t make " + describe(value) + " into type " + type + ".");
}

std::string asText(const Value& value) {
    switch (value.kind) {
        case Value::Kind::Text:
            return value.text;
        case Value::Kind::Integer:
            return std::to_string(value.integer);
        case Value::Kind::Real:
            return formatReal(value.real);
        case Value::Kind::Boolean:
            return value.boolean ? "true" : "false";
        case Value::Kind::Type:
            return termName(value.code);
        case Value::Kind::List: {
            std::string text;
            for (const Value& item : value.items) {
                text += asText(item);
            }
            return text;
        }
        default:
            cannotMake(value, "text");
    }
}

Value asNumber(const Value& value) {
    if (value.isNumber()) {
        return value;
    }
    if (value.kind == Value::Kind::List && value.items.size() == 1) {
        return asNumber(value.items[0]);
    }
    if (value.kind == Value::Kind::Text) {
        std::string text = value.text;
        const auto first = text.find_first_not_of(" \t\r\n");
        const auto last = text.find_last_not_of(" \t\r\n");
        if (first != std::string::npos) {
            text = text.substr(first, last - first + 1);
            std::int64_t integer = 0;
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), integer);
            if (error == std::errc() && end == text.data() + text.size()) {
                return Value::ofInteger(integer);
            }
            double real = 0;
            const auto [realEnd, realError] =
                std::from_chars(text.data(), text.data() + text.size(), real);
            if (realError == std::errc() && realEnd == text.data() + text.size()) {
                return Value::ofReal(real);
            }
        }
    }
    cannotMake(value, "number");
}

std::int64_t asInteger(const Value& value) {
    const Value number = asNumber(value);
    if (number.kind == Value::Kind::Integer) {
        return number.integer;
    }
    if (!std::isfinite(number.real) || std::fabs(number.real) > 9e15) {
        cannotMake(value, "integer");
    }
    return static_cast<std::int64_t>(std::nearbyint(number.real));
}

bool asBoolean(const Value& value) {
    if (value.kind == Value::Kind::Boolean) {
        return value.boolean;
    }
    if (value.kind == Value::Kind::Text) {
        if (equalIgnoringCase(value.text, "true")) {
            return true;
        }
        if (equalIgnoringCase(value.text, "false")) {
            return false;
        }
    }
    if (value.kind == Value::Kind::Integer && (value.integer == 0 || value.integer == 1)) {
        return value.integer == 1;
    }
    cannotMake(value, "boolean");
}

std::vector<Value> asList(const Value& value) {
    if (value.kind == Value::Kind::List || value.kind == Value::Kind::Record) {
        return value.items;
    }
    return {value};
}

Value coerce(const Value& value, FourCharCode type) {
    if (type == typeUnicodeText) {
        return Value::ofText(asText(value));
    }
    if (type == typeSInt32) {
        return Value::ofInteger(asInteger(value));
    }
    if (type == typeIEEE64BitFloatingPoint) {
        return Value::ofReal(asNumber(value).number());
    }
    if (type == kNumberType) {
        return asNumber(value);
    }
    if (type == typeBoolean) {
        return Value::ofBoolean(asBoolean(value));
    }
    if (type == typeAEList) {
        return Value::ofList(asList(value));
    }
    if (value.kind != Value::Kind::Record) {
        cannotMake(value, "record");
    }
    return value;
}

// --- Comparison ------------------------------------------------------------------------

bool equal(const Value& a, const Value& b);

// Whether every field of the record `part` stands, with an equal value, in the record `whole`.
bool holdsFields(const Value& whole, const Value& part) {
    for (std::size_t i = 0; i < part.items.size(); ++i) {
        bool found = false;
        for (std::size_t j = 0; j < whole.items.size() && !found; ++j) {
            found = part.keys[i].code == whole.keys[j].code &&
                    equalIgnoringCase(part.keys[i].name, whole.keys[j].name) &&
                    equal(part.items[i], whole.items[j]);
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

bool equal(const Value& a, const Value& b) {
    if (a.isNumber() && b.isNumber()) {
        return a.number() == b.number();
    }
    if (a.kind != b.kind) {
        return false;
    }
    switch (a.kind) {
        case Value::Kind::Missing:
            return true;
        case Value::Kind::Text:
            return equalIgnoringCase(a.text, b.text);
        case Value::Kind::Boolean:
            return a.boolean == b.boolean;
        case Value::Kind::Type:
            return a.code == b.code;
        case Value::Kind::Application:
            return a.bundleIdentifier == b.bundleIdentifier;
        case Value::Kind::Reference:
            return a.bundleIdentifier == b.bundleIdentifier && *a.specifier == *b.specifier;
        case Value::Kind::List:
            return a.items.size() == b.items.size() &&
                   std::equal(a.items.begin(), a.items.end(), b.items.begin(), equal);
        case Value::Kind::Record:
            return a.items.size() == b.items.size() && holdsFields(b, a);
        default:
            return false;
    }
}

int order(const Value& a, const Value& b) {
    if (a.kind == Value::Kind::Text) {
        const std::string left = lowercased(a.text);
        const std::string right = lowercased(asText(b));
        return left < right ? -1 : left > right ? 1 : 0;
    }
    const double left = asNumber(a).number();
    const double right = asNumber(b).number();
    return left < right ? -1 : left > right ? 1 : 0;
}

// Whether `container` holds `part`: text within text, an item or a run of items in a list.
bool contains(const Value& container, const Value& part) {
    if (container.kind == Value::Kind::Text) {
        return lowercased(container.text).find(lowercased(asText(part))) != std::string::npos;
    }
    if (container.kind == Value::Kind::List) {
        const std::vector<Value> needle = asList(part);
        if (needle.empty()) {
            return true;
        }
        const auto found = std::search(container.items.begin(), container.items.end(),
                                       needle.begin(), needle.end(), equal);
        return found != container.items.end();
    }
    if (container.kind == Value::Kind::Record && part.kind == Value::Kind::Record) {
        return holdsFields(container, part);
    }
    raise(kCannotCoerce, "Can’t make " + describe(container) + " into type list.");
}

bool startsOrEnds(const Value& whole, const Value& part, bool atStart) {
    if (whole.kind == Value::Kind::List) {
        const std::vector<Value> needle = asList(part);
        if (needle.size() > whole.items.size()) {
            return false;
        }
        const auto from = atStart ? whole.items.begin() : whole.items.end() - needle.size();
        return std::equal(needle.begin(), needle.end(), from, equal);
    }
    const std::string text = lowercased(asText(whole));
    const std::string piece = lowercased(asText(part));
    if (piece.size() > text.size()) {
        return false;
    }
    return atStart ? text.compare(0, piece.size(), piece) == 0
                   : text.compare(text.size() - piece.size(), piece.size(), piece) == 0;
}

// --- The interpreter -------------------------------------------------------------------

class Interpreter {
  public:
    Interpreter(const Program& program, const Options& options)
        : program_(program), options_(options), started_(std::chrono::steady_clock::now()) {}

    Value run(bool* hasResult) {
        frames_.emplace_back();
        const Flow flow = execute(program_.run);
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        if (flow == Flow::Return) {
            *hasResult = returned_.has_value();
            return returned_.value_or(Value::missing());
        }
        *hasResult = frame.hasResult;
        return frame.result;
    }

    Value call(const std::string& name, std::vector<Value> arguments, bool* hasResult,
               const Node* site) {
        const auto found = program_.handlers.find(name);
        if (found == program_.handlers.end()) {
            raise(errAEEventNotHandled, "«script» doesn’t understand the “" + name + "” message.");
        }
        const Handler& handler = found->second;
        if (arguments.size() != handler.parameters.size()) {
            raise(kWrongNumberOfParameters,
                  "«script» doesn’t match the parameters of “" + name + "”: it takes " +
                      std::to_string(handler.parameters.size()) + " and was given " +
                      std::to_string(arguments.size()) + ".");
        }
        if (static_cast<int>(frames_.size()) > kMaximumCallDepth) {
            Failure failure{kStackOverflow, "Stack overflow.", {}};
            failure.fatal = true;
            if (site != nullptr) {
                failure.offset = site->offset;
                failure.length = site->length;
                failure.hasRange = true;
            }
            throw failure;
        }
        Frame frame;
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            frame.variables[handler.parameters[i]] = std::move(arguments[i]);
        }
        // A handler does not inherit the caller's tell target.
        std::vector<Value> targets;
        std::swap(targets, targets_);
        frames_.push_back(std::move(frame));
        Flow flow = Flow::Normal;
        try {
            flow = execute(handler.body);
        } catch (...) {
            frames_.pop_back();
            std::swap(targets, targets_);
            throw;
        }
        Frame finished = std::move(frames_.back());
        frames_.pop_back();
        std::swap(targets, targets_);
        if (flow == Flow::Return) {
            *hasResult = returned_.has_value();
            Value result = returned_.value_or(Value::missing());
            returned_.reset();
            return result;
        }
        *hasResult = finished.hasResult;
        return finished.result;
    }

  private:
    enum class Flow : std::uint8_t { Normal, Return, Exit };

    struct Frame {
        std::map<std::string, Value> variables;
        Value result;
        bool hasResult = false;
    };

    Frame& frame() { return frames_.back(); }

    void step() {
        ++steps_;
        bool exhausted = steps_ > options_.maximumSteps;
        if (!exhausted && steps_ % 256 == 0) {
            const std::chrono::duration<double> elapsed =
                std::chrono::steady_clock::now() - started_;
            exhausted = elapsed.count() > options_.maximumSeconds;
        }
        if (exhausted) {
            Failure failure{errAETimeout, "The script ran too long and was stopped.", {}};
            failure.fatal = true;
            throw failure;
        }
    }

    static void locate(Failure& failure, const Node& node) {
        if (!failure.hasRange) {
            failure.offset = node.offset;
            failure.length = node.length;
            failure.hasRange = true;
        }
    }

    Flow execute(const Block& block) {
        for (const NodePointer& statement : block) {
            const Flow flow = executeStatement(*statement);
            if (flow != Flow::Normal) {
                return flow;
            }
        }
        return Flow::Normal;
    }

    void setResult(Value value) {
        frame().result = std::move(value);
        frame().hasResult = true;
    }

    // Counts the evaluation depth for the duration of one statement or expression.
    class Depth {
      public:
        explicit Depth(Interpreter& interpreter) : interpreter_(interpreter) {
            if (++interpreter_.depth_ > kMaximumEvaluationDepth) {
                --interpreter_.depth_;
                Failure failure{kStackOverflow, "Stack overflow.", {}};
                failure.fatal = true;
                throw failure;
            }
        }
        ~Depth() { --interpreter_.depth_; }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;

      private:
        Interpreter& interpreter_;
    };

    Flow executeStatement(const Node& node) {
        step();
        const Depth depth(*this);
        try {
            return executeUnlocated(node);
        } catch (Failure& failure) {
            locate(failure, node);
            throw;
        }
    }

    // Runs a loop body; answers whether the loop goes on, and the flow to pass up when not.
    bool loopBody(const Node& node, Flow* out) {
        step();
        const Flow flow = execute(node.body);
        if (flow == Flow::Exit) {
            *out = Flow::Normal;
            return false;
        }
        if (flow == Flow::Return) {
            *out = Flow::Return;
            return false;
        }
        return true;
    }

    Flow executeUnlocated(const Node& node) {
        switch (node.kind) {
            case NodeKind::Set: {
                Value value = evaluate(*node.children[0]);
                frame().variables[node.text] = value;
                setResult(std::move(value));
                return Flow::Normal;
            }
            case NodeKind::Evaluate:
                setResult(evaluate(*node.children[0]));
                return Flow::Normal;
            case NodeKind::Return:
                if (node.children.empty()) {
                    returned_.reset();
                } else {
                    returned_ = evaluate(*node.children[0]);
                }
                return Flow::Return;
            case NodeKind::Error: {
                OSStatus number = kScriptError;
                if (node.children[1]) {
                    number = static_cast<OSStatus>(asInteger(evaluate(*node.children[1])));
                }
                std::string message =
                    node.children[0]
                        ? asText(evaluate(*node.children[0]))
                        : "An error of type " + std::to_string(number) + " has occurred.";
                raise(number, std::move(message));
            }
            case NodeKind::Try:
                try {
                    return execute(node.body);
                } catch (Failure& failure) {
                    if (failure.fatal) {
                        throw;
                    }
                    if (!node.flag) {
                        return Flow::Normal;
                    }
                    if (!node.names[0].empty()) {
                        frame().variables[node.names[0]] = Value::ofText(failure.message);
                    }
                    if (!node.names[1].empty()) {
                        frame().variables[node.names[1]] = Value::ofInteger(failure.number);
                    }
                    return execute(node.alternative);
                }
            case NodeKind::If:
                return asBoolean(evaluate(*node.children[0])) ? execute(node.body)
                                                              : execute(node.alternative);
            case NodeKind::Tell: {
                targets_.push_back(evaluate(*node.children[0]));
                struct Pop {
                    std::vector<Value>& stack;
                    ~Pop() { stack.pop_back(); }
                } pop{targets_};
                return execute(node.body);
            }
            case NodeKind::Timeout: {
                double seconds = asNumber(evaluate(*node.children[0])).number();
                if (!std::isfinite(seconds)) {
                    seconds = kDefaultTimeoutTicks / 60.0;
                }
                const long saved = timeoutTicks_;
                timeoutTicks_ =
                    static_cast<long>(std::clamp(seconds * 60.0, 1.0, 3600.0 * 24 * 60));
                struct Restore {
                    long& ticks;
                    long saved;
                    ~Restore() { ticks = saved; }
                } restore{timeoutTicks_, saved};
                return execute(node.body);
            }
            case NodeKind::RepeatForever: {
                Flow out = Flow::Normal;
                while (loopBody(node, &out)) {
                }
                return out;
            }
            case NodeKind::RepeatTimes: {
                const std::int64_t times = asInteger(evaluate(*node.children[0]));
                Flow out = Flow::Normal;
                for (std::int64_t i = 0; i < times; ++i) {
                    if (!loopBody(node, &out)) {
                        break;
                    }
                }
                return out;
            }
            case NodeKind::RepeatWhile:
            case NodeKind::RepeatUntil: {
                const bool until = node.kind == NodeKind::RepeatUntil;
                Flow out = Flow::Normal;
                while (asBoolean(evaluate(*node.children[0])) != until) {
                    if (!loopBody(node, &out)) {
                        break;
                    }
                }
                return out;
            }
            case NodeKind::RepeatFromTo: {
                const std::int64_t from = asInteger(evaluate(*node.children[0]));
                const std::int64_t to = asInteger(evaluate(*node.children[1]));
                const std::int64_t by =
                    node.children.size() > 2 ? asInteger(evaluate(*node.children[2])) : 1;
                if (by == 0) {
                    raise(kScriptError, "A repeat can’t step by zero.");
                }
                Flow out = Flow::Normal;
                for (std::int64_t i = from; by > 0 ? i <= to : i >= to;) {
                    frame().variables[node.names[0]] = Value::ofInteger(i);
                    if (!loopBody(node, &out) || __builtin_add_overflow(i, by, &i)) {
                        break;
                    }
                }
                return out;
            }
            case NodeKind::RepeatIn: {
                const Value collection = evaluate(*node.children[0]);
                std::vector<Value> items;
                if (collection.kind == Value::Kind::Text) {
                    for (std::string& c : characters(collection.text)) {
                        items.push_back(Value::ofText(std::move(c)));
                    }
                } else {
                    items = asList(collection);
                }
                Flow out = Flow::Normal;
                for (Value& item : items) {
                    frame().variables[node.names[0]] = std::move(item);
                    if (!loopBody(node, &out)) {
                        break;
                    }
                }
                return out;
            }
            case NodeKind::ExitRepeat:
                return Flow::Exit;
            default:
                raise(kScriptError, "Not a statement.");
        }
    }

    Value evaluate(const Node& node) {
        step();
        const Depth depth(*this);
        switch (node.kind) {
            case NodeKind::Text:
                return Value::ofText(node.text);
            case NodeKind::Integer:
                return Value::ofInteger(node.integer);
            case NodeKind::Real:
                return Value::ofReal(node.real);
            case NodeKind::Boolean:
                return Value::ofBoolean(node.flag);
            case NodeKind::Missing:
                return Value::missing();
            case NodeKind::Variable: {
                const auto found = frame().variables.find(node.text);
                if (found == frame().variables.end()) {
                    Failure failure{
                        kVariableNotDefined, "The variable " + node.text + " is not defined.", {}};
                    locate(failure, node);
                    throw failure;
                }
                return found->second;
            }
            case NodeKind::List: {
                std::vector<Value> items;
                for (const NodePointer& child : node.children) {
                    items.push_back(evaluate(*child));
                }
                return Value::ofList(std::move(items));
            }
            case NodeKind::Record: {
                Value record;
                record.kind = Value::Kind::Record;
                for (std::size_t i = 0; i < node.children.size(); ++i) {
                    record.keys.push_back({node.keys[i].first, node.keys[i].second});
                    record.items.push_back(evaluate(*node.children[i]));
                }
                return record;
            }
            case NodeKind::Binary:
                return evaluateBinary(node);
            case NodeKind::Not:
                return Value::ofBoolean(!asBoolean(evaluate(*node.children[0])));
            case NodeKind::Negate: {
                const Value number = asNumber(evaluate(*node.children[0]));
                if (number.kind == Value::Kind::Integer && number.integer != INT64_MIN) {
                    return Value::ofInteger(-number.integer);
                }
                return Value::ofReal(-number.number());
            }
            case NodeKind::Coerce:
                return coerce(evaluate(*node.children[0]), node.code);
            case NodeKind::Call:
                try {
                    std::vector<Value> arguments;
                    for (const NodePointer& child : node.children) {
                        arguments.push_back(evaluate(*child));
                    }
                    bool hasResult = false;
                    return call(node.text, std::move(arguments), &hasResult, &node);
                } catch (Failure& failure) {
                    locate(failure, node);
                    throw;
                }
            case NodeKind::Application:
                return application(node);
            case NodeKind::Get: {
                Value value = evaluate(*node.children[0]);
                return value.kind == Value::Kind::Reference ? getData(value) : value;
            }
            case NodeKind::Specifier:
                try {
                    bool built = false;
                    Value value = build(node, &built);
                    return built ? getData(value) : value;
                } catch (Failure& failure) {
                    locate(failure, node);
                    throw;
                }
            default:
                raise(kScriptError, "Not an expression.");
        }
    }

    Value evaluateBinary(const Node& node) {
        const BinaryOperator op = node.binary;
        if (op == BinaryOperator::And || op == BinaryOperator::Or) {
            const bool left = asBoolean(evaluate(*node.children[0]));
            if (left == (op == BinaryOperator::Or)) {
                return Value::ofBoolean(left);
            }
            return Value::ofBoolean(asBoolean(evaluate(*node.children[1])));
        }
        const Value left = evaluate(*node.children[0]);
        const Value right = evaluate(*node.children[1]);
        switch (op) {
            case BinaryOperator::Equal:
                return Value::ofBoolean(equal(left, right));
            case BinaryOperator::NotEqual:
                return Value::ofBoolean(!equal(left, right));
            case BinaryOperator::Less:
                return Value::ofBoolean(order(left, right) < 0);
            case BinaryOperator::LessOrEqual:
                return Value::ofBoolean(order(left, right) <= 0);
            case BinaryOperator::Greater:
                return Value::ofBoolean(order(left, right) > 0);
            case BinaryOperator::GreaterOrEqual:
                return Value::ofBoolean(order(left, right) >= 0);
            case BinaryOperator::Contains:
                return Value::ofBoolean(contains(left, right));
            case BinaryOperator::DoesNotContain:
                return Value::ofBoolean(!contains(left, right));
            case BinaryOperator::IsIn:
                return Value::ofBoolean(contains(right, left));
            case BinaryOperator::IsNotIn:
                return Value::ofBoolean(!contains(right, left));
            case BinaryOperator::StartsWith:
                return Value::ofBoolean(startsOrEnds(left, right, true));
            case BinaryOperator::EndsWith:
                return Value::ofBoolean(startsOrEnds(left, right, false));
            case BinaryOperator::Concatenate:
                return concatenate(left, right);
            default:
                return arithmetic(op, left, right);
        }
    }

    static Value concatenate(const Value& left, const Value& right) {
        if (left.kind == Value::Kind::Text) {
            return Value::ofText(left.text + asText(right));
        }
        if (left.kind == Value::Kind::Record && right.kind == Value::Kind::Record) {
            Value merged = left;
            for (std::size_t i = 0; i < right.items.size(); ++i) {
                const bool present =
                    std::any_of(merged.keys.begin(), merged.keys.end(), [&](const Key& key) {
                        return key.code == right.keys[i].code &&
                               equalIgnoringCase(key.name, right.keys[i].name);
                    });
                if (!present) {
                    merged.keys.push_back(right.keys[i]);
                    merged.items.push_back(right.items[i]);
                }
            }
            return merged;
        }
        std::vector<Value> items = asList(left);
        for (Value& item : asList(right)) {
            items.push_back(std::move(item));
        }
        return Value::ofList(std::move(items));
    }

    static Value arithmetic(BinaryOperator op, const Value& leftValue, const Value& rightValue) {
        const Value left = asNumber(leftValue);
        const Value right = asNumber(rightValue);
        const bool integers =
            left.kind == Value::Kind::Integer && right.kind == Value::Kind::Integer;
        const double a = left.number();
        const double b = right.number();
        if ((op == BinaryOperator::Divide || op == BinaryOperator::IntegerDivide ||
             op == BinaryOperator::Modulo) &&
            b == 0) {
            raise(kDivideByZero, "Can’t divide " + describe(left) + " by zero.");
        }
        std::int64_t exact = 0;
        switch (op) {
            case BinaryOperator::Add:
                if (integers && !__builtin_add_overflow(left.integer, right.integer, &exact)) {
                    return Value::ofInteger(exact);
                }
                return Value::ofReal(a + b);
            case BinaryOperator::Subtract:
                if (integers && !__builtin_sub_overflow(left.integer, right.integer, &exact)) {
                    return Value::ofInteger(exact);
                }
                return Value::ofReal(a - b);
            case BinaryOperator::Multiply:
                if (integers && !__builtin_mul_overflow(left.integer, right.integer, &exact)) {
                    return Value::ofInteger(exact);
                }
                return Value::ofReal(a * b);
            case BinaryOperator::Divide:
                return Value::ofReal(a / b);
            case BinaryOperator::IntegerDivide: {
                const double quotient = std::trunc(a / b);
                if (!std::isfinite(quotient) || std::fabs(quotient) > 9e15) {
                    raise(kCannotCoerce, "The result of a numeric operation was too large.");
                }
                return Value::ofInteger(static_cast<std::int64_t>(quotient));
            }
            case BinaryOperator::Modulo:
                if (integers && right.integer != -1) {
                    return Value::ofInteger(left.integer % right.integer);
                }
                return integers ? Value::ofInteger(0) : Value::ofReal(std::fmod(a, b));
            default:
                raise(kScriptError, "Unknown operator.");
        }
    }

    // --- Applications and specifiers ---------------------------------------------------

    Value application(const Node& node) {
        const std::string key = asText(evaluate(*node.children[0]));
        Value target;
        target.kind = Value::Kind::Application;
        if (node.flag) {
            target.bundleIdentifier = declaredBundleIdentifier(key);
            target.applicationName = key;
            const auto running = platform::workspace().runningApplicationsWithBundleIdentifier(
                target.bundleIdentifier);
            if (!running.empty() && running.front().localizedName) {
                target.applicationName = *running.front().localizedName;
            }
            return target;
        }
        const auto identifier = options_.applicationNamed
                                    ? options_.applicationNamed(key)
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

    static AppleEventDescriptor objectSpecifier(DescType want, const Value& container,
                                                FourCharCode form,
                                                const AppleEventDescriptor& key) {
        AppleEventDescriptor specifier =
            AppleEventDescriptor::recordDescriptor(typeObjectSpecifier);
        specifier.setDescriptor(AppleEventDescriptor::descriptorWithTypeCode(want),
                                keyAEDesiredClass);
        specifier.setDescriptor(container.kind == Value::Kind::Reference
                                    ? *container.specifier
                                    : AppleEventDescriptor::nullDescriptor(),
                                keyAEContainer);
        specifier.setDescriptor(AppleEventDescriptor::descriptorWithEnumCode(form), keyAEKeyForm);
        specifier.setDescriptor(key, keyAEKeyData);
        return specifier;
    }

    // The specifier's value without sending anything: a new reference when the container is
    // an application or a reference (*built is then true), else the part of a local value.
    Value build(const Node& node, bool* built) {
        Value container;
        if (!node.container) {
            if (!targets_.empty()) {
                container = targets_.back();
            }
        } else if (node.container->kind == NodeKind::Specifier) {
            bool containerBuilt = false;
            container = build(*node.container, &containerBuilt);
        } else {
            container = evaluate(*node.container);
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
        FourCharCode form = kFormIndex;
        switch (node.selector) {
            case Selector::Property:
                want = kFormProperty;
                form = kFormProperty;
                key = AppleEventDescriptor::descriptorWithTypeCode(node.code);
                break;
            case Selector::UserField:
                want = kFormProperty;
                form = kFormUserProperty;
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
                    kAbsoluteOrdinal,
                    AppleEventDescriptor::descriptorWithTypeCode(kEveryOrdinal).data());
                break;
            default: {
                const Value element = evaluate(*node.children[0]);
                if (element.isNumber()) {
                    key = AppleEventDescriptor::descriptorWithInt32(
                        static_cast<std::int32_t>(asInteger(element)));
                } else {
                    form = kFormName;
                    key = AppleEventDescriptor::descriptorWithString(asText(element));
                }
            }
        }
        Value reference;
        reference.kind = Value::Kind::Reference;
        reference.specifier = std::make_shared<const AppleEventDescriptor>(
            objectSpecifier(want, container, form, key));
        reference.bundleIdentifier = container.bundleIdentifier;
        reference.applicationName = container.applicationName;
        *built = true;
        return reference;
    }

    static std::int64_t count(const Value& value) {
        switch (value.kind) {
            case Value::Kind::Text:
                return static_cast<std::int64_t>(characters(value.text).size());
            case Value::Kind::List:
            case Value::Kind::Record:
                return static_cast<std::int64_t>(value.items.size());
            default:
                raise(errAENoSuchObject, "Can’t get count of " + describe(value) + ".");
        }
    }

    // An index counted from 1 (negative from the end) as a position, or a “can’t get” failure.
    template <typename Describe>
    static std::size_t position(std::int64_t index, std::size_t size, const Describe& what) {
        if (index > 0 && static_cast<std::size_t>(index) <= size) {
            return static_cast<std::size_t>(index - 1);
        }
        if (index < 0 && static_cast<std::size_t>(-index) <= size) {
            return size - static_cast<std::size_t>(-index);
        }
        raise(errAENoSuchObject, "Can’t get " + what() + ".");
    }

    // A part of a local value: text elements, list items, record fields.
    Value local(const Node& node, const Value& container) {
        const auto what = [&] {
            return (node.selector == Selector::First   ? "first " + node.text
                    : node.selector == Selector::Last  ? "last " + node.text
                    : node.selector == Selector::Every ? "every " + node.text
                                                       : node.text) +
                   " of " + describe(container);
        };
        if (node.selector == Selector::Property || node.selector == Selector::UserField) {
            if (node.code == kLengthProperty && container.kind != Value::Kind::Record) {
                return Value::ofInteger(count(container));
            }
            if (node.code == kPosixPathProperty && container.kind == Value::Kind::Text) {
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
            if (cls == kParagraphClass) {
                pieces = paragraphs(container.text);
            } else if (cls == kWordClass) {
                pieces = words(container.text);
            } else if (cls == kCharacterClass || cls == kItemClass || cls == kTextClass) {
                pieces = characters(container.text);
            } else {
                raise(errAENoSuchObject, "Can’t get " + what() + ".");
            }
            for (std::string& piece : pieces) {
                parts.push_back(Value::ofText(std::move(piece)));
            }
        } else if (container.kind == Value::Kind::List && node.code == kItemClass) {
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
                if (text && node.code == kTextClass) {
                    // text a thru b is one text, the others a list.
                    return Value::ofText(asText(Value::ofList(std::move(slice))));
                }
                return Value::ofList(std::move(slice));
            }
        }
    }

    static std::string posixPath(const std::string& text) {
        if (text.rfind("file://", 0) == 0) {
            if (const auto url = URL::URLWithString(text)) {
                return url->path();
            }
        }
        return text;
    }

    // Sends a get-data event for a reference and answers the reply's value.
    Value getData(const Value& reference) {
        if (reference.kind != Value::Kind::Reference) {
            return reference;
        }
        AppleEventDescriptor event = AppleEventDescriptor::appleEventWithEventClass(
            kAECoreSuite, kAEGetData,
            AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
                reference.bundleIdentifier),
            kAutoGenerateReturnID, kAnyTransactionID);
        event.setParamDescriptor(*reference.specifier, keyDirectObject);
        AppleEventDescriptor reply;
        const OSStatus status =
            platform::appleEventManager().AESendMessage(event, &reply, kAEWaitReply, timeoutTicks_);
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

    static std::string failureMessage(OSStatus status, const Value& reference) {
        const std::string& name = reference.applicationName;
        switch (status) {
            case errAENoSuchObject:
                return name + " got an error: Can’t get " +
                       describeSpecifier(*reference.specifier) + ".";
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

    const Program& program_;
    const Options& options_;
    std::chrono::steady_clock::time_point started_;
    std::int64_t steps_ = 0;
    int depth_ = 0;
    std::vector<Frame> frames_;
    std::vector<Value> targets_;
    std::optional<Value> returned_;
    long timeoutTicks_ = kDefaultTimeoutTicks;
};

// --- The script object -----------------------------------------------------------------

void fillError(ScriptErrorInfo* info, OSStatus number, const std::string& message,
               const std::string& applicationName,
               std::optional<std::pair<std::size_t, std::size_t>> range) {
    if (info == nullptr) {
        return;
    }
    (*info)[NSAppleScriptErrorNumber] = PropertyList(std::int64_t{number});
    (*info)[NSAppleScriptErrorMessage] = PropertyList(message);
    (*info)[NSAppleScriptErrorBriefMessage] = PropertyList(message);
    if (!applicationName.empty()) {
        (*info)[NSAppleScriptErrorAppName] = PropertyList(applicationName);
    }
    if (range) {
        (*info)[NSAppleScriptErrorRange] =
            PropertyList("NSRange: {" + std::to_string(range->first) + ", " +
                         std::to_string(range->second) + "}");
    }
}

class Script final : public AppleScript {
  public:
    Script(std::string source, Options options)
        : source_(std::move(source)), options_(std::move(options)) {}

    const std::string& source() const override { return source_; }

    std::optional<AppleEventDescriptor> executeAndReturnError(ScriptErrorInfo* errorInfo) override {
        return run(errorInfo, [](Interpreter& interpreter, bool* hasResult) {
            return interpreter.run(hasResult);
        });
    }

    std::optional<AppleEventDescriptor> executeAppleEvent(const AppleEventDescriptor& event,
                                                          ScriptErrorInfo* errorInfo) override {
        if (event.eventClass() != kASAppleScriptSuite || event.eventID() != kASSubroutineEvent) {
            fillError(errorInfo, errAEEventNotHandled,
                      "The script doesn’t understand the “" +
                          fourCharCodeString(event.eventClass()) + "/" +
                          fourCharCodeString(event.eventID()) + "” event.",
                      {}, std::nullopt);
            return std::nullopt;
        }
        const auto name = event.paramDescriptorForKeyword(keyASSubroutineName);
        const std::string handler = lowercased(name ? name->stringValue().value_or("") : "");
        std::vector<AppleEventDescriptor> arguments;
        if (const auto direct = event.paramDescriptorForKeyword(keyDirectObject)) {
            if (direct->isList()) {
                arguments = direct->items();
            } else {
                arguments.push_back(*direct);
            }
        }
        return run(errorInfo, [&](Interpreter& interpreter, bool* hasResult) {
            std::vector<Value> values;
            for (const AppleEventDescriptor& argument : arguments) {
                values.push_back(fromDescriptor(argument, Value::missing()));
            }
            return interpreter.call(handler, std::move(values), hasResult, nullptr);
        });
    }

  private:
    template <typename Body>
    std::optional<AppleEventDescriptor> run(ScriptErrorInfo* errorInfo, Body body) {
        if (!compile(errorInfo)) {
            return std::nullopt;
        }
        try {
            Interpreter interpreter(*program_, options_);
            bool hasResult = false;
            const Value result = body(interpreter, &hasResult);
            return hasResult ? toDescriptor(result) : AppleEventDescriptor::nullDescriptor();
        } catch (const Failure& failure) {
            fillError(errorInfo, failure.number, failure.message, failure.applicationName,
                      failure.hasRange ? std::optional(range(failure.offset, failure.length))
                                       : std::nullopt);
            return std::nullopt;
        }
    }

    // A range of source bytes in UTF-16 units, as the platform counts ranges of text.
    std::pair<std::size_t, std::size_t> range(std::size_t offset, std::size_t length) const {
        const auto units = [this](std::size_t end) {
            std::size_t count = 0;
            end = std::min(end, source_.size());
            for (std::size_t i = 0; i < end; ++i) {
                const auto byte = static_cast<unsigned char>(source_[i]);
                if ((byte & 0xC0) != 0x80) {
                    count += byte >= 0xF0 ? 2 : 1;
                }
            }
            return count;
        };
        const std::size_t start = units(offset);
        return {start, std::max<std::size_t>(units(offset + length) - start, 1)};
    }

    // Compiles on first use; a syntax error is kept and answered by every later run.
    bool compile(ScriptErrorInfo* errorInfo) {
        if (!program_ && !syntaxError_) {
            auto parsed = parse(source_);
            if (auto* program = std::get_if<Program>(&parsed)) {
                program_ = std::move(*program);
            } else {
                syntaxError_ = std::get<SyntaxError>(std::move(parsed));
            }
        }
        if (syntaxError_) {
            fillError(errorInfo, errOSASyntaxError, syntaxError_->message, {},
                      range(syntaxError_->offset, syntaxError_->length));
            return false;
        }
        return true;
    }

    std::string source_;
    Options options_;
    std::optional<Program> program_;
    std::optional<SyntaxError> syntaxError_;
};

}  // namespace

std::optional<std::string> bundleIdentifierForApplicationNamed(const std::string& name) {
    Workspace& workspace = platform::workspace();
    const auto named = [&](const std::optional<std::string>& candidate) {
        return candidate && equalIgnoringCase(*candidate, name);
    };
    if (const auto front = workspace.frontmostApplication();
        front && front->bundleIdentifier && named(front->localizedName)) {
        return front->bundleIdentifier;
    }
    if (auto* linuxWorkspace = dynamic_cast<LinuxWorkspace*>(&workspace)) {
        for (const RunningApplication& running : linuxWorkspace->runningApplications()) {
            if (running.bundleIdentifier && named(running.localizedName)) {
                return running.bundleIdentifier;
            }
        }
        for (const std::string& path : installedApplicationBundles()) {
            const auto bundle = platform::bundles().bundleWithURL(URL::fileURLWithPath(path));
            if (!bundle || !bundle->bundleIdentifier()) {
                continue;
            }
            bool matches = named(std::filesystem::path(path).stem().string());
            for (const char* key : {"CFBundleName", "CFBundleDisplayName"}) {
                const auto value = bundle->objectForInfoDictionaryKey(key);
                matches = matches || (value && value->stringValue() != nullptr &&
                                      named(*value->stringValue()));
            }
            if (matches) {
                return bundle->bundleIdentifier();
            }
        }
    }
    // An application may be named by its identifier too.
    if (!workspace.runningApplicationsWithBundleIdentifier(name).empty() ||
        workspace.absolutePathForAppBundleWithIdentifier(name)) {
        return name;
    }
    return std::nullopt;
}

std::unique_ptr<AppleScript> makeScript(std::string source, Options options) {
    return std::make_unique<Script>(std::move(source), std::move(options));
}

}  // namespace platform::linux_platform::applescript
