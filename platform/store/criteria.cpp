#include "store/criteria.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "store/names.h"
#include "text.h"

namespace drossgate::platform::store::criteria {

// A literal or a property reference, or an operator with its operands.
struct Node {
  enum Kind { kOr, kAnd, kNot, kCompare, kIsNull, kProperty, kBool, kNumber, kText } kind;
  std::string op;     // for kCompare: = <> < > <= >=; for kIsNull: "NOT" when negated
  std::string text;   // property key or text literal
  double number = 0;  // number literal
  bool boolean = false;
  std::shared_ptr<const Node> left, right;
};

namespace {

enum class Tri { kFalse, kTrue, kUnknown };

struct Token {
  enum Kind { kEnd, kWord, kQuoted, kString, kNumber, kOp, kOpen, kClose, kBad } kind;
  std::string text;
};

class Lexer {
 public:
  explicit Lexer(std::string_view s) : s_(s) {}

  Token Next() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    if (pos_ >= s_.size()) return {Token::kEnd, {}};
    char c = s_[pos_];
    if (c == '(' || c == ')') {
      ++pos_;
      return {c == '(' ? Token::kOpen : Token::kClose, std::string(1, c)};
    }
    if (c == '"' || c == '\'') return Quoted(c);
    if (c == '=') {
      ++pos_;
      return {Token::kOp, "="};
    }
    if (c == '<' || c == '>' || c == '!') {
      std::string op(1, c);
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '=' || (c == '<' && s_[pos_] == '>'))) op += s_[pos_++];
      if (op == "!") return {Token::kBad, op};
      if (op == "!=") op = "<>";
      return {Token::kOp, op};
    }
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.') {
      size_t start = pos_++;
      while (pos_ < s_.size() &&
             (std::isdigit(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '.'))
        ++pos_;
      return {Token::kNumber, std::string(s_.substr(start, pos_ - start))};
    }
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t start = pos_;
      while (pos_ < s_.size() &&
             (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
        ++pos_;
      return {Token::kWord, text::ToUpper(s_.substr(start, pos_ - start))};
    }
    ++pos_;
    return {Token::kBad, std::string(1, c)};
  }

 private:
  // A doubled quote inside stands for one.
  Token Quoted(char q) {
    std::string out;
    ++pos_;
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == q) {
        if (pos_ < s_.size() && s_[pos_] == q) {
          out += q;
          ++pos_;
          continue;
        }
        return {q == '"' ? Token::kQuoted : Token::kString, out};
      }
      out += c;
    }
    return {Token::kBad, out};
  }

  std::string_view s_;
  size_t pos_ = 0;
};

class Parser {
 public:
  explicit Parser(std::string_view s) : lex_(s) { Advance(); }

  std::shared_ptr<const Node> ParseAll() {
    if (tok_.kind == Token::kWord && tok_.text == "WHERE") Advance();
    auto e = Expr();
    if (!e || tok_.kind != Token::kEnd) return nullptr;
    return e;
  }

 private:
  void Advance() { tok_ = lex_.Next(); }
  bool IsWord(const char* w) const { return tok_.kind == Token::kWord && tok_.text == w; }

  static std::shared_ptr<const Node> Join(Node::Kind k, std::shared_ptr<const Node> l,
                                          std::shared_ptr<const Node> r) {
    auto n = std::make_shared<Node>();
    n->kind = k;
    n->left = std::move(l);
    n->right = std::move(r);
    return n;
  }

  std::shared_ptr<const Node> Expr() {
    auto left = Conjunction();
    while (left && IsWord("OR")) {
      Advance();
      auto right = Conjunction();
      if (!right) return nullptr;
      left = Join(Node::kOr, left, right);
    }
    return left;
  }

  std::shared_ptr<const Node> Conjunction() {
    auto left = Unary();
    while (left && IsWord("AND")) {
      Advance();
      auto right = Unary();
      if (!right) return nullptr;
      left = Join(Node::kAnd, left, right);
    }
    return left;
  }

