#pragma once
// The IMAP wire grammar of one assembled command (its text with the literals inside, as
// received): tags, atoms, quoted strings, literals, lists, sequence sets, and the modified UTF-7
// of mailbox names. Malformed input raises SyntaxError, whose text is a short reason fit for a
// BAD response; nothing here reads past the command or throws anything else.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace drossgate::tools::imap {

class SyntaxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One range of a sequence set as written (either order); 0 stands for "*".
struct SeqRange {
  uint32_t first = 0;
  uint32_t last = 0;
};
using SequenceSet = std::vector<SeqRange>;

// Whether n lies in set when "*" is largest.
bool InSet(const SequenceSet& set, uint32_t n, uint32_t largest);
// The largest explicit number of set (0 when it names only "*").
uint32_t LargestNumber(const SequenceSet& set);

class Reader {
 public:
  explicit Reader(std::string_view command) : text_(command) {}

  // Nothing but the final line end is left.
  bool AtEnd() const;
  bool Peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  bool PeekDigit() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }
  bool Take(char c);
  void Expect(char c);
  void Space() { Expect(' '); }
  void End();  // SyntaxError unless AtEnd

  std::string Tag();
  std::string Atom();     // 1*ATOM-CHAR
  std::string String();   // quoted or literal
  std::string AString();  // atom (']' allowed), quoted or literal
  std::optional<std::string> NString();
  std::string ListMailbox();  // an astring that may hold the wildcards % and *
  uint32_t Number();          // a non-zero 32-bit number unless zero is allowed
  uint32_t Number0();
  SequenceSet Sequence();
  // Characters up to (not including) one of stop, at least one; for fetch attributes.
  std::string Until(std::string_view stop);

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// "{n}" or "{n+}" ending a command line: the literal that follows it.
struct LiteralMarker {
  uint64_t size = 0;
  bool synchronising = true;
};
std::optional<LiteralMarker> LiteralAtEnd(std::string_view line);

// A string for a response: quoted when it is short 7-bit text without CR or LF, otherwise
// a literal; NULs, which neither may carry, are left out.
std::string Quote(std::string_view s);
std::string NQuote(const std::optional<std::string>& s);
// An atom when s can be one, else Quote(s).
std::string AtomOrQuote(std::string_view s);

// Mailbox names: modified UTF-7 on the wire, UTF-8 in the store. Decoding refuses what is not
// modified UTF-7 (8-bit bytes, bad base64, encoded printable ASCII); encoding takes valid UTF-8.
std::optional<std::string> DecodeMailboxName(std::string_view wire);
std::optional<std::string> EncodeMailboxName(std::string_view utf8);

}  // namespace drossgate::tools::imap
