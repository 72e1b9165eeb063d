// The grammar, in EBNF: { } repeats, [ ] is optional, | separates choices, quoted words are
// matched without regard to case. NL is an end of line, END the end of the script; a statement
// ends at either. WORD is a word that is not reserved, or any text between bars (|name|).
//
//   script         = { ( handler | statement ) ( NL | END ) } END
//   handler        = ( "on" | "to" ) name [ "(" [ name { "," name } ] ")" ] block "end" [ name ]
//   block          = NL { statement NL }      -- up to the word that ends it
//   statement      = "set" name "to" expression
//                  | "set" "AppleScript's" delimiters "to" expression
//                  | "return" [ expression ]
//                  | "error" [ expression ] [ "number" expression ]
//                  | "try" block [ "on" "error" [ name ] [ "number" name ] block ] "end" [ "try" ]
//                  | if
//                  | "tell" expression ( "to" statement | block "end" [ "tell" ] )
//                  | "with" "timeout" [ "of" ] expression ( "seconds" | "second" ) block
//                    "end" [ "timeout" ]
//                  | repeat
//                  | "exit" [ "repeat" ]      -- inside a repeat only
//                  | [ "get" ] expression
//   if             = "if" expression [ "then" ] ( statement | block elsetail )
//   elsetail       = "else" "if" expression [ "then" ] block elsetail
//                  | [ "else" block ] "end" [ "if" ]
//   repeat         = "repeat" [ expression "times" | "while" expression | "until" expression
//                             | "with" name "in" expression
//                             | "with" name "from" expression "to" expression
//                               [ "by" expression ] ]
//                    block "end" [ "repeat" ]
//
//   expression     = and { "or" and }
//   and            = not { "and" not }
//   not            = "not" not | comparison
//   comparison     = coercion { comparator coercion }
//   comparator     = "=" | "≠" | "<>" | "<" | ">" | "<=" | "≤" | ">=" | "≥" | "equals"
//                  | "contains" | "does" "not" "contain" | ( "starts" | "begins" ) "with"
//                  | "ends" "with" | "is" [ "not" ] [ "in" | "equal" "to" ]
//                  | "is" ( "less" | "greater" ) "than"
//   coercion       = concatenation { "as" typename }
//   typename       = "text" | "string" | "integer" | "real" | "number" | "boolean" | "list"
//                  | "record"
//   concatenation  = additive { "&" additive }
//   additive       = multiplicative { ( "+" | "-" ) multiplicative }
//   multiplicative = unary { ( "*" | "/" | "div" | "mod" ) unary }
//   unary          = ( "-" | "+" ) unary | primary
//   primary        = NUMBER | STRING | "(" expression ")" | list | "true" | "false"
//                  | "missing" "value" | "linefeed" | "tab" | "space" | "quote"
//                  | "application" [ "id" ] primary
//                  | "get" expression
//                  | "offset" "of" unary "in" unary
//                  | "AppleScript's" delimiters
//                  | "path" "to" "home" "folder"
//                  | "my" named
//                  | ( "count" [ "of" ] | "number" "of" ) primary
//                  | ( "first" | "front" | "last" | "back" | "every" ) class container
//                  | term
//                  | named
//   term           = property container
//                  | plural [ key ( "thru" | "through" ) key ] container
//                  | class key [ ( "thru" | "through" ) key ] container
//   key            = name | unary      -- a name before "of" is the key, not a field's name
//   delimiters     = "text" "item" "delimiters"
//   container      = [ ( "of" | "in" ) primary ]
//   named          = name "(" [ expression { "," expression } ] ")"
//                  | name "of" primary
//                  | name
//   list           = "{" [ expression { "," expression } | field { "," field } ] "}"
//   field          = ( property | name ) ":" expression
//   name           = WORD
//
// property, class and plural are the terms of terms.cpp, matched by their longest spelling
// (“active tab” before “active”). The expression rules are in expression_parser.cpp.
#include "parser.h"

#include <algorithm>

