// The script object: source compiled on its first run, then run as a whole or one handler at a
// time; failures come back as the error dictionary of the scripting contract.
#include <algorithm>
#include <new>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "applescript/script.h"
#include "descriptor_bridge.h"
#include "evaluator.h"
#include "parser.h"
#include "platform/utf.h"

namespace platform::applescript {
namespace {

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
        } catch (const std::bad_alloc&) {
            // The bounds on texts and lists keep this rare; a run that still exhausts memory
            // ends, the process goes on.
            fillError(errorInfo, kOutOfMemory, "Out of memory.", {}, std::nullopt);
            return std::nullopt;
        }
    }

    // A range of source bytes in UTF-16 units, as the platform counts ranges of text.
    std::pair<std::size_t, std::size_t> range(std::size_t offset, std::size_t length) const {
        const auto units = [this](std::size_t end) {
            return utf::utf16Length(std::string_view(source_).substr(0, end));
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

std::unique_ptr<AppleScript> makeScript(std::string source, Options options) {
    return std::make_unique<Script>(std::move(source), std::move(options));
}

}  // namespace platform::applescript
