// SPDX-License-Identifier: Apache-2.0
#include "platform/code_requirement.h"

#include <array>
#include <cctype>

namespace nimbara {
namespace {

struct Token {
    enum class Kind { word, quoted, symbol, end };
    Kind kind;
    std::string text;
};

constexpr std::array<std::string_view, 8> kKeywords{"and",     "identifier",  "anchor", "apple",
                                                    "generic", "certificate", "cert",   "leaf"};

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
}

// Splits the text into tokens; nothing when a character is outside the language.
std::optional<std::vector<Token>> tokenize(std::string_view s) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
        } else if (c == '"') {
            std::string value;
            for (++i;; ++i) {
                if (i >= s.size()) return std::nullopt;
                if (s[i] == '"') break;
                if (s[i] == '\\') {
                    if (i + 1 >= s.size() || s[i + 1] != '"') return std::nullopt;
                    ++i;
                }
                value += s[i];
            }
            ++i;
            tokens.push_back({Token::Kind::quoted, std::move(value)});
        } else if (c == '=') {
            bool twice = i + 1 < s.size() && s[i + 1] == '=';
            tokens.push_back({Token::Kind::symbol, twice ? "==" : "="});
            i += twice ? 2 : 1;
        } else if (c == '[' || c == ']') {
            tokens.push_back({Token::Kind::symbol, std::string(1, c)});
            ++i;
        } else if (isWordChar(c)) {
            size_t start = i;
            while (i < s.size() && isWordChar(s[i])) ++i;
            tokens.push_back({Token::Kind::word, std::string(s.substr(start, i - start))});
        } else {
            return std::nullopt;
        }
    }
    tokens.push_back({Token::Kind::end, {}});
    return tokens;
}

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    std::optional<CodeRequirement> parse() {
        CodeRequirement req;
        do {
            auto clause = parseClause();
            if (!clause) return std::nullopt;
            req.clauses.push_back(std::move(*clause));
        } while (acceptWord("and"));
        if (peek().kind != Token::Kind::end) return std::nullopt;
        return req;
    }

  private:
    const Token& peek() const { return tokens_[pos_]; }
    bool acceptWord(std::string_view w) {
        if (peek().kind != Token::Kind::word || peek().text != w) return false;
        ++pos_;
        return true;
    }
    bool acceptSymbol(std::string_view s) {
        if (peek().kind != Token::Kind::symbol || peek().text != s) return false;
        ++pos_;
        return true;
    }
    std::optional<std::string> value() {
        const Token& t = peek();
        bool keyword = false;
        for (auto k : kKeywords) keyword = keyword || t.text == k;
        if (t.kind == Token::Kind::quoted || (t.kind == Token::Kind::word && !keyword)) {
            ++pos_;
            return t.text;
        }
        return std::nullopt;
    }

    std::optional<RequirementClause> parseClause() {
        using Kind = RequirementClause::Kind;
        if (acceptWord("identifier")) {
            if (!acceptSymbol("==")) acceptSymbol("=");
            auto v = value();
            if (!v) return std::nullopt;
            return RequirementClause{Kind::identifier, std::move(*v)};
        }
        if (acceptWord("anchor")) {
            if (!acceptWord("apple") || !acceptWord("generic")) return std::nullopt;
            return RequirementClause{Kind::anchorAppleGeneric, {}};
        }
        if (acceptWord("certificate") || acceptWord("cert")) {
            if (!acceptWord("leaf") || !acceptSymbol("[")) return std::nullopt;
            const Token& field = peek();
            if ((field.kind != Token::Kind::word && field.kind != Token::Kind::quoted) ||
                field.text != "subject.CN") {
                return std::nullopt;
            }
            ++pos_;
            if (!acceptSymbol("]") || !(acceptSymbol("=") || acceptSymbol("=="))) {
                return std::nullopt;
            }
            auto v = value();
            if (!v) return std::nullopt;
            return RequirementClause{Kind::leafSubjectCN, std::move(*v)};
        }
        return std::nullopt;
    }

    std::vector<Token> tokens_;
    size_t pos_ = 0;
};

}  // namespace

std::optional<CodeRequirement> compileRequirement(std::string_view text) {
    auto tokens = tokenize(text);
    if (!tokens) return std::nullopt;
    return Parser(std::move(*tokens)).parse();
}

}  // namespace nimbara
