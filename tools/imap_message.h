#pragma once
// What IMAP shows of one stored message source: ENVELOPE and BODYSTRUCTURE (header fields read
// with GMime), the exact bytes of any body section (slices of the source, never re-encoded, so
// that sizes and signatures stay true), and its text for SEARCH. Any source gives well-formed
// answers; a section that is not there is nullopt, never an error.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drossgate::tools::imap {

// A body section as FETCH names it: BODY[1.2.HEADER.FIELDS (Subject)] is part {1, 2}, text
// "HEADER.FIELDS" and fields {"Subject"}. text is "", "HEADER", "HEADER.FIELDS",
// "HEADER.FIELDS.NOT", "TEXT" or "MIME", upper case.
struct Section {
  std::vector<uint32_t> part;
  std::string text;
  std::vector<std::string> fields;
};

class Message {
 public:
  explicit Message(std::string source);
  ~Message();
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  const std::string& source() const { return source_; }
  std::string Envelope() const;
  // BODYSTRUCTURE when extended, else BODY.
  std::string BodyStructure(bool extended) const;
  std::optional<std::string> SectionBytes(const Section& section) const;

  // For SEARCH: the fields named name, decoded to UTF-8 (nullopt when there is none); the
  // decoded text of its text parts; the day (days since 1970-01-01) of its Date field.
  std::optional<std::string> HeaderText(std::string_view name) const;
  std::string BodyText() const;
  std::optional<int64_t> SentDay() const;

  struct Entity;

 private:
  std::string source_;
  std::unique_ptr<Entity> root_;
};

}  // namespace drossgate::tools::imap
