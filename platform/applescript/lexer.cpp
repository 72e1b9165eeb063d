#include "lexer.h"

#include <algorithm>
#include <cctype>

#include "platform/utf.h"
#include "terms.h"

namespace platform::applescript {

void failSyntax(std::string message, std::size_t offset, std::size_t length) {
    throw SyntaxFailure{SyntaxError{std::move(message), offset, std::max<std::size_t>(length, 1)}};
}

namespace {

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
        failSyntax("Expected “*)” but found end of script.", start, 2);
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
            // A possessive (AppleScript's, with a straight or a curly apostrophe) is one word.
            for (const std::string_view apostrophe : {"'s", "\xE2\x80\x99s"}) {
                const std::size_t end = position_ + apostrophe.size();
                if (source_.substr(position_, apostrophe.size()) == apostrophe &&
                    (end >= source_.size() ||
                     !isWordPart(static_cast<unsigned char>(source_[end])))) {
                    position_ = end;
                    token.text += "'s";
                    break;
                }
            }
        } else if (std::isdigit(c) != 0 ||
                   (c == '.' && position_ + 1 < source_.size() &&
                    std::isdigit(static_cast<unsigned char>(source_[position_ + 1])) != 0)) {
            lexNumber(token);
        } else if (c == '"') {
            lexString(token);
        } else if (c == '|') {
            const std::size_t end = source_.find_first_of("|\n\r", position_ + 1);
            if (end == std::string_view::npos || source_[end] != '|') {
                failSyntax("Expected “|” but found end of line.", position_, 1);
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
                failSyntax("Expected “\"” but found end of script.", token.offset, 1);
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
                failSyntax("Expected “\"” but found end of script.", token.offset, 1);
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
                    failSyntax("Expected “\"”, “\\”, “n”, “r” or “t” after “\\”.", position_ - 2,
                               2);
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
        const std::size_t length = utf::endOfCharacter(source_, position_) - position_;
        failSyntax("Unknown character “" + std::string(source_.substr(position_, length)) + "”.",
                   position_, length);
    }

    std::string_view source_;
    std::size_t position_ = 0;
};

}  // namespace

std::vector<Token> tokenize(std::string_view source) {
    return Lexer(source).tokens();
}

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

}  // namespace platform::applescript
