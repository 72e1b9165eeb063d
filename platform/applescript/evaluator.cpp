// Statements and expressions: the tree walker's control flow, operators and handler calls.
#include "evaluator.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "coercion.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "terms.h"

namespace platform::applescript {
namespace {

Value concatenate(const Value& leftValue, const Value& rightValue) {
    const Value& left = contents(leftValue);
    const Value& right = contents(rightValue);
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

Value arithmetic(BinaryOperator op, const Value& leftValue, const Value& rightValue) {
    const Value left = asNumber(leftValue);
    const Value right = asNumber(rightValue);
    const bool integers = left.kind == Value::Kind::Integer && right.kind == Value::Kind::Integer;
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

}  // namespace

Interpreter::Depth::Depth(Interpreter& interpreter) : interpreter_(interpreter) {
    if (++interpreter_.depth_ > kMaximumEvaluationDepth) {
        --interpreter_.depth_;
        Failure failure{kStackOverflow, "Stack overflow.", {}};
        failure.fatal = true;
        throw failure;
    }
}

void Interpreter::locate(Failure& failure, const Node& node) {
    if (!failure.hasRange) {
        failure.offset = node.offset;
        failure.length = node.length;
        failure.hasRange = true;
    }
}

Value Interpreter::run(bool* hasResult) {
    const JoinerScope joining(&joiner_);
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

Value Interpreter::call(const std::string& name, std::vector<Value> arguments, bool* hasResult,
                        const Node* site) {
    const auto found = program_.handlers.find(name);
    if (found == program_.handlers.end()) {
        raise(errAEEventNotHandled, "«script» doesn’t understand the “" + name + "” message.");
    }
    const Handler& handler = found->second;
    const JoinerScope joining(&joiner_);
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

void Interpreter::step() {
    ++steps_;
    if (steps_ > options_.maximumSteps || (steps_ % 256 == 0 && remainingTicks() <= 0)) {
        budgetExhausted();
    }
}

long Interpreter::remainingTicks() const {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
    const double ticks = std::ceil((options_.maximumSeconds - elapsed.count()) * 60.0);
    return static_cast<long>(std::clamp(ticks, 0.0, 3600.0 * 24 * 60));
}

void Interpreter::budgetExhausted() {
    Failure failure{errAETimeout, "The script ran too long and was stopped.", {}};
    failure.fatal = true;
    throw failure;
}

Interpreter::Flow Interpreter::execute(const Block& block) {
    for (const NodePointer& statement : block) {
        const Flow flow = executeStatement(*statement);
        if (flow != Flow::Normal) {
            return flow;
        }
    }
    return Flow::Normal;
}

void Interpreter::setResult(Value value) {
    frame().result = std::move(value);
    frame().hasResult = true;
}

Interpreter::Flow Interpreter::executeStatement(const Node& node) {
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
bool Interpreter::loopBody(const Node& node, Flow* out) {
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

Interpreter::Flow Interpreter::executeUnlocated(const Node& node) {
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
        case NodeKind::SetDelimiters: {
            Value value = evaluate(*node.children[0]);
            setDelimiters(value);
            setResult(std::move(value));
            return Flow::Normal;
        }
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
                node.children[0] ? asText(evaluate(*node.children[0]))
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
            timeoutTicks_ = static_cast<long>(std::clamp(seconds * 60.0, 1.0, 3600.0 * 24 * 60));
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
            // The loop variable is a reference to each item in turn, not the item itself.
            auto collection = std::make_shared<Value>(contents(evaluate(*node.children[0])));
            if (collection->kind == Value::Kind::Text) {
                std::vector<Value> items;
                for (std::string& c : characters(collection->text)) {
                    items.push_back(Value::ofText(std::move(c)));
                }
                *collection = Value::ofList(std::move(items));
            } else if (collection->kind != Value::Kind::List) {
                *collection = Value::ofList(asList(*collection));
            }
            const std::shared_ptr<const Value> shared = std::move(collection);
            Flow out = Flow::Normal;
            for (std::size_t i = 0; i < shared->items.size(); ++i) {
                frame().variables[node.names[0]] = Value::itemReference(
                    shared, static_cast<std::int64_t>(i) + 1, shared->items[i]);
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

Value Interpreter::evaluate(const Node& node) {
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
        case NodeKind::Offset: {
            // The 1-based character offset of the first match, ignoring case; 0 when absent.
            const std::string needle = lowercased(asText(evaluate(*node.children[0])));
            const std::string text = asText(evaluate(*node.children[1]));
            const std::size_t found = lowercased(text).find(needle);
            if (found == std::string::npos) {
                return Value::ofInteger(0);
            }
            return Value::ofInteger(
                static_cast<std::int64_t>(characterCount(text.substr(0, found))) + 1);
        }
        case NodeKind::Delimiters: {
            std::vector<Value> items;
            for (const std::string& delimiter : delimiters_) {
                items.push_back(Value::ofText(delimiter));
            }
            return Value::ofList(std::move(items));
        }
        case NodeKind::HomeFolder: {
            std::string home = platform::paths().NSHomeDirectory();
            if (home.empty() || home.back() != '/') {
                home += '/';
            }
            return Value::ofFile(std::move(home));
        }
        case NodeKind::Get: {
            Value value = contents(evaluate(*node.children[0]));
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

// Text or a list of texts; a list joins with its first item when made into text.
void Interpreter::setDelimiters(const Value& value) {
    std::vector<std::string> delimiters;
    for (const Value& item : asList(value)) {
        delimiters.push_back(asText(item));
    }
    delimiters_ = std::move(delimiters);
    joiner_ = delimiters_.empty() ? std::string() : delimiters_.front();
}

Value Interpreter::evaluateBinary(const Node& node) {
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
}  // namespace platform::applescript
