// The script language's syntax tree and its parser: the statements and expressions that
// connectors, callback handlers and the generic script are written in. Anything else is a
// syntax error with the range of the offending text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/four_char_code.h"

namespace platform::linux_platform::applescript {

// How deeply blocks and expressions may nest before the parser gives up.
inline constexpr int kMaximumNestingDepth = 64;

enum class NodeKind : std::uint8_t {
    // Expressions.
    Text,
    Integer,
    Real,
    Boolean,
    Missing,
    Variable,
    List,
    Record,
    Binary,
    Not,
    Negate,
    Coerce,
    Call,
    Application,
    Specifier,
    Get,
    // Statements.
    Set,
    Return,
    Error,
    Try,
    If,
    Tell,
    Timeout,
    RepeatForever,
    RepeatTimes,
    RepeatWhile,
    RepeatUntil,
    RepeatFromTo,
    RepeatIn,
    ExitRepeat,
    Evaluate,
};

enum class BinaryOperator : std::uint8_t {
    Or,
    And,
    Equal,
    NotEqual,
    Less,
    LessOrEqual,
    Greater,
    GreaterOrEqual,
    Contains,
    DoesNotContain,
    IsIn,
    IsNotIn,
    StartsWith,
    EndsWith,
    Concatenate,
    Add,
    Subtract,
    Multiply,
    Divide,
    IntegerDivide,
    Modulo,
};

// What a specifier picks out of its container.
enum class Selector : std::uint8_t {
    Property,   // a property term: code, text = the term
    UserField,  // a record field by name (text)
    Element,    // class code + one key (an index or a name)
    First,      // first / front element of a class
    Last,       // last / back element of a class
    Every,      // every element of a class (the plural)
    Range,      // class code + two keys (text 2 thru -1)
    Count,      // the number of elements
};

struct Node;
using NodePointer = std::unique_ptr<Node>;
using Block = std::vector<NodePointer>;

struct Node {
    NodeKind kind = NodeKind::Missing;
    std::size_t offset = 0;
    std::size_t length = 0;
    std::string text;  // literal text, variable/handler/term name
    std::int64_t integer = 0;
    double real = 0;
    bool flag = false;  // boolean literals; `application id`
    BinaryOperator binary = BinaryOperator::Equal;
    Selector selector = Selector::Property;
    FourCharCode code = 0;  // property, class or coercion type
    // Record literal keys, parallel to children: a term's code, or 0 and the user field name.
    std::vector<std::pair<FourCharCode, std::string>> keys;
    std::vector<std::string> names;  // loop variable; the error message and number variables
    std::vector<NodePointer> children;
    NodePointer container;  // specifiers: the `of` operand; null for the implicit target
    Block body;
    Block alternative;  // else branch; the error branch of try
};

struct Handler {
    std::string name;  // lower case
    std::vector<std::string> parameters;
    Block body;
    std::size_t offset = 0;
};

struct Program {
    Block run;                                // the top-level statements
    std::map<std::string, Handler> handlers;  // by lower-case name
};

struct SyntaxError {
    std::string message;
    std::size_t offset = 0;
    std::size_t length = 0;
};

std::variant<Program, SyntaxError> parse(std::string_view source);

// The term table shared by the parser and the runtime's messages.
struct Term {
    const char* words;   // lower case, single spaces
    const char* plural;  // classes only; null when the class has no plural form
    FourCharCode code;
    bool isClass;
};
const std::vector<Term>& terms();
// The words of a property or class code, for messages; the code's characters when unknown.
std::string termName(FourCharCode code);

std::string lowercased(std::string_view text);

}  // namespace platform::linux_platform::applescript