  std::shared_ptr<const Node> Unary() {
    if (IsWord("NOT")) {
      Advance();
      auto inner = Unary();
      return inner ? Join(Node::kNot, inner, nullptr) : nullptr;
    }
    if (tok_.kind == Token::kOpen) {
      Advance();
      auto inner = Expr();
      if (!inner || tok_.kind != Token::kClose) return nullptr;
      Advance();
      return inner;
    }
    return Comparison();
  }

  std::shared_ptr<const Node> Comparison() {
    auto left = Operand();
    if (!left) return nullptr;
    if (IsWord("IS")) {
      Advance();
      auto n = std::make_shared<Node>();
      n->kind = Node::kIsNull;
      if (IsWord("NOT")) {
        n->op = "NOT";
        Advance();
      }
      if (!IsWord("NULL")) return nullptr;
      Advance();
      n->left = left;
      return n;
    }
    if (tok_.kind != Token::kOp) return nullptr;
    std::string op = tok_.text;
    Advance();
    auto right = Operand();
    if (!right) return nullptr;
    auto n = std::make_shared<Node>();
    n->kind = Node::kCompare;
    n->op = op;
    n->left = left;
    n->right = right;
    return n;
  }

  std::shared_ptr<const Node> Operand() {
    auto n = std::make_shared<Node>();
    switch (tok_.kind) {
      case Token::kQuoted:
        n->kind = Node::kProperty;
        n->text = names::PropertyKey(tok_.text);
        if (n->text.empty()) return nullptr;
        break;
      case Token::kString:
        n->kind = Node::kText;
        n->text = tok_.text;
        break;
      case Token::kNumber: {
        char* end = nullptr;
        n->kind = Node::kNumber;
        n->number = std::strtod(tok_.text.c_str(), &end);
        if (!end || *end || tok_.text == "-" || tok_.text == "+" || tok_.text == ".")
          return nullptr;
        break;
      }
      case Token::kWord:
        if (tok_.text != "TRUE" && tok_.text != "FALSE") return nullptr;
        n->kind = Node::kBool;
        n->boolean = tok_.text == "TRUE";
        break;
      default:
        return nullptr;
    }
    Advance();
    return n;
  }

  Lexer lex_;
  Token tok_;
};

// An operand's value, reduced to one of three kinds.
struct Operand {
  enum Kind { kNull, kBool, kNumber, kText } kind = kNull;
  bool b = false;
  double n = 0;
  std::string t;
};

Operand FromValue(const std::optional<Value>& v) {
  Operand o;
  if (!v) return o;
  if (auto b = std::get_if<bool>(&*v)) {
    o.kind = Operand::kBool;
    o.b = *b;
  } else if (auto i = std::get_if<int32_t>(&*v)) {
    o.kind = Operand::kNumber;
    o.n = *i;
  } else if (auto s = std::get_if<std::string>(&*v)) {
    o.kind = Operand::kText;
    o.t = *s;
  }
  return o;
}

// Text read as the other operand's kind, when it can be.
bool Convert(const std::string& text, Operand::Kind kind, Operand& out) {
  std::string t = text::Trim(text);
  if (kind == Operand::kBool) {
    if (text::EqualsNoCase(t, "true") || t == "1")
      out.b = true;
    else if (text::EqualsNoCase(t, "false") || t == "0")
      out.b = false;
    else
      return false;
    out.kind = Operand::kBool;
    return true;
  }
  if (kind == Operand::kNumber) {
    if (t.empty()) return false;
    char* end = nullptr;
    double d = std::strtod(t.c_str(), &end);
    if (!end || *end) return false;
    out.kind = Operand::kNumber;
    out.n = d;
    return true;
  }
  return false;
}

std::string AsText(const Operand& o) {
  switch (o.kind) {
    case Operand::kBool:
      return o.b ? "True" : "False";
    case Operand::kNumber: {
      if (std::floor(o.n) == o.n && std::fabs(o.n) < 1e15)
        return std::to_string(static_cast<long long>(o.n));
      return std::to_string(o.n);
    }
    case Operand::kText:
      return o.t;
    default:
      return {};
  }
}

int CompareText(const std::string& a, const std::string& b) {
  std::string la = text::ToLower(a), lb = text::ToLower(b);
  return la < lb ? -1 : (la > lb ? 1 : 0);
}

