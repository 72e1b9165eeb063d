// The lexer: source text as a sequence of tokens. Words are case-insensitive and arrive in
// lower case; `¬` continues a line; `--`, `#` and nested `(* *)` are comments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::applescript {

struct SyntaxError {
    std::string message;
    std::size_t offset = 0;  // bytes of the source
    std::size_t length = 0;
};

// How a syntax error leaves the lexer and the parser; parse() turns it into its answer.
struct SyntaxFailure {
    SyntaxError error;
};
[[noreturn]] void failSyntax(std::string message, std::size_t offset, std::size_t length);

enum class TokenKind : std::uint8_t { Word, Barred, String, Number, Symbol, Newline, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;  // words lower case; strings unescaped; symbols as written
    std::size_t offset = 0;
    std::size_t length = 0;
};

// The tokens of a source, ending with one End token. Blank lines and a leading newline carry
// no meaning and are dropped. Throws SyntaxFailure.
std::vector<Token> tokenize(std::string_view source);

// A token as a syntax error message names it: “end”, number, end of line.
std::string describe(const Token& token);

}  // namespace platform::applescript
