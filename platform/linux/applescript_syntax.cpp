#include "applescript_syntax.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <optional>

namespace platform::linux_platform::applescript {

std::string lowercased(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

const std::vector<Term>& terms() {
    // Properties and element classes that connectors address. Applications answer get-data
    // events for specifiers built from these codes.
    static const std::vector<Term> table = {
        {"name", nullptr, fourCharCode("pnam"), false},
        {"url", nullptr, fourCharCode("pURL"), false},
        {"path", nullptr, fourCharCode("ppth"), false},
        {"file", nullptr, fourCharCode("file"), false},
        {"selection", nullptr, fourCharCode("sele"), false},
        {"id", nullptr, fourCharCode("ID  "), false},
        {"title", nullptr, fourCharCode("titl"), false},
        {"active tab", nullptr, fourCharCode("acTa"), false},
        {"subject", nullptr, fourCharCode("subj"), false},
        {"message id", nullptr, fourCharCode("meid"), false},
        {"reference url", nullptr, fourCharCode("rURL"), false},
        {"insertion location", nullptr, fourCharCode("pins"), false},
        {"full name", nullptr, fourCharCode("FNam"), false},
        {"index", nullptr, fourCharCode("pidx"), false},
        {"current page", nullptr, fourCharCode("cpag"), false},
        {"selected objects", nullptr, fourCharCode("selO"), false},
        {"headers", nullptr, fourCharCode("hdrs"), false},
        {"active workbook", nullptr, fourCharCode("acwb"), false},
        {"active presentation", nullptr, fourCharCode("acpr"), false},
        {"active document", nullptr, fourCharCode("acdc"), false},
        {"posix path", nullptr, fourCharCode("psxp"), false},
        {"version", nullptr, fourCharCode("vers"), false},
        {"frontmost", nullptr, fourCharCode("pisf"), false},
        {"contents", nullptr, fourCharCode("pcnt"), false},
        {"length", nullptr, fourCharCode("leng"), false},
        {"bundle identifier", nullptr, fourCharCode("bnid"), false},
        {"document", "documents", fourCharCode("docu"), true},
        {"window", "windows", fourCharCode("cwin"), true},
        {"item", "items", fourCharCode("cobj"), true},
        {"paragraph", "paragraphs", fourCharCode("cpar"), true},
        {"word", "words", fourCharCode("cwor"), true},
        {"character", "characters", fourCharCode("cha "), true},
        {"text", nullptr, fourCharCode("ctxt"), true},
        {"workspace document", "workspace documents", fourCharCode("wrkd"), true},
        {"disk item", "disk items", fourCharCode("ditm"), true},
        {"folder", "folders", fourCharCode("cfol"), true},
    };
    return table;
}

std::string termName(FourCharCode code) {
    for (const Term& term : terms()) {
        if (term.code == code) {
            return term.words;
        }
    }
    return "«" + fourCharCodeString(code) + "»";
}

namespace {

enum class TokenKind : std::uint8_t { Word, Barred, String, Number, Symbol, Newline, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;  // words lower case; strings unescaped; symbols as written
    std::size_t offset = 0;
    std::size_t length = 0;
};

struct Failure {
    SyntaxError error;
};

[[noreturn]] void fail(std::string message, std::size_t offset, std::size_t length) {
    throw Failure{SyntaxError{std::move(message), offset, std::max<std::size_t>(length, 1)}};
}

bool isWordStart(unsigned char c) {
    return std::isalpha(c) != 0 || c == '_';
}
bool isWordPart(unsigned char c) {
    return std::isalnum(c) != 0 || c == '_';
}

class Lexer {
  public:
    explicit Lexer(std::string_view source) : source_(source) {}

    std::vector<Token> tokens() {
        std::vector<Token> result;
        while (true) {
            Token token = next();
            // Blank lines and a leading newline carry no meaning.
            if (token.kind == TokenKind::Newline &&
                (result.empty() || result.back().kind == TokenKind::Newline)) {
                continue;
            }
            const bool end = token.kind == TokenKind::End;
            result.push_back(std::move(token));
            if (end) {
                return result;
            }
        }
    }

  private:
    bool startsWith(std::string_view text) const {
        return source_.substr(position_, text.size()) == text;
    }

    void skipSpaceAndComments() {
        while (position_ < source_.size()) {
            const unsigned char c = static_cast<unsigned char>(source_[position_]);
            if (c == ' ' || c == '\t' || c == '\f' || c == '\v') {
                ++position_;
            } else if (startsWith("\xC2\xAC")) {  // ¬ continues the line
                position_ += 2;
                while (position_ < source_.size() &&
                       (source_[position_] == ' ' || source_[position_] == '\t')) {
                    ++position_;
                }
                if (startsWith("\r\n")) {
                    position_ += 2;
                } else if (position_ < source_.size() &&
                           (source_[position_] == '\n' || source_[position_] == '\r')) {
                    ++position_;
                }
            } else if (startsWith("--") || c == '#') {
                while (position_ < source_.size() && source_[position_] != '\n' &&
                       source_[position_] != '\r') {
                    ++position_;
                }
            } else if (startsWith("(*")) {
                skipBlockComment();
            } else {
                return;
            }
        }
    }

    void skipBlockComment() {
        const std::size_t start = position_;
        int depth = 0;
        while (position_ < source_.size()) {
            if (startsWith("(*")) {
                ++depth;
                position_ += 2;
            } else if (startsWith("*)")) {
                position_ += 2;
                if (--depth == 0) {
                    return;
                }
            } else {
                ++position_;
            }
        }
        fail("Expected “*)” but found end of script.", start, 2);
    }

    Token next() {
        skipSpaceAndComments();
        Token token;
        token.offset = position_;
        if (position_ >= source_.size()) {
            token.kind = TokenKind::End;
            token.length = 0;
            return token;
        }
        const unsigned char c = static_cast<unsigned char>(source_[position_]);
        if (c == '\n' || c == '\r') {
            position_ += startsWith("\r\n") ? 2 : 1;
            token.kind = TokenKind::Newline;
        } else if (isWordStart(c)) {
            while (position_ < source_.size() &&
                   isWordPart(static_cast<unsigned char>(source_[position_]))) {
                ++position_;
            }
            token.kind = TokenKind::Word;
            token.text = lowercased(source_.substr(token.offset, position_ - token.offset));
        } else if (std::isdigit(c) != 0 ||
                   (c == '.' && position_ + 1 < source_.size() &&
                    std::isdigit(static_cast<unsigned char>(source_[position_ + 1])) != 0)) {
            lexNumber(token);
        } else if (c == '"') {
            lexString(token);
        } else if (c == '|') {
            const std::size_t end = source_.find_first_of("|\n\r", position_ + 1);
            if (end == std::string_view::npos || source_[end] != '|') {
                fail("Expected “|” but found end of line.", position_, 1);
            }
            token.kind = TokenKind::Barred;
            token.text = std::string(source_.substr(position_ + 1, end - position_ - 1));
            position_ = end + 1;
        } else {
            lexSymbol(token);
        }
        token.length = position_ - token.offset;
        return token;
    }

    void lexNumber(Token& token) {
        while (position_ < source_.size() &&
               std::isdigit(static_cast<unsigned char>(source_[position_])) != 0) {
            ++position_;
        }
        if (position_ + 1 < source_.size() && source_[position_] == '.' &&
            std::isdigit(static_cast<unsigned char>(source_[position_ + 1])) != 0) {
            ++position_;
            while (position_ < source_.size() &&
                   std::isdigit(static_cast<unsigned char>(source_[position_])) != 0) {
                ++position_;
            }
        }
        if (position_ < source_.size() &&
            (source_[position_] == 'e' || source_[position_] == 'E')) {
            std::size_t exponent = position_ + 1;
            if (exponent < source_.size() &&
                (source_[exponent] == '+' || source_[exponent] == '-')) {
                ++exponent;
            }
            if (exponent < source_.size() &&
                std::isdigit(static_cast<unsigned char>(source_[exponent])) != 0) {
                position_ = exponent;
                while (position_ < source_.size() &&
                       std::isdigit(static_cast<unsigned char>(source_[position_])) != 0) {
                    ++position_;
                }
            }
        }
        token.kind = TokenKind::Number;
        token.text = std::string(source_.substr(token.offset, position_ - token.offset));
    }

    void lexString(Token& token) {
        ++position_;
        std::string text;
        while (true) {
            if (position_ >= source_.size()) {
                fail("Expected “\"” but found end of script.", token.offset, 1);
            }
            const char c = source_[position_++];
            if (c == '"') {
                break;
            }
            if (c != '\\') {
                text += c;
                continue;
            }
            if (position_ >= source_.size()) {
                fail("Expected “\"” but found end of script.", token.offset, 1);
            }
            const char escaped = source_[position_++];
            switch (escaped) {
                case 'n':
                    text += '\n';
                    break;
                case 'r':
                    text += '\r';
                    break;
                case 't':
                    text += '\t';
                    break;
                case '"':
                case '\\':
                    text += escaped;
                    break;
                default:
                    fail("Expected “\"”, “\\”, “n”, “r” or “t” after “\\”.", position_ - 2, 2);
            }
        }
        token.kind = TokenKind::String;
        token.text = std::move(text);
    }

    void lexSymbol(Token& token) {
        static const char* const symbols[] = {"\xE2\x89\xA0",
                                              "\xE2\x89\xA4",
                                              "\xE2\x89\xA5",  // ≠ ≤ ≥
                                              "<=",
                                              ">=",
                                              "<>",
                                              "&",
                                              ",",
                                              "(",
                                              ")",
                                              "{",
                                              "}",
                                              ":",
                                              "+",
                                              "-",
                                              "*",
                                              "/",
                                              "=",
                                              "<",
                                              ">"};
        for (const char* symbol : symbols) {
            if (startsWith(symbol)) {
                token.kind = TokenKind::Symbol;
                token.text = symbol;
                position_ += token.text.size();
                return;
            }
        }
        std::size_t length = 1;
        const unsigned char c = static_cast<unsigned char>(source_[position_]);
        if (c >= 0xC0) {
            while (position_ + length < source_.size() &&
                   (static_cast<unsigned char>(source_[position_ + length]) & 0xC0) == 0x80) {
                ++length;
            }
        }
        fail("Unknown character “" + std::string(source_.substr(position_, length)) + "”.",
             position_, length);
    }

    std::string_view source_;
    std::size_t position_ = 0;
};

std::string describe(const Token& token) {
    switch (token.kind) {
        case TokenKind::Word:
            return "“" + token.text + "”";
        case TokenKind::Barred:
            return "identifier";
        case TokenKind::String:
            return "“\"”";
        case TokenKind::Number:
            return "number";
        case TokenKind::Symbol:
            return "“" + token.text + "”";
        case TokenKind::Newline:
            return "end of line";
        case TokenKind::End:
            return "end of script";
    }
    return "token";
}

// Words that start statements or structure expressions; they are never variable names.
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

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    Program program() {
        Program program;
        skipNewlines();
        while (!at(TokenKind::End)) {
            if (isWord("on") || isWord("to")) {
                Handler handler = parseHandler();
                const std::string name = handler.name;
                if (program.handlers.count(name) != 0) {
                    fail("The handler “" + name + "” is specified more than once.", handler.offset,
                         name.size());
                }
                program.handlers.emplace(name, std::move(handler));
            } else {
                program.run.push_back(parseStatement());
            }
            endOfStatement();
        }
        return program;
    }

  private:
    // Counts nesting; parsing fails once it is deeper than the bound.
    class Nesting {
      public:
        explicit Nesting(Parser& parser) : parser_(parser) {
            if (++parser_.depth_ > kMaximumNestingDepth) {
                const Token& token = parser_.current();
                fail("The script is nested too deeply.", token.offset, token.length);
            }
        }
        ~Nesting() { --parser_.depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

      private:
        Parser& parser_;
    };

    const Token& current() const { return tokens_[index_]; }
    const Token& peek(std::size_t ahead = 1) const {
        return tokens_[std::min(index_ + ahead, tokens_.size() - 1)];
    }
    bool at(TokenKind kind) const { return current().kind == kind; }
    bool isWord(std::string_view word, std::size_t ahead = 0) const {
        const Token& token = peek(ahead);
        return token.kind == TokenKind::Word && token.text == word;
    }
    bool isSymbol(std::string_view symbol) const {
        return current().kind == TokenKind::Symbol && current().text == symbol;
    }
    const Token& advance() {
        const Token& token = tokens_[index_];
        if (index_ + 1 < tokens_.size()) {
            ++index_;
        }
        return token;
    }
    bool acceptWord(std::string_view word) {
        if (isWord(word)) {
            advance();
            return true;
        }
        return false;
    }
    bool acceptSymbol(std::string_view symbol) {
        if (isSymbol(symbol)) {
            advance();
            return true;
        }
        return false;
    }
    [[noreturn]] void unexpected(const std::string& expected) const {
        fail("Expected " + expected + " but found " + describe(current()) + ".", current().offset,
             current().length);
    }
    void expectWord(std::string_view word) {
        if (!acceptWord(word)) {
            unexpected("“" + std::string(word) + "”");
        }
    }
    void expectSymbol(std::string_view symbol) {
        if (!acceptSymbol(symbol)) {
            unexpected("“" + std::string(symbol) + "”");
        }
    }
    void skipNewlines() {
        while (at(TokenKind::Newline)) {
            advance();
        }
    }
    void endOfStatement() {
        if (at(TokenKind::End)) {
            return;
        }
        if (!at(TokenKind::Newline)) {
            unexpected("end of line");
        }
        skipNewlines();
    }

    NodePointer node(NodeKind kind, const Token& start) {
        auto result = std::make_unique<Node>();
        result->kind = kind;
        result->offset = start.offset;
        return result;
    }
    void finish(Node& n) {
        const Token& last = tokens_[index_ == 0 ? 0 : index_ - 1];
        n.length = last.offset + last.length > n.offset ? last.offset + last.length - n.offset : 1;
    }

    std::string identifier(const std::string& what) {
        if (at(TokenKind::Barred)) {
            return advance().text;
        }
        if (at(TokenKind::Word) && !isReserved(current().text)) {
            return advance().text;
        }
        unexpected(what);
    }

    // --- Statements --------------------------------------------------------------------

    Handler parseHandler() {
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
                fail("Expected “end” or “end " + handler.name + "” but found “end " + name.text +
                         "”.",
                     name.offset, name.length);
            }
        }
        return handler;
    }

    // Statements up to (not including) one of the terminating words at a line start.
    Block parseBlock(std::initializer_list<std::string_view> terminators) {
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
                fail("A handler can’t go inside another statement.", current().offset,
                     current().length);
            }
            block.push_back(parseStatement());
            endOfStatement();
        }
    }

    void parseEnd(std::string_view keyword) {
        expectWord("end");
        if (at(TokenKind::Word) && !isWord(keyword)) {
            fail("Expected “end” or “end " + std::string(keyword) + "” but found “end " +
                     current().text + "”.",
                 current().offset, current().length);
        }
        acceptWord(keyword);
    }

    NodePointer parseStatement() {
        Nesting nesting(*this);
        const Token& start = current();
        NodePointer result;
        if (isWord("set")) {
            advance();
            result = node(NodeKind::Set, start);
            result->text = lowercased(identifier("a variable name"));
            expectWord("to");
            result->children.push_back(parseExpression());
        } else if (isWord("return")) {
            advance();
            result = node(NodeKind::Return, start);
            if (!at(TokenKind::Newline) && !at(TokenKind::End) && !isWord("else") &&
                !isWord("end")) {
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
                fail("“exit” can only be used inside a “repeat”.", start.offset, start.length);
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

    NodePointer parseIf() {
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
    NodePointer parseElseTail(NodePointer branch) {
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

    NodePointer parseRepeat() {
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

    // --- Expressions -------------------------------------------------------------------

    NodePointer binary(BinaryOperator op, NodePointer left, NodePointer right) {
        auto result = std::make_unique<Node>();
        result->kind = NodeKind::Binary;
        result->binary = op;
        result->offset = left->offset;
        result->children.push_back(std::move(left));
        result->children.push_back(std::move(right));
        finish(*result);
        return result;
    }

    NodePointer parseExpression() {
        Nesting nesting(*this);
        NodePointer left = parseAnd();
        while (acceptWord("or")) {
            left = binary(BinaryOperator::Or, std::move(left), parseAnd());
        }
        return left;
    }

    NodePointer parseAnd() {
        NodePointer left = parseNot();
        while (acceptWord("and")) {
            left = binary(BinaryOperator::And, std::move(left), parseNot());
        }
        return left;
    }

    NodePointer parseNot() {
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

    std::optional<BinaryOperator> comparisonOperator() {
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

    NodePointer parseComparison() {
        NodePointer left = parseCoercion();
        while (auto op = comparisonOperator()) {
            left = binary(*op, std::move(left), parseCoercion());
        }
        return left;
    }

    NodePointer parseCoercion() {
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

    NodePointer parseConcatenation() {
        NodePointer left = parseAdditive();
        while (acceptSymbol("&")) {
            left = binary(BinaryOperator::Concatenate, std::move(left), parseAdditive());
        }
        return left;
    }

    NodePointer parseAdditive() {
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

    NodePointer parseMultiplicative() {
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

    NodePointer parseUnary() {
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

    // The longest term starting at the current token, with the number of words it spans and
    // whether the plural form matched.
    struct TermMatch {
        const Term* term = nullptr;
        std::size_t words = 0;
        bool plural = false;
    };
    TermMatch matchTerm() const {
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
                    rest = space == std::string_view::npos ? std::string_view{}
                                                           : rest.substr(space + 1);
                }
                if (matches && count > best.words) {
                    best = {&term, count, form == term.plural};
                }
            }
        }
        return best;
    }

    // The `of` (or `in`) operand of a specifier, if there is one.
    void parseContainer(Node& specifier) {
        if (isWord("of") || isWord("in")) {
            advance();
            specifier.container = parsePrimary();
        }
        finish(specifier);
    }

    NodePointer parsePrimary() {
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
        if (word == "first" || word == "front" || word == "last" || word == "back" ||
            word == "every") {
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

    NodePointer parseTerm(const TermMatch& match) {
        const Token& start = current();
        index_ += match.words;
        NodePointer result = node(NodeKind::Specifier, start);
        result->code = match.term->code;
        result->text = match.term->words;
        if (!match.term->isClass) {
            result->selector = Selector::Property;
        } else if (match.plural && !(at(TokenKind::Number) || isSymbol("-") || isSymbol("("))) {
            result->selector = Selector::Every;
        } else if (match.plural) {
            // characters 1 thru 2, items 2 thru -1
            result->selector = Selector::Range;
            result->children.push_back(parseUnary());
            if (!acceptWord("thru") && !acceptWord("through")) {
                unexpected("“thru”");
            }
            result->children.push_back(parseUnary());
        } else {
            // A class names one element by a key: document 1, disk item thePath, text 2 thru -1.
            if (at(TokenKind::Newline) || at(TokenKind::End) || isWord("of") || isWord("in")) {
                unexpected("a key after “" + result->text + "”");
            }
            result->selector = Selector::Element;
            result->children.push_back(parseUnary());
            if (acceptWord("thru") || acceptWord("through")) {
                result->selector = Selector::Range;
                result->children.push_back(parseUnary());
            }
        }
        parseContainer(*result);
        return result;
    }

    // A variable, a handler call, or a record field read with `of`.
    NodePointer parseNamed() {
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

    NodePointer parseNumber() {
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
        result->real = std::strtod(token.text.c_str(), nullptr);
        finish(*result);
        return result;
    }

    NodePointer parseListOrRecord() {
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
                        fail("A record can’t have the same label twice.", current().offset, 1);
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

    std::vector<Token> tokens_;
    std::size_t index_ = 0;
    int depth_ = 0;
    int loops_ = 0;
};

}  // namespace

std::variant<Program, SyntaxError> parse(std::string_view source) {
    try {
        Parser parser(Lexer(source).tokens());
        return parser.program();
    } catch (const Failure& failure) {
        return failure.error;
    }
}

}  // namespace platform::linux_platform::applescript
