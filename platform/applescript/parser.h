// The parser: tokens to a syntax tree, by recursive descent with one function per rule of the
// grammar written at the top of parser.cpp. Anything outside the grammar is a syntax error with
// the range of the offending text.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "lexer.h"
#include "syntax_tree.h"
#include "terms.h"

namespace platform::applescript {

// How deeply blocks and expressions may nest before the parser gives up.
inline constexpr int kMaximumNestingDepth = 64;

std::variant<Program, SyntaxError> parse(std::string_view source);

// Words that start statements or structure expressions; they are never variable names.
bool isReserved(const std::string& word);

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    Program program();

  private:
    // Counts nesting; parsing fails once it is deeper than the bound.
    class Nesting {
      public:
        explicit Nesting(Parser& parser);
        ~Nesting() { --parser_.depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

      private:
        Parser& parser_;
    };

    // The longest term starting at the current token, with the number of words it spans and
    // whether the plural form matched.
    struct TermMatch {
        const Term* term = nullptr;
        std::size_t words = 0;
        bool plural = false;
    };

    // The token cursor.
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
    const Token& advance();
    bool acceptWord(std::string_view word);
    bool acceptSymbol(std::string_view symbol);
    [[noreturn]] void unexpected(const std::string& expected) const;
    void expectWord(std::string_view word);
    void expectSymbol(std::string_view symbol);
    void skipNewlines();
    void endOfStatement();
    NodePointer node(NodeKind kind, const Token& start);
    void finish(Node& n);
    std::string identifier(const std::string& what);
    TermMatch matchTerm() const;

    // Statements (parser.cpp).
    Handler parseHandler();
    Block parseBlock(std::initializer_list<std::string_view> terminators);
    void parseEnd(std::string_view keyword);
    NodePointer parseStatement();
    NodePointer parseIf();
    NodePointer parseElseTail(NodePointer branch);
    NodePointer parseRepeat();

    // Expressions (expression_parser.cpp).
    NodePointer binary(BinaryOperator op, NodePointer left, NodePointer right);
    NodePointer parseExpression();
    NodePointer parseAnd();
    NodePointer parseNot();
    std::optional<BinaryOperator> comparisonOperator();
    NodePointer parseComparison();
    NodePointer parseCoercion();
    NodePointer parseConcatenation();
    NodePointer parseAdditive();
    NodePointer parseMultiplicative();
    NodePointer parseUnary();
    void parseContainer(Node& specifier);
    NodePointer parsePrimary();
    NodePointer parseTerm(const TermMatch& match);
    NodePointer parseNamed();
    NodePointer parseNumber();
    NodePointer parseKey();
    void expectDelimiters();
    NodePointer parseListOrRecord();

    std::vector<Token> tokens_;
    std::size_t index_ = 0;
    int depth_ = 0;
    int loops_ = 0;
};

}  // namespace platform::applescript