namespace platform::applescript {

bool isReserved(const std::string& word) {
    static const char* const reserved[] = {
        "and",     "as",     "contains",    "div",      "does",   "else",    "end",      "error",
        "every",   "exit",   "false",       "first",    "front",  "get",     "if",       "in",
        "is",      "last",   "mod",         "not",      "of",     "on",      "or",       "repeat",
        "return",  "set",    "tell",        "then",     "thru",   "through", "to",       "true",
        "try",     "with",   "while",       "until",    "equals", "starts",  "ends",     "begins",
        "timeout", "back",   "my",          "count",    "whose",  "where",   "property", "global",
        "local",   "script", "considering", "ignoring", "using",  "from",    "by",       "times",
        "copy",    "put",    "into",        "given",    "missing"};
    return std::find(std::begin(reserved), std::end(reserved), word) != std::end(reserved);
}

std::variant<Program, SyntaxError> parse(std::string_view source) {
    try {
        Parser parser(tokenize(source));
        return parser.program();
    } catch (const SyntaxFailure& failure) {
        return failure.error;
    }
}

Parser::Nesting::Nesting(Parser& parser) : parser_(parser) {
    if (++parser_.depth_ > kMaximumNestingDepth) {
        const Token& token = parser_.current();
        failSyntax("The script is nested too deeply.", token.offset, token.length);
    }
}

// script = { ( handler | statement ) ( NL | END ) } END
Program Parser::program() {
    Program program;
    skipNewlines();
    while (!at(TokenKind::End)) {
        if (isWord("on") || isWord("to")) {
            Handler handler = parseHandler();
            const std::string name = handler.name;
            if (program.handlers.count(name) != 0) {
                failSyntax("The handler “" + name + "” is specified more than once.",
                           handler.offset, name.size());
            }
            program.handlers.emplace(name, std::move(handler));
        } else {
            program.run.push_back(parseStatement());
        }
        endOfStatement();
    }
    return program;
}

const Token& Parser::advance() {
    const Token& token = tokens_[index_];
    if (index_ + 1 < tokens_.size()) {
        ++index_;
    }
    return token;
}

bool Parser::acceptWord(std::string_view word) {
    if (isWord(word)) {
        advance();
        return true;
    }
    return false;
}

bool Parser::acceptSymbol(std::string_view symbol) {
    if (isSymbol(symbol)) {
        advance();
        return true;
    }
    return false;
}

void Parser::unexpected(const std::string& expected) const {
    failSyntax("Expected " + expected + " but found " + describe(current()) + ".", current().offset,
               current().length);
}

void Parser::expectWord(std::string_view word) {
    if (!acceptWord(word)) {
        unexpected("“" + std::string(word) + "”");
    }
}

void Parser::expectSymbol(std::string_view symbol) {
    if (!acceptSymbol(symbol)) {
        unexpected("“" + std::string(symbol) + "”");
    }
}

void Parser::skipNewlines() {
    while (at(TokenKind::Newline)) {
        advance();
    }
}

void Parser::endOfStatement() {
    if (at(TokenKind::End)) {
        return;
    }
    if (!at(TokenKind::Newline)) {
        unexpected("end of line");
    }
    skipNewlines();
}

NodePointer Parser::node(NodeKind kind, const Token& start) {
    auto result = std::make_unique<Node>();
    result->kind = kind;
    result->offset = start.offset;
    return result;
}

void Parser::finish(Node& n) {
    const Token& last = tokens_[index_ == 0 ? 0 : index_ - 1];
    n.length = last.offset + last.length > n.offset ? last.offset + last.length - n.offset : 1;
}

std::string Parser::identifier(const std::string& what) {
    if (at(TokenKind::Barred)) {
        return advance().text;
    }
    if (at(TokenKind::Word) && !isReserved(current().text)) {
        return advance().text;
    }
    unexpected(what);
}

Parser::TermMatch Parser::matchTerm() const {
    TermMatch best;
    for (const Term& term : terms()) {
        for (const char* form : {term.words, term.plural}) {
            if (form == nullptr) {
                continue;
            }
            std::size_t count = 0;
            std::string_view rest = form;
            bool matches = true;
            while (!rest.empty()) {
                const std::size_t space = rest.find(' ');
                const std::string_view word = rest.substr(0, space);
                if (!isWord(word, count)) {
                    matches = false;
                    break;
                }
                ++count;
                rest =
                    space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
            }
            if (matches && count > best.words) {
                best = {&term, count, form == term.plural};
            }
        }
    }
    return best;
}

// handler = ( "on" | "to" ) name [ "(" [ name { "," name } ] ")" ] block "end" [ name ]
Handler Parser::parseHandler() {
    Nesting nesting(*this);
    advance();  // on / to
    Handler handler;
    handler.offset = current().offset;
    if (isWord("error")) {
        unexpected("a handler name");
    }
    handler.name = lowercased(identifier("a handler name"));
    if (acceptSymbol("(")) {
        if (!acceptSymbol(")")) {
            do {
                handler.parameters.push_back(lowercased(identifier("a parameter name")));
            } while (acceptSymbol(","));
            expectSymbol(")");
        }
    }
    handler.body = parseBlock({"end"});
    expectWord("end");
    if (at(TokenKind::Word) || at(TokenKind::Barred)) {
        const Token& name = advance();
        if (lowercased(name.text) != handler.name) {
            failSyntax(
                "Expected “end” or “end " + handler.name + "” but found “end " + name.text + "”.",
                name.offset, name.length);
        }
    }
    return handler;
}

// Statements up to (not including) one of the terminating words at a line start.
// block = NL { statement NL }
Block Parser::parseBlock(std::initializer_list<std::string_view> terminators) {
    Nesting nesting(*this);
    endOfStatement();
    Block block;
    while (true) {
        if (at(TokenKind::End)) {
            unexpected("“end”");
        }
        for (std::string_view word : terminators) {
            if (word == "on error" ? (isWord("on") && isWord("error", 1)) : isWord(word)) {
                return block;
            }
        }
        if (isWord("on")) {
            failSyntax("A handler can’t go inside another statement.", current().offset,
                       current().length);
        }
        block.push_back(parseStatement());
        endOfStatement();
    }
}

// end = "end" [ keyword ]
void Parser::parseEnd(std::string_view keyword) {
    expectWord("end");
    if (at(TokenKind::Word) && !isWord(keyword)) {
        failSyntax("Expected “end” or “end " + std::string(keyword) + "” but found “end " +
                       current().text + "”.",
                   current().offset, current().length);
    }
    acceptWord(keyword);
}

// statement = "set" ... | "return" ... | "error" ... | "try" ... | if | "tell" ... | ...
NodePointer Parser::parseStatement() {
    Nesting nesting(*this);
    const Token& start = current();
    NodePointer result;
    if (isWord("set") && isWord("applescript's", 1)) {
        advance();
        advance();
        result = node(NodeKind::SetDelimiters, start);
        expectDelimiters();
        expectWord("to");
        result->children.push_back(parseExpression());
    } else if (isWord("set")) {
        advance();
        result = node(NodeKind::Set, start);
        result->text = lowercased(identifier("a variable name"));
        expectWord("to");
        result->children.push_back(parseExpression());
    } else if (isWord("return")) {
        advance();
        result = node(NodeKind::Return, start);
        if (!at(TokenKind::Newline) && !at(TokenKind::End) && !isWord("else") && !isWord("end")) {
            result->children.push_back(parseExpression());
        }
    } else if (isWord("error")) {
        advance();
        result = node(NodeKind::Error, start);
        result->children.resize(2);
        if (!at(TokenKind::Newline) && !at(TokenKind::End) && !isWord("number")) {
            result->children[0] = parseExpression();
        }
        if (acceptWord("number")) {
            result->children[1] = parseExpression();
        }
    } else if (isWord("try")) {
        advance();
        result = node(NodeKind::Try, start);
        result->body = parseBlock({"end", "on error"});
        if (isWord("on")) {
            advance();
            advance();  // error
            result->flag = true;
            result->names.resize(2);
            if (!at(TokenKind::Newline) && !isWord("number")) {
                result->names[0] = lowercased(identifier("a variable name"));
            }
            if (acceptWord("number")) {
                result->names[1] = lowercased(identifier("a variable name"));
            }
            result->alternative = parseBlock({"end"});
        }
        parseEnd("try");
    } else if (isWord("if")) {
        result = parseIf();
    } else if (isWord("tell")) {
        advance();
        result = node(NodeKind::Tell, start);
        result->children.push_back(parseExpression());
        if (acceptWord("to")) {
            result->body.push_back(parseStatement());
        } else {
            result->body = parseBlock({"end"});
            parseEnd("tell");
        }
    } else if (isWord("with") && isWord("timeout", 1)) {
        advance();
        advance();
        acceptWord("of");
        result = node(NodeKind::Timeout, start);
        result->children.push_back(parseExpression());
        if (!acceptWord("seconds") && !acceptWord("second")) {
            unexpected("“seconds”");
        }
        result->body = parseBlock({"end"});
        parseEnd("timeout");
    } else if (isWord("repeat")) {
        result = parseRepeat();
    } else if (isWord("exit")) {
        advance();
        if (loops_ == 0) {
            failSyntax("“exit” can only be used inside a “repeat”.", start.offset, start.length);
        }
        acceptWord("repeat");
        result = node(NodeKind::ExitRepeat, start);
    } else if (isWord("get")) {
        advance();
        result = node(NodeKind::Evaluate, start);
        result->children.push_back(parseExpression());
    } else {
        result = node(NodeKind::Evaluate, start);
        result->children.push_back(parseExpression());
    }
    finish(*result);
    return result;
}

// if = "if" expression [ "then" ] ( statement | block elsetail )
NodePointer Parser::parseIf() {
    Nesting nesting(*this);
    const Token& start = advance();  // if
    NodePointer result = node(NodeKind::If, start);
    result->children.push_back(parseExpression());
    acceptWord("then");
    if (!at(TokenKind::Newline)) {
        result->body.push_back(parseStatement());
        finish(*result);
        return result;
    }
    result->body = parseBlock({"end", "else"});
    return parseElseTail(std::move(result));
}

// The rest of an else-if chain: more branches, then the chain's single “end if”.
// elsetail = "else" "if" expression [ "then" ] block elsetail | [ "else" block ] "end" [ "if" ]
NodePointer Parser::parseElseTail(NodePointer branch) {
    Nesting nesting(*this);
    if (isWord("else")) {
        const Token& elseToken = advance();
        if (isWord("if")) {
            advance();
            NodePointer next = node(NodeKind::If, elseToken);
            next->children.push_back(parseExpression());
            acceptWord("then");
            next->body = parseBlock({"end", "else"});
            branch->alternative.push_back(parseElseTail(std::move(next)));
            finish(*branch);
            return branch;
        }
        branch->alternative = parseBlock({"end"});
    }
    parseEnd("if");
    finish(*branch);
    return branch;
}

// repeat = "repeat" [ expr "times" | "while" expr | "until" expr | "with" name ... ] block "end"
NodePointer Parser::parseRepeat() {
    Nesting nesting(*this);
    const Token& start = advance();  // repeat
    NodePointer result;
    if (acceptWord("while")) {
        result = node(NodeKind::RepeatWhile, start);
        result->children.push_back(parseExpression());
    } else if (acceptWord("until")) {
        result = node(NodeKind::RepeatUntil, start);
        result->children.push_back(parseExpression());
    } else if (acceptWord("with")) {
        std::string variable = lowercased(identifier("a variable name"));
        if (acceptWord("in")) {
            result = node(NodeKind::RepeatIn, start);
            result->children.push_back(parseExpression());
        } else {
            expectWord("from");
            result = node(NodeKind::RepeatFromTo, start);
            result->children.push_back(parseExpression());
            expectWord("to");
            result->children.push_back(parseExpression());
            if (acceptWord("by")) {
                result->children.push_back(parseExpression());
            }
        }
        result->names.push_back(std::move(variable));
    } else if (at(TokenKind::Newline)) {
        result = node(NodeKind::RepeatForever, start);
    } else {
        result = node(NodeKind::RepeatTimes, start);
        result->children.push_back(parseExpression());
        expectWord("times");
    }
    ++loops_;
    result->body = parseBlock({"end"});
    --loops_;
    parseEnd("repeat");
    finish(*result);
    return result;
}
}  // namespace platform::applescript
