#pragma once
// The main window's rule grid as records: four rows of condition, action and target, and the
// priority. What the grid itself adds to the rule codec in common/: its defaults, a row that
// loses its condition, and reading an installed constructor string back into what it shows.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "rules.h"

namespace drossgate::setup {

class RuleRows {
 public:
  static constexpr size_t kCount = 4;

  // As the window starts: the first row filters on the spam flag into "Spam".
  RuleRows();

  std::array<common::rules::Row, kCount> rows;
  std::string priority;

  // A condition that becomes blank resets its row: no target, "move to folder".
  void SetCondition(size_t row, const std::string& condition);
  // Shows what an installed constructor string holds; a line it lacks leaves the defaults (the
  // priority: the one shown, else the default).
  void ShowConstructorString(std::string_view constructorString);

  // The constructor string with the targets as they are to be shown afterwards.
  common::rules::Build Build() const;
  // What deserves a warning before the rules are written.
  std::vector<std::string> Warnings() const;
};

}  // namespace drossgate::setup
