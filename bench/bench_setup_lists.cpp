// How long the setup program takes to list a large server's mailboxes: in its shown window (on
// Qt's offscreen platform), in batch mode on a machine without a display, and as --list, each a
// process of its own on one platform of DROSSGATE_BENCH_MAILBOXES (10,000) mailboxes, none of
// them registered (so batch mode lists and has nothing to renew). Then, for scale, batch mode
// renewing the registrations of every tenth mailbox: each one deleted and written again, each
// write committed to disk on its own, and the lists filled again after the renewal.
//
// The platform is made as an administrator would script it: drossgate-platform init, the people
// written as one LDIF file and added with drossgate-platform directory import, and their store
// mailboxes added in one store transaction through the store's admin calls.
//
//   bench_setup_lists           prints one table row per measure (the rows bench/run.sh shows)
//   bench_setup_lists --window  the shown window: loads, fills its lists, exits (timed by the
//                               parent from start to exit, as the other two are)

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "InstallForm.h"
#include "directory/directory.h"
#include "store/store.h"
#include "system/system.h"
#include "testsupport.h"
#include "text.h"

namespace {

using namespace drossgate;
namespace fs = std::filesystem;
namespace dir = platform::directory;
namespace store = platform::store;

int WindowChild(int argc, char** argv) {
  QApplication app(argc, argv);
  setup::InstallForm form(setup::SetupOptions{});
  form.Form_Load();
  form.show();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (form.globals().InitDone) QCoreApplication::quit();
  });
  poll.start(5);
  return QApplication::exec();
}

std::string First(const dir::Entry& entry, const char* name) {
  const dir::Attribute* attribute = entry.Find(name);
  return attribute && !attribute->values.empty() ? attribute->values.front() : std::string();
}

// A platform root with `count` people homed on this server, each with a store mailbox.
void MakePlatform(const fs::path& root, int count) {
  const testing::ProcessResult init =
      testing::RunPlatformTool(root, {"init", "--domain", "example.com"});
  if (init.exitCode != 0) throw std::runtime_error("init failed: " + init.err);
  platform::SetPlatformRoot(root);
  std::string home, category, domainDn;
  for (const dir::Entry& entry : dir::admin::AllEntries())
    if (text::StartsWithNoCase(First(entry, "mailNickName"), "SystemMailbox{")) {
      home = First(entry, "msExchHomeServerName");
      category = First(entry, "objectCategory");
      domainDn = entry.dn.substr(text::FindNoCase(entry.dn, ",DC=") + 1);
    }
  if (home.empty()) throw std::runtime_error("the new platform has no system mailbox");

  std::ostringstream ldif;
  std::vector<std::string> aliases;
  for (int i = 1; i <= count; ++i) {
    char alias[16], guid[33];
    std::snprintf(alias, sizeof alias, "p%05d", i);
    std::snprintf(guid, sizeof guid, "%032X", 0xB0000 + i);
    const std::string cn = std::string("Person ") + (alias + 1);
    ldif << "dn: CN=" << cn << ",CN=Users," << domainDn << "\n"
         << "objectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
         << "objectClass: user\ncn: " << cn << "\nname: " << cn << "\nsAMAccountName: " << alias
         << "\nmailNickName: " << alias << "\nmail: " << alias << "@example.com\n"
         << "msExchHomeServerName: " << home << "\nmsExchMailboxGUID: " << guid
         << "\nuserAccountControl: 512\nsAMAccountType: 805306368\nobjectCategory: " << category
         << "\n\n";
    aliases.push_back(alias);
  }
  testing::WriteFile(root / "people.ldif", ldif.str());
  const testing::ProcessResult import =
      testing::RunPlatformTool(root, {"directory", "import", (root / "people.ldif").string()});
  if (import.exitCode != 0) throw std::runtime_error("directory import failed: " + import.err);

  store::admin::Batch batch;
  for (const std::string& alias : aliases)
    store::admin::AddMailbox(alias, {alias + "@example.com"});
  batch.Commit();

  // Installed, as a server whose registrations batch mode renews is.
  testing::WriteFile(root / "rules.txt", "Spam\t\rX-Spam-Flag: YES\t\r65535");
  const testing::ProcessResult install =
      testing::RunPlatformTool(root, {"catalog", "install", "--app", "Drossgate", "--dll",
                                      (testing::BinaryDir() / "sink" / "Drossgate.so").string(),
                                      "--constructor-string-file", (root / "rules.txt").string()});
  if (install.exitCode != 0) throw std::runtime_error("catalog install failed: " + install.err);
}

