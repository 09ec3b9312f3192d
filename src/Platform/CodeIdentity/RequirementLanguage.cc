#include "Platform/CodeIdentity/RequirementLanguage.h"

#include <algorithm>
#include <optional>

#include "Platform/CodeIdentity/CodeSigningStatus.h"

namespace dravik::platform {

struct CompiledRequirement::Node {
  enum class Kind { kAnd, kOr, kAnchor, kIdentifier, kCdhash, kLeafTeam, kLeafField };
  Kind kind;
  std::string value;  // identifier, team or field OID
  Cdhash cdhash{};
  std::vector<std::unique_ptr<Node>> children;
};

namespace {

using Node = CompiledRequirement::Node;

struct Token {
  enum class Kind {
    kWord,
    kString,
    kHex,
    kOpen,
    kClose,
    kOpenBracket,
    kCloseBracket,
    kEquals,
    kEnd
  };
  Kind kind;
  std::string text;
  std::size_t offset;
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}
bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

class SyntaxError {
 public:
  SyntaxError(std::string message, std::size_t offset)
      : message(std::move(message)), offset(offset) {}
  std::string message;
  std::size_t offset;
};

std::vector<Token> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (isSpace(c)) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    auto single = [&](Token::Kind kind) {
      tokens.push_back({kind, std::string(1, c), start});
      ++i;
    };
    switch (c) {
      case '(':
        single(Token::Kind::kOpen);
        continue;
      case ')':
        single(Token::Kind::kClose);
        continue;
      case '[':
        single(Token::Kind::kOpenBracket);
        continue;
      case ']':
        single(Token::Kind::kCloseBracket);
        continue;
      case '=':
        single(Token::Kind::kEquals);
        continue;
      default:
        break;
    }
    if (c == '"' || (c == 'H' && i + 1 < text.size() && text[i + 1] == '"')) {
      const bool hex = c == 'H';
      i += hex ? 2 : 1;
      std::string value;
      while (true) {
        if (i >= text.size()) throw SyntaxError("unterminated string", start);
        const char d = text[i];
        if (d == '"') break;
        const auto u = static_cast<unsigned char>(d);
        if (u < 0x20 || u == 0x7f || d == '\\')
          throw SyntaxError("character not allowed in a string", i);
        if (hex && !isHexDigit(d)) throw SyntaxError("not a hexadecimal digit", i);
        value.push_back(d);
        ++i;
      }
      ++i;
      tokens.push_back({hex ? Token::Kind::kHex : Token::Kind::kString, std::move(value), start});
      continue;
    }
    if (isWordChar(c)) {
      while (i < text.size() && isWordChar(text[i])) ++i;
      tokens.push_back({Token::Kind::kWord, std::string(text.substr(start, i - start)), start});
      continue;
    }
    throw SyntaxError("unexpected character", i);
  }
  tokens.push_back({Token::Kind::kEnd, "", text.size()});
  return tokens;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  std::unique_ptr<Node> parse() {
    auto root = parseOr(0);
    if (peek().kind != Token::Kind::kEnd) throw SyntaxError("unexpected text", peek().offset);
    return root;
  }
  bool usesAnchor() const { return usesAnchor_; }

 private:
  const Token& peek() const { return tokens_[position_]; }
  const Token& next() {
    const Token& token = tokens_[position_];
    if (token.kind != Token::Kind::kEnd) ++position_;
    return token;
  }
  bool peekWord(std::string_view word) const {
    return peek().kind == Token::Kind::kWord && peek().text == word;
  }
  void expectWord(std::string_view word) {
    if (!peekWord(word)) throw SyntaxError("expected \"" + std::string(word) + "\"", peek().offset);
    next();
  }
  const Token& expect(Token::Kind kind, const char* what) {
    if (peek().kind != kind) throw SyntaxError(std::string("expected ") + what, peek().offset);
    return next();
  }

  std::unique_ptr<Node> combine(Node::Kind kind, std::unique_ptr<Node> first, std::string_view word,
                                int depth) {
    if (!peekWord(word)) return first;
    auto node = std::make_unique<Node>();
    node->kind = kind;
    node->children.push_back(std::move(first));
    while (peekWord(word)) {
      next();
      node->children.push_back(kind == Node::Kind::kOr ? parseAnd(depth) : parsePrimary(depth));
    }
    return node;
  }

  std::unique_ptr<Node> parseOr(int depth) {
    return combine(Node::Kind::kOr, parseAnd(depth), "or", depth);
  }
  std::unique_ptr<Node> parseAnd(int depth) {
    return combine(Node::Kind::kAnd, parsePrimary(depth), "and", depth);
  }

