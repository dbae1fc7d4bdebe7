#pragma once
// The criteria of an event registration: a WHERE clause of comparisons between quoted
// property names and literals (TRUE, FALSE, 'text', numbers), with = <> != < > <= >=,
// IS [NOT] NULL, AND, OR, NOT and parentheses. Text compares without regard to case; a
// comparison with a missing property is unknown, which never satisfies the criteria. Text
// that does not parse gives no criteria at all (the registration is then not used).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "store/store.h"

namespace drossgate::platform::store::criteria {

struct Node;

class Criteria {
 public:
  Criteria() = default;  // matches every item
  explicit Criteria(std::shared_ptr<const Node> root) : root_(std::move(root)) {}
  // lookup gives a property's value by its lookup key (names::PropertyKey), nullopt if absent.
  bool Matches(const std::function<std::optional<Value>(const std::string&)>& lookup) const;

 private:
  std::shared_ptr<const Node> root_;
};

// Blank text (or absent criteria) matches everything; nullopt when text cannot be parsed.
std::optional<Criteria> Parse(std::string_view text);

}  // namespace drossgate::platform::store::criteria