// The sink's registration item in the inbox of every step-th mailbox, as the setup program
// writes it.
int RegisterEvery(int step) {
  int registered = 0;
  const std::string events = "http://schemas.microsoft.com/exchange/events/";
  const std::vector<store::admin::MailboxInfo> mailboxes = store::admin::ListMailboxes();
  for (size_t i = 0; i < mailboxes.size(); i += step) {
    if (mailboxes[i].isSystem) continue;
    auto record = store::OpenRecord(mailboxes[i].inboxUrl + "/Drossgate.reg", nullptr,
                                    store::Mode::kReadWrite, store::kCreateOverwrite);
    store::Fields& fields = record->GetFields();
    fields.Set("DAV:contentclass", std::string("urn:content-class:storeeventreg"));
    fields.Set(events + "EventMethod", std::string("onsyncsave"));
    fields.Set(events + "SinkClass", std::string("Drossgate.DrossgateCls"));
    fields.Set(events + "MatchScope", std::string("SHALLOW"));
    fields.Set(events + "criteria", std::string(" WHERE \"DAV:ishidden\" = FALSE"));
    fields.Set(events + "priority", std::string("65535"));
    fields.Set("DAV:ishidden", true);
    fields.Update();
    record->Close();
    ++registered;
  }
  return registered;
}

// Seconds from start to exit; the process must end with status 0.
double Timed(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  const auto started = std::chrono::steady_clock::now();
  const testing::ProcessResult result = testing::RunProcess(argv, env);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  if (result.exitCode != 0)
    throw std::runtime_error(argv[0] + " " + argv.back() + " failed (" +
                             std::to_string(result.exitCode) + "): " + result.err);
  return took.count();
}

void Row(const std::string& measure, const std::string& result, const std::string& target,
         const std::string& verdict) {
  std::printf("| %-56s | %-22s | %-12s | %-6s |\n", measure.c_str(), result.c_str(), target.c_str(),
              verdict.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--window") return WindowChild(argc, argv);
  const char* wanted = std::getenv("DROSSGATE_BENCH_MAILBOXES");
  const int count = wanted ? std::atoi(wanted) : 10000;
  testing::TempDir root;
  testing::TempDir work;
  fs::current_path(work.path());
  std::cerr << "== Making a platform of " << count << " mailboxes" << std::endl;
  MakePlatform(root.path(), count);

  const std::string setup = (testing::BinaryDir() / "setup" / "DrossgateSetup").string();
  const std::string self = fs::canonical("/proc/self/exe").string();
  const std::string runtime = (work.path() / "runtime").string();
  fs::create_directory(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  // Every run as a scheduled job would start it: no display, no toolkit settings.
  const std::map<std::string, std::string> headless = {{"DROSSGATE_PLATFORM", root.path().string()},
                                                       {"QT_QPA_PLATFORM", ""},
                                                       {"DISPLAY", ""},
                                                       {"WAYLAND_DISPLAY", ""}};
  std::map<std::string, std::string> offscreen = headless;
  offscreen["QT_QPA_PLATFORM"] = "offscreen";
  offscreen["XDG_RUNTIME_DIR"] = runtime;

  std::cerr << "== --list" << std::endl;
  const double list = Timed({setup, "--list"}, headless);
  std::cerr << "== the shown window" << std::endl;
  const double window = Timed({self, "--window"}, offscreen);
  std::cerr << "== batch mode" << std::endl;
  const double batch = Timed({setup, "-b"}, headless);

  const int registered = RegisterEvery(10);
  std::cerr << "== batch mode renewing " << registered << " registrations" << std::endl;
  const double renewal = Timed({setup, "-b"}, headless);

  auto seconds = [](double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return std::string(text);
  };
  auto times = [&](double s) {
    char text[48];
    std::snprintf(text, sizeof text, "%.1f s (%.2fx)", s, s / list);
    return std::string(text);
  };
  const std::string n = std::to_string(count);
  Row("Setup, listing " + n + " mailboxes: `--list`", seconds(list), "", "");
  Row("Setup, listing " + n + " mailboxes: shown window", times(window), "<= 3x --list",
      window <= 3 * list ? "met" : "missed");
  Row("Setup, listing " + n + " mailboxes: batch mode, no display", times(batch), "<= 2x --list",
      batch <= 2 * list ? "met" : "missed");
  Row("  the same, renewing " + std::to_string(registered) + " registrations", times(renewal), "",
      "");
  return 0;
}
