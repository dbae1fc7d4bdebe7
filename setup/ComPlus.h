#pragma once
// The sink's component application in the catalog: installing it with the rule rows'
// constructor string, reconfiguring and removing it, reading an installed configuration back,
// and telling whether the installation is damaged. Catalog failures never escape: each operation
// stops at its first failure and adds one entry to the error log.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace drossgate::setup {

class ErrorLog;

inline constexpr const char* kApplicationName = "Drossgate";

// The sink library that installation takes: the current directory's Drossgate.so.
std::filesystem::path SinkLibraryPath();

// What the catalog holds of the application appName (any case): the account it runs as and its
// sink component's constructor string (empty unless construction is enabled and a string set).
// A catalog failure adds one entry to log and leaves read false.
struct InstalledConfiguration {
  bool found = false;  // the application exists
  bool read = false;   // the catalog was read to the end
  std::string identity;
  std::string constructorString;
};
InstalledConfiguration ReadComPlusConfiguration(ErrorLog& log, const std::string& appName);

// Creates the application appName running as identity (both trimmed, set only when neither is
// empty), installs the sink library into it and hands its sink component constructorString.
// A failure stops the installation where it happened (what was saved stays) and adds one
// entry to log; password never appears in that entry.
void InstallComPlusApplication(ErrorLog& log, const std::string& appName,
                               const std::string& identity, const std::string& password,
                               const std::string& constructorString);
// Hands the sink component of the installed application appName (any case) a new
// constructorString, with construction enabled; the application, its identity and password
// stay as they are. New sink instances get the new string. A failure, a missing application or
// component included, adds one entry to log.
void ReconfigureComPlusApplication(ErrorLog& log, const std::string& appName,
                                   const std::string& constructorString);
// Removes the application appName (any case) with its components; none of that name is no
// error. A failure adds one entry to log.
void UninstallComPlusApplication(ErrorLog& log, const std::string& appName);

// What the catalog holds of the sink, read without changing anything. Damaged: the store
// would create the sink without its rules, or not at all, so mail goes unfiltered.
struct Installation {
  enum State { kNotInstalled, kInstalled, kDamaged };
  State state = kNotInstalled;
  std::string reason;              // what is missing or damaged
  bool catalogUnreadable = false;  // the catalog file itself is missing or not a catalog
};
Installation CheckInstallation(const std::string& appName);
// "not installed", "installed" or "damaged".
const char* StateName(Installation::State state);
// How the error log and the messages name a damaged installation.
std::string DamageText(const Installation& installation);
// Removes a damaged installation: every application appName (any case), or an unreadable
// catalog file, which is set aside (renamed, never deleted) for a new, empty one. False when
// nothing was damaged. A failure adds one entry to log.
bool RemoveDamagedInstallation(ErrorLog& log, const std::string& appName);

inline constexpr const char* kFillIdentityMessage = "Please fill the Identity and Password fields";

}  // namespace drossgate::setup
