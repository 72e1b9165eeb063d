// The syntax tree of a script: one Node type for statements and expressions. What a node's
// fields hold depends on its kind, as each kind below says; fields it does not name are unused.
// Every node carries the byte range of its source text (offset, length) for error ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/four_char_code.h"

namespace platform::applescript {

enum class NodeKind : std::uint8_t {
    // --- Expressions ---
    Text,         // text: the literal's characters
    Integer,      // integer: the value
    Real,         // real: the value
    Boolean,      // flag: the value
    Missing,      // `missing value`; nothing else
    Variable,     // text: the lower-case name
    List,         // children: the items
    Record,       // children: the field values; keys: their labels, parallel to children
    Binary,       // binary: the operator; children: [left, right]
    Not,          // children: [operand]
    Negate,       // children: [operand]
    Coerce,       // children: [value]; code: the type named after `as`
    Call,         // text: the lower-case handler name; children: the arguments
    Application,  // children: [name, or identifier when flag (`application id`)]
    Specifier,    // selector, code, text; children: the keys (see Selector); container
    Get,          // children: [expression], whose reference is got on its own
    Offset,       // children: [needle, text]: `offset of needle in text`
    Delimiters,   // `AppleScript's text item delimiters`; nothing else
    HomeFolder,   // `path to home folder`; nothing else
    // --- Statements ---
    Set,            // text: the lower-case variable name; children: [value]
    SetDelimiters,  // children: [value], the new text item delimiters
    Return,         // children: [] or [value]
    Error,          // children: [message or null, number or null]
    Try,            // body; flag: has `on error`; names: [message variable, number variable]
                    // ("" when not named); alternative: the `on error` block
    If,             // children: [condition]; body; alternative: the else block, where an
                    // `else if` is one nested If
    Tell,           // children: [target]; body
    Timeout,        // children: [seconds]; body
    RepeatForever,  // body
    RepeatTimes,    // children: [count]; body
    RepeatWhile,    // children: [condition]; body
    RepeatUntil,    // children: [condition]; body
    RepeatFromTo,   // names: [variable]; children: [from, to] or [from, to, by]; body
    RepeatIn,       // names: [variable]; children: [list or text]; body
    ExitRepeat,     // nothing
    Evaluate,       // children: [expression], whose value becomes the result
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

// What a specifier picks out of its container (its `of` operand, or null for the target of
// the enclosing tell). `text` holds the term's words for messages.
enum class Selector : std::uint8_t {
    Property,   // code: the property; no children
    UserField,  // text: the record field's name; no children
    Element,    // code: the class; children: [key], an index or a name
    First,      // code: the class (first / front element); no children
    Last,       // code: the class (last / back element); no children
    Every,      // code: the class (every element, the plural); no children
    Range,      // code: the class; children: [from, to] (text 2 thru -1)
    Count,      // the number of elements of the container; no children
};

struct Node;
using NodePointer = std::unique_ptr<Node>;
using Block = std::vector<NodePointer>;

struct Node {
    NodeKind kind = NodeKind::Missing;
    std::size_t offset = 0;
    std::size_t length = 0;
    std::string text;
    std::int64_t integer = 0;
    double real = 0;
    bool flag = false;
    BinaryOperator binary = BinaryOperator::Equal;
    Selector selector = Selector::Property;
    FourCharCode code = 0;
    // Record labels: a term's code, or 0 and the user field's name.
    std::vector<std::pair<FourCharCode, std::string>> keys;
    std::vector<std::string> names;
    std::vector<NodePointer> children;
    NodePointer container;
    Block body;
    Block alternative;
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

}  // namespace platform::applescript
