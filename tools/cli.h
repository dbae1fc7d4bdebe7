#pragma once
// Pieces shared by the subcommands of drossgate-platform. Each service adds its subcommands
// to the app; a handler reports failure by throwing (PlatformError, or UsageError for bad
// input), and main turns that into a message on stderr and a non-zero exit.

#include <filesystem>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace drossgate::tools {

// Bad input the user can fix: printed as "drossgate-platform: <message>", exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A command that has printed its own messages and ends with this exit status.
struct ExitStatus {
  int code;
};

// The platform root chosen by --root or DROSSGATE_PLATFORM (raises when neither is set).
std::filesystem::path Root();
// The pickup folder: the PickUp share's path from the registry, else the root's own.
std::filesystem::path PickupDirectory();
// Whole file, byte for byte; "-" is standard input. Raises UsageError when unreadable.
std::string ReadInputFile(const std::string& path);

// One line of JSON output; text that is not UTF-8 is shown with replacement characters.
std::string DumpJson(const nlohmann::ordered_json& j);
// Control characters as escapes (\t, \r, \n, \xNN), so that a value stays in its column
// and on its line; escapeBackslash also doubles "\" so the escapes cannot be mistaken.
std::string Printable(std::string_view s, bool escapeBackslash = false);

void AddInitCommand(CLI::App& app);        // init [--demo], mailbox add
void AddStoreCommands(CLI::App& app);      // deliver, save, ls, show, cat, set, rm, parked
void AddCatalogCommands(CLI::App& app);    // catalog ls|show|install|uninstall
void AddRegistryCommands(CLI::App& app);   // registry get|set
void AddSmtpCommand(CLI::App& app);        // smtp [--once]
void AddQueueCommands(CLI::App& app);      // queue ls|retry|drop
void AddLmtpCommand(CLI::App& app);        // lmtp [--listen ...|--stdio]
void AddImapCommand(CLI::App& app);        // imap [--listen ...] [--tls-listen ...]|--stdio
void AddDirectoryCommands(CLI::App& app);  // query, directory import
void AddLogCommands(CLI::App& app);        // log [--follow ...], log prune

}  // namespace drossgate::tools
