// Registration criteria: what parses, and what an item with given properties satisfies.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <utility>

#include "store/criteria.h"
#include "store/names.h"

namespace drossgate::platform::store {
namespace {

TEST(StoreCriteriaTest, CriteriaAgainstAnItem) {
  // The item: not hidden (no flag stored), subject "Hello", SCL 5, a Boolean set true.
  const std::map<std::string, Value> item = {
      {names::PropertyKey("urn:schemas:httpmail:subject"), std::string("Hello")},
      {names::PropertyKey("http://schemas.microsoft.com/mapi/proptag/0x40760003"), int32_t{5}},
      {names::PropertyKey("urn:x:flag"), true},
      {names::PropertyKey("urn:x:numtext"), std::string("12")},
      {"dav:ishidden", false},
  };
  auto lookup = [&](const std::string& key) -> std::optional<Value> {
    auto it = item.find(key);
    if (it == item.end()) return std::nullopt;
    return it->second;
  };
  // Each criteria text and whether the item matches it; nullopt: the text does not parse.
  const std::pair<const char*, std::optional<bool>> cases[] = {
      {" WHERE \"DAV:ishidden\" = FALSE", true},
      {"WHERE \"http://schemas.microsoft.com/mapi/proptag/x67aa000b\" = false", true},
      {"WHERE \"urn:schemas:httpmail:subject\" = 'hello'", true},
      {"WHERE \"urn:schemas:httpmail:subject\" <> 'Hello'", false},
      {"WHERE \"http://schemas.microsoft.com/mapi/proptag/x40760003\" >= 5", true},
      {"WHERE \"urn:x:numtext\" = 12", true},
      {"WHERE \"urn:x:flag\" = TRUE AND \"DAV:ishidden\" = FALSE", true},
      {"WHERE (\"urn:x:flag\" = FALSE OR \"urn:x:flag\" = TRUE) AND NOT \"DAV:ishidden\" = TRUE",
       true},
      {"WHERE \"urn:x:missing\" = 'x'", false},
      {"WHERE \"urn:x:missing\" <> 'x'", false},
      {"WHERE NOT \"urn:x:missing\" = 'x'", false},
      {"WHERE \"urn:x:missing\" IS NULL", true},
      {"WHERE 'it''s' = 'IT''S'", true},
      {"", true},
      {"WHERE \"DAV:ishidden\" = ", std::nullopt},
      {"SELECT * WHERE \"DAV:ishidden\" = FALSE", std::nullopt},
  };
  for (const auto& [text, matches] : cases) {
    SCOPED_TRACE(text);
    auto parsed = criteria::Parse(text);
    ASSERT_EQ(parsed.has_value(), matches.has_value());
    if (parsed) {
      EXPECT_EQ(parsed->Matches(lookup), *matches);
    }
  }
}

}  // namespace
}  // namespace drossgate::platform::store
