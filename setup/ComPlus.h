#pragma once
// The sink's component application in the catalog, as the window sees it: reading an
// installed configuration back into the rule rows and the priority. Catalog failures never
// escape: each operation stops at its first failure and adds one entry to the error log.

#include <filesystem>
#include <string>

namespace drossgate::setup {

class InstallForm;

inline constexpr const char* kApplicationName = "Drossgate";

// The sink library that installation takes: the current directory's Drossgate.so.
std::filesystem::path SinkLibraryPath();

// The three lines of a constructor string (targets, conditions, priority), each trimmed; all
// empty when the string has no carriage return after its first character.
struct ConstructorLines {
  std::string targets;
  std::string conditions;
  std::string priority;
};
ConstructorLines SplitConstructorString(const std::string& constructorString);

// How a stored target is shown: the action its form implies and the text for the target box.
struct ShownTarget {
  int action = 0;
  std::string text;
};
ShownTarget ShowTarget(const std::string& target);

// Finds the application appName (any case); when found, identity receives the account it runs
// as and the component's constructor string is shown in the rows and the priority box. A
// missing application shows the defaults. True when the application exists.
bool ReadComPlusConfiguration(InstallForm& form, const std::string& appName, std::string& identity);

}  // namespace drossgate::setup
