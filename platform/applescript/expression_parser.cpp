// The expression rules of the grammar written at the top of parser.cpp.
#include <charconv>
#include <limits>
#include <system_error>

#include "parser.h"

namespace platform::applescript {
namespace {

// Whether a number literal that no real holds is too large for one rather than too small: the
// place of its first significant digit, its exponent applied, decides.
bool isBeyondLargestReal(std::string_view literal) {
    const std::size_t e = std::min(literal.find_first_of("eE"), literal.size());
    const std::string_view digits = literal.substr(0, e);
    const std::size_t point = std::min(digits.find('.'), digits.size());
    // Not npos: a literal of zeros is zero, which every real format holds.
    const std::size_t first = digits.find_first_not_of("0.");
    // The literal lies in [10^(power-1), 10^power) before its exponent.
    const long long power = first < point ? static_cast<long long>(point - first)
                                          : -static_cast<long long>(first - point - 1);
    std::string_view exponent = literal.substr(std::min(e + 1, literal.size()));
    const bool negative = exponent.starts_with('-');
    if (negative || exponent.starts_with('+')) {
        exponent.remove_prefix(1);
    }
    long long value = 0;
    if (std::from_chars(exponent.data(), exponent.data() + exponent.size(), value).ec ==
        std::errc::result_out_of_range) {
        return !negative;  // an exponent of twenty digits outweighs any literal
    }
    return negative ? power > value : value > -power;
}

// A number literal (digits, a fraction, an exponent; no sign) as the nearest real; one beyond
// the reals is infinite and one below them zero, as arithmetic would make them.
double realOfLiteral(std::string_view literal) {
    double value = 0;
    if (std::from_chars(literal.data(), literal.data() + literal.size(), value).ec ==
        std::errc::result_out_of_range) {
        return isBeyondLargestReal(literal) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return value;
}

}  // namespace

NodePointer Parser::binary(BinaryOperator op, NodePointer left, NodePointer right) {
    auto result = std::make_unique<Node>();
    result->kind = NodeKind::Binary;
    result->binary = op;
    result->offset = left->offset;
    result->children.push_back(std::move(left));
    result->children.push_back(std::move(right));
    finish(*result);
    return result;
}

// expression = and { "or" and }
NodePointer Parser::parseExpression() {
    Nesting nesting(*this);
    NodePointer left = parseAnd();
    while (acceptWord("or")) {
        left = binary(BinaryOperator::Or, std::move(left), parseAnd());
    }
    return left;
}

// and = not { "and" not }
NodePointer Parser::parseAnd() {
    NodePointer left = parseNot();
    while (acceptWord("and")) {
        left = binary(BinaryOperator::And, std::move(left), parseNot());
    }
    return left;
}

// not = "not" not | comparison
NodePointer Parser::parseNot() {
    if (isWord("not")) {
        Nesting nesting(*this);
        const Token& start = advance();
        NodePointer result = node(NodeKind::Not, start);
        result->children.push_back(parseNot());
        finish(*result);
        return result;
    }
    return parseComparison();
}

// comparator = "=" | "≠" | "<>" | "<" | ">" | ... | "is" [ "not" ] [ "in" | "equal" "to" ] | ...
std::optional<BinaryOperator> Parser::comparisonOperator() {
    if (at(TokenKind::Symbol)) {
        const std::string& s = current().text;
        std::optional<BinaryOperator> op;
        if (s == "=") {
            op = BinaryOperator::Equal;
        } else if (s == "\xE2\x89\xA0" || s == "<>") {
            op = BinaryOperator::NotEqual;
        } else if (s == "<") {
            op = BinaryOperator::Less;
        } else if (s == ">") {
            op = BinaryOperator::Greater;
        } else if (s == "<=" || s == "\xE2\x89\xA4") {
            op = BinaryOperator::LessOrEqual;
        } else if (s == ">=" || s == "\xE2\x89\xA5") {
            op = BinaryOperator::GreaterOrEqual;
        }
        if (op) {
            advance();
        }
        return op;
    }
    if (acceptWord("equals")) {
        return BinaryOperator::Equal;
    }
    if (acceptWord("contains")) {
        return BinaryOperator::Contains;
    }
    if ((isWord("starts") || isWord("begins")) && isWord("with", 1)) {
        advance();
        advance();
        return BinaryOperator::StartsWith;
    }
    if (isWord("ends") && isWord("with", 1)) {
        advance();
        advance();
        return BinaryOperator::EndsWith;
    }
    if (isWord("does") && isWord("not", 1) && isWord("contain", 2)) {
        advance();
        advance();
        advance();
        return BinaryOperator::DoesNotContain;
    }
    if (!acceptWord("is")) {
        return std::nullopt;
    }
    const bool negated = acceptWord("not");
    if (acceptWord("in")) {
        return negated ? BinaryOperator::IsNotIn : BinaryOperator::IsIn;
    }
    if (acceptWord("equal")) {
        expectWord("to");
    }
    if (!negated && isWord("less") && isWord("than", 1)) {
        advance();
        advance();
        return BinaryOperator::Less;
    }
    if (!negated && isWord("greater") && isWord("than", 1)) {
        advance();
        advance();
        return BinaryOperator::Greater;
    }
    return negated ? BinaryOperator::NotEqual : BinaryOperator::Equal;
}

// comparison = coercion { comparator coercion }
NodePointer Parser::parseComparison() {
    NodePointer left = parseCoercion();
    while (auto op = comparisonOperator()) {
        left = binary(*op, std::move(left), parseCoercion());
    }
    return left;
}

// coercion = concatenation { "as" typename }
NodePointer Parser::parseCoercion() {
    NodePointer left = parseConcatenation();
    while (isWord("as")) {
        advance();
        auto result = std::make_unique<Node>();
        result->kind = NodeKind::Coerce;
        result->offset = left->offset;
        static const std::pair<const char*, FourCharCode> types[] = {
            {"text", typeUnicodeText},
            {"string", typeUnicodeText},
            {"integer", typeSInt32},
            {"real", typeIEEE64BitFloatingPoint},
            {"number", fourCharCode("nmbr")},
            {"boolean", typeBoolean},
            {"list", typeAEList},
            {"record", typeAERecord}};
        for (const auto& [name, code] : types) {
            if (isWord(name)) {
                result->code = code;
            }
        }
        if (result->code == 0) {
            unexpected("a class name");
        }
        advance();
        result->children.push_back(std::move(left));
        finish(*result);
        left = std::move(result);
    }
    return left;
}

// concatenation = additive { "&" additive }
NodePointer Parser::parseConcatenation() {
    NodePointer left = parseAdditive();
    while (acceptSymbol("&")) {
        left = binary(BinaryOperator::Concatenate, std::move(left), parseAdditive());
    }
    return left;
}

// additive = multiplicative { ( "+" | "-" ) multiplicative }
NodePointer Parser::parseAdditive() {
    NodePointer left = parseMultiplicative();
    while (true) {
        if (acceptSymbol("+")) {
            left = binary(BinaryOperator::Add, std::move(left), parseMultiplicative());
        } else if (acceptSymbol("-")) {
            left = binary(BinaryOperator::Subtract, std::move(left), parseMultiplicative());
        } else {
            return left;
        }
    }
}

// multiplicative = unary { ( "*" | "/" | "div" | "mod" ) unary }
NodePointer Parser::parseMultiplicative() {
    NodePointer left = parseUnary();
    while (true) {
        if (acceptSymbol("*")) {
            left = binary(BinaryOperator::Multiply, std::move(left), parseUnary());
        } else if (acceptSymbol("/")) {
            left = binary(BinaryOperator::Divide, std::move(left), parseUnary());
        } else if (acceptWord("div")) {
            left = binary(BinaryOperator::IntegerDivide, std::move(left), parseUnary());
        } else if (acceptWord("mod")) {
            left = binary(BinaryOperator::Modulo, std::move(left), parseUnary());
        } else {
            return left;
        }
    }
}

// unary = ( "-" | "+" ) unary | primary
NodePointer Parser::parseUnary() {
    Nesting nesting(*this);
    if (isSymbol("-") || isSymbol("+")) {
        const Token& start = advance();
        const bool negate = start.text == "-";
        NodePointer operand = parseUnary();
        if (!negate) {
            return operand;
        }
        NodePointer result = node(NodeKind::Negate, start);
        result->children.push_back(std::move(operand));
        finish(*result);
        return result;
    }
    return parsePrimary();
}

// The `of` (or `in`) operand of a specifier, if there is one.
// container = [ ( "of" | "in" ) primary ]
void Parser::parseContainer(Node& specifier) {
    if (isWord("of") || isWord("in")) {
        advance();
        specifier.container = parsePrimary();
    }
    finish(specifier);
}

// primary = NUMBER | STRING | "(" expression ")" | list | "application" ... | term | named
NodePointer Parser::parsePrimary() {
    Nesting nesting(*this);
    const Token& start = current();
    switch (start.kind) {
        case TokenKind::Number:
            return parseNumber();
        case TokenKind::String: {
            advance();
            NodePointer result = node(NodeKind::Text, start);
            result->text = start.text;
            finish(*result);
            return result;
        }
        case TokenKind::Barred:
            return parseNamed();
        case TokenKind::Symbol:
            if (acceptSymbol("(")) {
                NodePointer inner = parseExpression();
                expectSymbol(")");
                if (inner->kind != NodeKind::Specifier) {
                    return inner;
                }
                // A parenthesised specifier is got on its own, before anything is taken
                // from its value: POSIX path of (full name of active workbook).
                NodePointer get = node(NodeKind::Get, start);
                get->children.push_back(std::move(inner));
                finish(*get);
                return get;
            }
            if (isSymbol("{")) {
                return parseListOrRecord();
            }
            unexpected("an expression");
        case TokenKind::Newline:
        case TokenKind::End:
            unexpected("an expression");
        case TokenKind::Word:
            break;
    }
    const std::string& word = start.text;
    if (word == "true" || word == "false") {
        advance();
        NodePointer result = node(NodeKind::Boolean, start);
        result->flag = word == "true";
        finish(*result);
        return result;
    }
    if (word == "missing" && isWord("value", 1)) {
        advance();
        advance();
        NodePointer result = node(NodeKind::Missing, start);
        finish(*result);
        return result;
    }
    if (word == "linefeed" || word == "tab" || word == "space" || word == "quote") {
        advance();
        NodePointer result = node(NodeKind::Text, start);
        result->text = word == "linefeed" ? "\n"
                       : word == "tab"    ? "\t"
                       : word == "space"  ? " "
                                          : "\"";
        finish(*result);
        return result;
    }
    if (word == "application") {
        advance();
        NodePointer result = node(NodeKind::Application, start);
        result->flag = acceptWord("id");
        result->children.push_back(parsePrimary());
        finish(*result);
        return result;
    }
    if (word == "get") {
        advance();
        NodePointer result = node(NodeKind::Get, start);
        result->children.push_back(parseExpression());
        finish(*result);
        return result;
    }
    if (word == "offset" && isWord("of", 1)) {
        // offset of needle in theText
        advance();
        advance();
        NodePointer result = node(NodeKind::Offset, start);
        result->children.push_back(parseUnary());
        expectWord("in");
        result->children.push_back(parseUnary());
        finish(*result);
        return result;
    }
    if (word == "applescript's") {
        advance();
        expectDelimiters();
        NodePointer result = node(NodeKind::Delimiters, start);
        finish(*result);
        return result;
    }
    if (word == "path" && isWord("to", 1)) {
        advance();
        advance();
        expectWord("home");
        expectWord("folder");
        NodePointer result = node(NodeKind::HomeFolder, start);
        finish(*result);
        return result;
    }
    if (word == "my" && peek().kind == TokenKind::Word) {
        advance();
        return parseNamed();
    }
    if (word == "count" || (word == "number" && isWord("of", 1))) {
        advance();
        NodePointer result = node(NodeKind::Specifier, start);
        result->selector = Selector::Count;
        acceptWord("of");
        result->container = parsePrimary();
        finish(*result);
        return result;
    }
    if (word == "first" || word == "front" || word == "last" || word == "back" || word == "every") {
        advance();
        const TermMatch match = matchTerm();
        if (match.term == nullptr || !match.term->isClass) {
            unexpected("a class name");
        }
        index_ += match.words;
        NodePointer result = node(NodeKind::Specifier, start);
        result->selector = (word == "first" || word == "front") ? Selector::First
                           : (word == "last" || word == "back") ? Selector::Last
                                                                : Selector::Every;
        result->code = match.term->code;
        result->text = match.term->words;
        parseContainer(*result);
        return result;
    }
    if (const TermMatch match = matchTerm(); match.term != nullptr) {
        return parseTerm(match);
    }
    if (isReserved(word)) {
        unexpected("an expression");
    }
    return parseNamed();
}

// term = property container | plural [ unary "thru" unary ] container | class unary ... container
NodePointer Parser::parseTerm(const TermMatch& match) {
    const Token& start = current();
    index_ += match.words;
    NodePointer result = node(NodeKind::Specifier, start);
    result->code = match.term->code;
    result->text = match.term->words;
    if (!match.term->isClass) {
        result->selector = Selector::Property;
    } else if (match.plural && !(at(TokenKind::Number) || isSymbol("-") || isSymbol("(") ||
                                 ((at(TokenKind::Word) || at(TokenKind::Barred)) &&
                                  (isWord("thru", 1) || isWord("through", 1))))) {
        result->selector = Selector::Every;
    } else if (match.plural) {
        // characters 1 thru 2, items 2 thru -1, characters i thru j
        result->selector = Selector::Range;
        result->children.push_back(parseKey());
        if (!acceptWord("thru") && !acceptWord("through")) {
            unexpected("“thru”");
        }
        result->children.push_back(parseKey());
    } else {
        // A class names one element by a key: document 1, disk item thePath, text 2 thru -1.
        if (at(TokenKind::Newline) || at(TokenKind::End) || isWord("of") || isWord("in")) {
            unexpected("a key after “" + result->text + "”");
        }
        result->selector = Selector::Element;
        result->children.push_back(parseKey());
        if (acceptWord("thru") || acceptWord("through")) {
            result->selector = Selector::Range;
            result->children.push_back(parseKey());
        }
    }
    parseContainer(*result);
    return result;
}

// The key of an element: a variable named before `of` is the key itself, so `character i of
// theText` takes character i of theText, not a character of the field i of theText.
// key = name | unary
NodePointer Parser::parseKey() {
    const bool bareName =
        at(TokenKind::Barred) ||
        (at(TokenKind::Word) && !isReserved(current().text) && matchTerm().term == nullptr);
    if (bareName && (isWord("of", 1) || isWord("in", 1))) {
        const Token& start = current();
        NodePointer result = node(NodeKind::Variable, start);
        result->text = lowercased(identifier("a key"));
        finish(*result);
        return result;
    }
    return parseUnary();
}

// text item delimiters, after AppleScript's
void Parser::expectDelimiters() {
    expectWord("text");
    expectWord("item");
    expectWord("delimiters");
}

// A variable, a handler call, or a record field read with `of`.
// named = name "(" [ expression { "," expression } ] ")" | name "of" primary | name
NodePointer Parser::parseNamed() {
    const Token& start = current();
    std::string name = identifier("an expression");
    if (acceptSymbol("(")) {
        NodePointer result = node(NodeKind::Call, start);
        result->text = lowercased(name);
        if (!acceptSymbol(")")) {
            do {
                result->children.push_back(parseExpression());
            } while (acceptSymbol(","));
            expectSymbol(")");
        }
        finish(*result);
        return result;
    }
    if (isWord("of")) {
        NodePointer result = node(NodeKind::Specifier, start);
        result->selector = Selector::UserField;
        result->text = name;
        parseContainer(*result);
        return result;
    }
    NodePointer result = node(NodeKind::Variable, start);
    result->text = lowercased(name);
    finish(*result);
    return result;
}

// NUMBER: an integer of 32 bits, else a real
NodePointer Parser::parseNumber() {
    const Token& token = advance();
    const bool real = token.text.find_first_of(".eE") != std::string::npos;
    if (!real) {
        std::int64_t value = 0;
        const auto [end, error] =
            std::from_chars(token.text.data(), token.text.data() + token.text.size(), value);
        if (error == std::errc() && end == token.text.data() + token.text.size() &&
            value <= INT32_MAX) {
            NodePointer result = node(NodeKind::Integer, token);
            result->integer = value;
            finish(*result);
            return result;
        }
    }
    NodePointer result = node(NodeKind::Real, token);
    result->real = realOfLiteral(token.text);
    finish(*result);
    return result;
}

// list = "{" [ expression { "," expression } | field { "," field } ] "}"
NodePointer Parser::parseListOrRecord() {
    Nesting nesting(*this);
    const Token& start = advance();  // {
    NodePointer result = node(NodeKind::List, start);
    if (acceptSymbol("}")) {
        finish(*result);
        return result;
    }
    // A record starts with a label and a colon.
    const bool record = (at(TokenKind::Word) || at(TokenKind::Barred)) && [this] {
        const TermMatch match = matchTerm();
        const std::size_t words = match.term ? match.words : 1;
        const Token& after = peek(words);
        return after.kind == TokenKind::Symbol && after.text == ":";
    }();
    if (record) {
        result->kind = NodeKind::Record;
    }
    do {
        if (record) {
            std::pair<FourCharCode, std::string> key;
            const TermMatch match = at(TokenKind::Word) ? matchTerm() : TermMatch{};
            if (match.term != nullptr && !match.term->isClass) {
                key = {match.term->code, match.term->words};
                index_ += match.words;
            } else {
                key = {0, identifier("a label")};
            }
            for (const auto& existing : result->keys) {
                if (existing == key) {
                    failSyntax("A record can’t have the same label twice.", current().offset, 1);
                }
            }
            expectSymbol(":");
            result->keys.push_back(std::move(key));
        }
        result->children.push_back(parseExpression());
    } while (acceptSymbol(","));
    expectSymbol("}");
    finish(*result);
    return result;
}
}  // namespace platform::applescript