Tri Compare(Operand a, Operand b, const std::string& op) {
  if (a.kind == Operand::kNull || b.kind == Operand::kNull) return Tri::kUnknown;
  if (a.kind != b.kind) {
    if (a.kind == Operand::kText && b.kind != Operand::kText)
      Convert(a.t, b.kind, a);
    else if (b.kind == Operand::kText && a.kind != Operand::kText)
      Convert(b.t, a.kind, b);
    if (a.kind == Operand::kBool && b.kind == Operand::kNumber) {
      a.kind = Operand::kNumber;
      a.n = a.b ? 1 : 0;
    } else if (b.kind == Operand::kBool && a.kind == Operand::kNumber) {
      b.kind = Operand::kNumber;
      b.n = b.b ? 1 : 0;
    }
  }
  int c;
  if (a.kind == b.kind && a.kind == Operand::kBool)
    c = int(a.b) - int(b.b);
  else if (a.kind == b.kind && a.kind == Operand::kNumber)
    c = a.n < b.n ? -1 : (a.n > b.n ? 1 : 0);
  else
    c = CompareText(AsText(a), AsText(b));
  bool r = op == "="    ? c == 0
           : op == "<>" ? c != 0
           : op == "<"  ? c < 0
           : op == ">"  ? c > 0
           : op == "<=" ? c <= 0
                        : c >= 0;
  return r ? Tri::kTrue : Tri::kFalse;
}

using Lookup = std::function<std::optional<Value>(const std::string&)>;

Operand Eval(const Node& n, const Lookup& lookup) {
  Operand o;
  switch (n.kind) {
    case Node::kProperty:
      return FromValue(lookup(n.text));
    case Node::kBool:
      o.kind = Operand::kBool;
      o.b = n.boolean;
      return o;
    case Node::kNumber:
      o.kind = Operand::kNumber;
      o.n = n.number;
      return o;
    case Node::kText:
      o.kind = Operand::kText;
      o.t = n.text;
      return o;
    default:
      return o;
  }
}

Tri Test(const Node& n, const Lookup& lookup) {
  switch (n.kind) {
    case Node::kOr: {
      Tri l = Test(*n.left, lookup);
      if (l == Tri::kTrue) return l;
      Tri r = Test(*n.right, lookup);
      if (r == Tri::kTrue) return r;
      return (l == Tri::kUnknown || r == Tri::kUnknown) ? Tri::kUnknown : Tri::kFalse;
    }
    case Node::kAnd: {
      Tri l = Test(*n.left, lookup);
      if (l == Tri::kFalse) return l;
      Tri r = Test(*n.right, lookup);
      if (r == Tri::kFalse) return r;
      return (l == Tri::kUnknown || r == Tri::kUnknown) ? Tri::kUnknown : Tri::kTrue;
    }
    case Node::kNot: {
      Tri t = Test(*n.left, lookup);
      return t == Tri::kUnknown ? t : (t == Tri::kTrue ? Tri::kFalse : Tri::kTrue);
    }
    case Node::kIsNull: {
      bool isNull = Eval(*n.left, lookup).kind == Operand::kNull;
      return (n.op == "NOT" ? !isNull : isNull) ? Tri::kTrue : Tri::kFalse;
    }
    case Node::kCompare:
      return Compare(Eval(*n.left, lookup), Eval(*n.right, lookup), n.op);
    case Node::kBool:
      return n.boolean ? Tri::kTrue : Tri::kFalse;
    default:
      return Tri::kUnknown;
  }
}

}  // namespace

bool Criteria::Matches(const Lookup& lookup) const {
  return !root_ || Test(*root_, lookup) == Tri::kTrue;
}

std::optional<Criteria> Parse(std::string_view text) {
  if (text::TrimView(text).empty()) return Criteria();
  // Tabs and line breaks count as blanks too.
  bool blank = true;
  for (char c : text) blank = blank && std::isspace(static_cast<unsigned char>(c));
  if (blank) return Criteria();
  Parser p(text);
  auto root = p.ParseAll();
  if (!root) return std::nullopt;
  return Criteria(root);
}

}  // namespace drossgate::platform::store::criteria
