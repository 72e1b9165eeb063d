// The evaluator: a tree walker over a parsed program. It runs the top-level statements or one
// handler, counts every step against the run's budget, and resolves specifiers whose
// container is an application by sending get-data events (specifiers.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "applescript/script.h"
#include "syntax_tree.h"
#include "value.h"

namespace platform::applescript {

inline constexpr int kMaximumCallDepth = 64;
// Statements and expressions being evaluated at once, handler calls included; bounds the
// native stack however handlers and nesting combine.
inline constexpr int kMaximumEvaluationDepth = 600;
// The time an event waits for its reply outside `with timeout` (two minutes, in ticks).
inline constexpr long kDefaultTimeoutTicks = 120 * 60;

class Interpreter {
  public:
    Interpreter(const Program& program, const Options& options)
        : program_(program), options_(options), started_(std::chrono::steady_clock::now()) {}

    // Runs the top-level statements; *hasResult tells whether the run produced a value.
    Value run(bool* hasResult);
    // Runs a handler by its lower-case name; `site` is the calling node, for error ranges.
    Value call(const std::string& name, std::vector<Value> arguments, bool* hasResult,
               const Node* site);

  private:
    enum class Flow : std::uint8_t { Normal, Return, Exit };

    struct Frame {
        std::map<std::string, Value> variables;
        Value result;
        bool hasResult = false;
    };

    // Counts the evaluation depth for the duration of one statement or expression.
    class Depth {
      public:
        explicit Depth(Interpreter& interpreter);
        ~Depth() { --interpreter_.depth_; }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;

      private:
        Interpreter& interpreter_;
    };

    Frame& frame() { return frames_.back(); }
    // Counts a step; a run past its steps or its time ends with the budget's failure.
    void step();
    // The time left in the run's budget, in ticks (1/60 s); 0 once it is spent.
    long remainingTicks() const;
    [[noreturn]] static void budgetExhausted();
    // Gives a failure the range of a node unless it has one already.
    static void locate(Failure& failure, const Node& node);

    // Statements and expressions (evaluator.cpp).
    Flow execute(const Block& block);
    void setResult(Value value);
    Flow executeStatement(const Node& node);
    bool loopBody(const Node& node, Flow* out);
    Flow executeUnlocated(const Node& node);
    Value evaluate(const Node& node);
    Value evaluateBinary(const Node& node);
    void setDelimiters(const Value& value);

    // Applications and specifiers (specifiers.cpp).
    Value application(const Node& node);
    Value build(const Node& node, bool* built);
    Value local(const Node& node, const Value& container);
    Value getData(const Value& reference);

    const Program& program_;
    const Options& options_;
    std::chrono::steady_clock::time_point started_;
    std::int64_t steps_ = 0;
    int depth_ = 0;
    std::vector<Frame> frames_;
    std::vector<Value> targets_;
    std::optional<Value> returned_;
    long timeoutTicks_ = kDefaultTimeoutTicks;
    // AppleScript's text item delimiters: a global of the run, {""} until a script sets them.
    std::vector<std::string> delimiters_{""};
    std::string joiner_;  // the first delimiter, which joins lists made into text
};

}  // namespace platform::applescript