  std::unique_ptr<Node> parsePrimary(int depth) {
    const Token& token = peek();
    if (token.kind == Token::Kind::kOpen) {
      if (depth >= CompiledRequirement::kMaxNesting)
        throw SyntaxError("parentheses nested too deeply", token.offset);
      next();
      auto inner = parseOr(depth + 1);
      expect(Token::Kind::kClose, "\")\"");
      return inner;
    }
    if (token.kind != Token::Kind::kWord) throw SyntaxError("expected a clause", token.offset);
    auto node = std::make_unique<Node>();
    if (token.text == "anchor") {
      next();
      expectWord("apple");
      expectWord("generic");
      node->kind = Node::Kind::kAnchor;
      usesAnchor_ = true;
    } else if (token.text == "identifier") {
      next();
      node->kind = Node::Kind::kIdentifier;
      node->value = expect(Token::Kind::kString, "a quoted identifier").text;
    } else if (token.text == "cdhash") {
      next();
      const Token& hex = expect(Token::Kind::kHex, "H\"<hash>\"");
      if (hex.text.size() != 2 * kCdhashBytes ||
          !fromHex(hex.text, node->cdhash.data(), node->cdhash.size()))
        throw SyntaxError("a cdhash has exactly 40 hexadecimal digits", hex.offset);
      node->kind = Node::Kind::kCdhash;
    } else if (token.text == "certificate") {
      next();
      expectWord("leaf");
      expect(Token::Kind::kOpenBracket, "\"[\"");
      const Token& key = expect(Token::Kind::kWord, "a certificate key");
      expect(Token::Kind::kCloseBracket, "\"]\"");
      if (key.text == "subject.OU") {
        expect(Token::Kind::kEquals, "\"=\"");
        node->kind = Node::Kind::kLeafTeam;
        node->value = expect(Token::Kind::kString, "a quoted organizational unit").text;
      } else if (key.text.rfind("field.", 0) == 0 && validFieldOid(key.text.substr(6))) {
        expectWord("exists");
        node->kind = Node::Kind::kLeafField;
        node->value = key.text.substr(6);
      } else {
        throw SyntaxError("unknown certificate key", key.offset);
      }
    } else {
      throw SyntaxError("expected a clause", token.offset);
    }
    return node;
  }

  std::vector<Token> tokens_;
  std::size_t position_ = 0;
  bool usesAnchor_ = false;
};

bool evaluateNode(const Node& node, const CodeFacts& facts) {
  switch (node.kind) {
    case Node::Kind::kAnd:
      return std::all_of(node.children.begin(), node.children.end(),
                         [&](const auto& child) { return evaluateNode(*child, facts); });
    case Node::Kind::kOr:
      return std::any_of(node.children.begin(), node.children.end(),
                         [&](const auto& child) { return evaluateNode(*child, facts); });
    case Node::Kind::kAnchor:
      return facts.anchorTrusted;
    case Node::Kind::kIdentifier:
      return facts.identifier == node.value;
    case Node::Kind::kCdhash:
      return facts.cdhash == node.cdhash;
    case Node::Kind::kLeafTeam:
      return facts.leafTeam == node.value;
    case Node::Kind::kLeafField:
      return std::find(facts.leafFields.begin(), facts.leafFields.end(), node.value) !=
             facts.leafFields.end();
  }
  return false;
}

}  // namespace

CompiledRequirement::CompiledRequirement(std::string text, std::unique_ptr<Node> root,
                                         bool usesAnchor)
    : text_(std::move(text)), root_(std::move(root)), usesAnchor_(usesAnchor) {}

CompiledRequirement::~CompiledRequirement() = default;

OSStatus CompiledRequirement::compile(std::string_view text,
                                      std::shared_ptr<const CompiledRequirement>* requirement,
                                      std::string* error) {
  requirement->reset();
  try {
    if (text.size() > kMaxTextBytes) throw SyntaxError("requirement text too long", 0);
    Parser parser(tokenize(text));
    auto root = parser.parse();
    *requirement = std::make_shared<const CompiledRequirement>(std::string(text), std::move(root),
                                                               parser.usesAnchor());
    return kCodeSigningOk;
  } catch (const SyntaxError& e) {
    if (error != nullptr) *error = e.message + " at offset " + std::to_string(e.offset);
    return kCodeSigningRequirementSyntax;
  }
}

bool validFieldOid(std::string_view oid) {
  if (oid.size() > 128) return false;
  int components = 0;
  std::size_t i = 0;
  while (true) {
    const std::size_t start = i;
    while (i < oid.size() && oid[i] >= '0' && oid[i] <= '9') ++i;
    if (i == start || i - start > 10) return false;
    ++components;
    if (i == oid.size()) break;
    if (oid[i] != '.') return false;
    ++i;
  }
  return components >= 2;
}

bool CompiledRequirement::evaluate(const CodeFacts& facts) const {
  return evaluateNode(*root_, facts);
}

std::string toHex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xf]);
  }
  return out;
}

bool fromHex(std::string_view hex, std::uint8_t* bytes, std::size_t size) {
  if (hex.size() != 2 * size) return false;
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < size; ++i) {
    const int high = value(hex[2 * i]);
    const int low = value(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

}  // namespace dravik::platform
