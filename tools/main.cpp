// drossgate-platform: the platform's host and admin tool.
#include <sys/stat.h>
#include <sysexits.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "basRegistry.h"
#include "cli.h"
#include "error.h"
#include "system/atomic_file.h"
#include "system/registry.h"
#include "system/system.h"

namespace drossgate::tools {

std::filesystem::path Root() {
  std::filesystem::path root = platform::PlatformRoot();
  // A root made under a loose umask, or by an older version, is made private on first use.
  static const bool tightened = (platform::TightenRootModes(root), true);
  (void)tightened;
  return root;
}

std::filesystem::path PickupDirectory() {
  using namespace platform::registry;
  Key key = 0;
  if (OpenKey(Hive::kLocalMachine, common::kSharesKey, key) == kSuccess) {
    std::vector<std::string> entries;
    Status st = QueryMultiString(key, common::kPickupShare, entries);
    CloseKey(key);
    std::string data;
    for (const std::string& e : entries) data += e + '\0';
    // Read as the sink reads it, so that both find the same folder.
    if (st == kSuccess) {
      std::string path = common::ParseSharePath(data);
      if (!path.empty()) return path;
    }
  }
  return Root() / "pickup";
}

std::string ReadInputFile(const std::string& path) {
  if (path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string DumpJson(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Printable(std::string_view s, bool escapeBackslash) {
  std::string out;
  for (char c : s) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\' && escapeBackslash) {
      out += "\\\\";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace drossgate::tools

int main(int argc, char** argv) {
  using namespace drossgate;
  // Whatever this process creates (the store's files among them) is its owner's alone.
  umask(077);
  CLI::App app{"drossgate-platform: host and admin tool of the Drossgate stand-in platform"};
  app.require_subcommand(1);
  app.add_option_function<std::string>(
         "--root", [](const std::string& dir) { platform::SetPlatformRoot(dir); },
         "platform root folder (default: $DROSSGATE_PLATFORM)")
      ->trigger_on_parse();
  tools::AddInitCommand(app);
  tools::AddStoreCommands(app);
  tools::AddCatalogCommands(app);
  tools::AddRegistryCommands(app);
  tools::AddSmtpCommand(app);
  tools::AddQueueCommands(app);
  tools::AddLmtpCommand(app);
  tools::AddImapCommand(app);
  tools::AddDirectoryCommands(app);
  tools::AddLogCommands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // A delivery agent's bad usage is EX_USAGE, which a mail server knows.
    const CLI::App* deliver = app.get_subcommand("deliver");
    if (e.get_exit_code() != 0 && deliver->parsed()) {
      app.exit(e);
      return EX_USAGE;
    }
    if (e.get_exit_code() != 0 && app.get_subcommand("log")->parsed()) {
      app.exit(e);
      return 2;
    }
    return app.exit(e);
  } catch (const tools::ExitStatus& e) {
    return e.code;
  } catch (const tools::UsageError& e) {
    std::cerr << "drossgate-platform: " << e.what() << "\n";
    return 2;
  } catch (const platform::PlatformError& e) {
    std::cerr << "drossgate-platform: error " << e.number() << ": " << e.description() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "drossgate-platform: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
