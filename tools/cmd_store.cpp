// deliver, save, ls, show, cat, set, rm: the mailbox store as a host and an administrator use
// it. Deliveries and saves go through the same calls as the mail server's own, so they raise
// the store events; output shapes are stable, since scripts and tests read them.
#include <fcntl.h>
#include <sys/file.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "error.h"
#include "store/store.h"
#include "text.h"

namespace drossgate::tools {

namespace {

namespace store = platform::store;
using Json = nlohmann::ordered_json;

Json ToJson(const store::Value& v) {
  if (auto b = std::get_if<bool>(&v)) return *b;
  if (auto i = std::get_if<int32_t>(&v)) return *i;
  if (auto s = std::get_if<std::string>(&v)) return *s;
  return nullptr;
}

// A --prop argument: NAME=VALUE, split at the first "=", the type from a ":bool", ":int" or
// ":text" ending of NAME.
std::pair<std::string, store::Value> ParseProp(const std::string& arg) {
  size_t eq = arg.find('=');
  if (eq == std::string::npos) throw UsageError("--prop " + arg + ": expected NAME=VALUE");
  std::string name = arg.substr(0, eq);
  std::string value = arg.substr(eq + 1);
  auto strip = [&](const char* suffix) {
    if (!text::EndsWithNoCase(name, suffix)) return false;
    name.resize(name.size() - std::string_view(suffix).size());
    return true;
  };
  store::Value v = value;
  if (strip(":bool")) {
    std::string t = text::Trim(value);
    if (text::EqualsNoCase(t, "true") || t == "1")
      v = true;
    else if (text::EqualsNoCase(t, "false") || t == "0")
      v = false;
    else
      throw UsageError("--prop " + arg + ": \"" + value + "\" is not true or false");
  } else if (strip(":int")) {
    std::string t = text::Trim(value);
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(t.c_str(), &end, 10);
    if (t.empty() || *end || errno || n < std::numeric_limits<int32_t>::min() ||
        n > std::numeric_limits<int32_t>::max())
      throw UsageError("--prop " + arg + ": \"" + value + "\" is not a 32-bit integer");
    v = static_cast<int32_t>(n);
  } else {
    strip(":text");
  }
  if (name.empty()) throw UsageError("--prop " + arg + ": the property needs a name");
  return {name, v};
}

// deliver as a mail server's delivery agent: its exit status is what the server acts on, from
// sysexits.h, and 75 is the one that makes it try again later instead of bouncing.
int DeliveryStatus(const std::exception& e) {
  // A platform failure is the store busy past its timeout, an I/O error, the store or the
  // catalog unavailable: all of them pass. Anything else is a fault of this program.
  return dynamic_cast<const platform::PlatformError*>(&e) ? EX_TEMPFAIL : EX_SOFTWARE;
}

// The worse of two exit statuses: a temporary failure keeps the message with the mail server,
// so it outranks every other; success ranks lowest.
int Worse(int a, int b) {
  auto rank = [](int status) {
    switch (status) {
      case EX_OK:
        return 0;
      case EX_TEMPFAIL:
        return 5;
      case EX_SOFTWARE:
        return 4;
      case EX_NOUSER:
        return 3;
      case EX_DATAERR:
        return 2;
      default:
        return 1;
    }
  };
  return rank(b) > rank(a) ? b : a;
}

void AddDeliver(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "deliver",
      "Deliver message files into mailboxes' inboxes, raising the store events (a delivery "
      "agent: exit 0 delivered, 64 bad usage, 65 unreadable message, 67 unknown mailbox, "
      "70 internal error, 75 temporary failure, try again later)");
  struct Args {
    std::vector<std::string> to;
    std::string from;
    int32_t scl = 0;
    std::string sclHeader;
    std::vector<std::string> files;
  };
  auto a = std::make_shared<Args>();
  cmd->add_option("--to", a->to,
                  "mailbox alias or SMTP address (user+detail@domain is user@domain); repeat "
                  "for several, one delivery each")
      ->required()
      ->allow_extra_args(false);
  cmd->add_option("-f,--from", a->from, "envelope sender, recorded with each message");
  auto* sclOpt = cmd->add_option("--scl", a->scl, "spam confidence level to record");
  cmd->add_option("--scl-from-header", a->sclHeader,
                  "record the spam confidence level an upstream scanner wrote into this header "
                  "line (its leading whole number, held to -1..9)")
      ->excludes(sclOpt);
  cmd->add_option("files", a->files, "message files (- for standard input)")->required();
  cmd->callback([a, sclOpt] {
    store::admin::DeliveryOptions options;
    if (sclOpt->count() > 0) options.scl = a->scl;
    options.sclHeader = a->sclHeader;
    options.envelopeSender = a->from;
    int status = EX_OK;
    for (const std::string& file : a->files) {
      std::string source;
      try {
        source = ReadInputFile(file);
      } catch (const std::exception& e) {
        std::cerr << "drossgate-platform: " << e.what() << "\n";
        std::cout << DumpJson(Json{{"file", file}, {"error", e.what()}, {"delivered", nullptr}})
                  << std::endl;
        status = Worse(status, EX_DATAERR);
        continue;
      }
      for (const std::string& to : a->to) {
        Json line{{"file", file}, {"to", to}};
        int result = EX_OK;
        try {
          Root();
          if (!store::admin::FindMailbox(to)) {
            result = EX_NOUSER;
            line["error"] = "there is no mailbox " + to;
          } else {
            store::admin::DeliveryResult r = store::admin::Deliver(to, source, options);
            line["delivered"] = r.deliveredUrl;
            line["now"] = r.nowUrl ? Json(*r.nowUrl) : Json(nullptr);
          }
        } catch (const std::exception& e) {
          result = DeliveryStatus(e);
          line["error"] = e.what();
        }
        if (result != EX_OK) {
          line["delivered"] = nullptr;
          line["now"] = nullptr;
          std::cerr << "drossgate-platform: " << to << ": " << line["error"].get<std::string>()
                    << "\n";
        }
        status = Worse(status, result);
        std::cout << DumpJson(line) << std::endl;
      }
    }
    if (status != EX_OK) throw ExitStatus(status);
  });
}

void AddSave(CLI::App& app) {
  auto* cmd = app.add_subcommand("save", "Save a file as an item, as a client would (no delivery)");
  auto url = std::make_shared<std::string>();
  auto file = std::make_shared<std::string>();
  cmd->add_option("url", *url, "the item's URL")->required();
  cmd->add_option("file", *file, "the item's source (- for standard input)")->required();
  cmd->callback([url, file] {
    Root();
    std::cout << store::admin::SaveItem(*url, ReadInputFile(*file)) << "\n";
  });
}

void AddLs(CLI::App& app) {
  auto* cmd = app.add_subcommand("ls", "List the items in a folder, mailbox root or MBX container");
  auto url = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  auto recursive = std::make_shared<bool>(false);
  cmd->add_option("url", *url, "the folder's URL")->required();
  cmd->add_flag("--json", *json, "print a JSON array");
  cmd->add_flag("--recursive,-r", *recursive, "include everything below");
  cmd->callback([url, json, recursive] {
    Root();
    auto items = store::admin::List(*url, *recursive);
    if (*json) {
      Json out = Json::array();
      for (const auto& i : items)
        out.push_back({{"url", i.url},
                       {"name", i.name},
                       {"folder", i.folder},
                       {"hidden", i.hidden},
                       {"contentclass", i.contentClass}});
      std::cout << DumpJson(out) << "\n";
      return;
    }
    for (const auto& i : items)
      std::cout << (i.folder ? 'd' : '-') << (i.hidden ? 'h' : '-') << ' ' << Printable(i.url)
                << "\n";
  });
}

void AddShow(CLI::App& app) {
  auto* cmd = app.add_subcommand("show", "Show an item's properties, computed ones included");
  auto url = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  cmd->add_option("url", *url, "the item's URL")->required();
  cmd->add_flag("--json", *json, "print a JSON object");
  cmd->callback([url, json] {
    Root();
    auto props = store::admin::Properties(*url);
    std::string href = *url;
    for (const auto& [name, v] : props)
      if (name == "DAV:href") href = store::ValueText(v);
    if (*json) {
      Json properties = Json::object();
      for (const auto& [name, v] : props) properties[name] = ToJson(v);
      std::cout << DumpJson(Json{{"url", href}, {"properties", properties}}) << "\n";
      return;
    }
    for (const auto& [name, v] : props)
      std::cout << Printable(name) << ": " << Printable(store::ValueText(v)) << "\n";
  });
}

void AddCat(CLI::App& app) {
  auto* cmd = app.add_subcommand("cat", "Write an item's source to standard output, byte for byte");
  auto url = std::make_shared<std::string>();
  cmd->add_option("url", *url, "the item's URL")->required();
  cmd->callback([url] {
    Root();
    std::string source = store::admin::Source(*url);
    std::cout.write(source.data(), static_cast<std::streamsize>(source.size()));
    std::cout.flush();
  });
}

void AddSet(CLI::App& app) {
  auto* cmd = app.add_subcommand("set", "Create an item or folder, or change its properties");
  auto url = std::make_shared<std::string>();
  auto create = std::make_shared<std::string>();
  auto props = std::make_shared<std::vector<std::string>>();
  cmd->add_option("url", *url, "the item's URL")->required();
  cmd->add_option("--create", *create, "create the item (or folder) when it does not exist")
      ->check(CLI::IsMember({"item", "folder"}));
  cmd->add_option("--prop", *props,
                  "NAME=VALUE; NAME ending in :bool, :int or :text gives the type (default text)")
      ->allow_extra_args(false);
  cmd->callback([url, create, props] {
    Root();
    std::vector<std::pair<std::string, store::Value>> values;
    for (const std::string& p : *props) values.push_back(ParseProp(p));
    if (values.empty() && create->empty()) throw UsageError("set needs --prop or --create");
    int32_t options = store::kFailIfNotExists;
    if (*create == "folder") options = store::kCreateCollection | store::kOpenIfExists;
    if (*create == "item") options = store::kCreateNonCollection | store::kOpenIfExists;
    auto record = store::OpenRecord(*url, nullptr, store::Mode::kReadWrite, options);
    if (*create == "folder" && !record->IsCollection())
      throw UsageError(*url + " exists and is not a folder");
    if (*create == "item" && record->IsCollection())
      throw UsageError(*url + " exists and is a folder");
    auto& fields = record->GetFields();
    for (const auto& [name, v] : values) fields.Set(name, v);
    if (!values.empty() || !record->IsCollection()) fields.Update();
    std::cout << record->Url() << "\n";
    record->Close();
  });
}

void AddRm(CLI::App& app) {
  auto* cmd = app.add_subcommand("rm", "Delete an item, or a folder with everything in it");
  auto url = std::make_shared<std::string>();
  cmd->add_option("url", *url, "the item's URL")->required();
  cmd->callback([url] {
    Root();
    store::admin::Remove(*url);
  });
}

// "45s", "12m", "5h", "3d"; "-" when unknown.
std::string Age(int64_t created) {
  if (created <= 0) return "-";
  const int64_t seconds = std::max<int64_t>(0, std::time(nullptr) - created);
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) return std::to_string(seconds / 60) + "m";
  if (seconds < 86400) return std::to_string(seconds / 3600) + "h";
  return std::to_string(seconds / 86400) + "d";
}

// The pickup file a parked forward is waiting in, or null.
Json PendingPickupFile(const store::admin::ParkedItem& p) {
  std::error_code ec;
  if (p.pickupFileName.empty() ||
      !std::filesystem::exists(PickupDirectory() / p.pickupFileName, ec))
    return nullptr;
  return (PickupDirectory() / p.pickupFileName).string();
}

// Restores a parked message. A forward under way is withdrawn first: its pickup file is taken
// under the lock the pickup service takes before handing a file on, so that the service either
// has the forward already or never will, and removed once the message is back.
std::string RestoreCancellingForward(const std::string& url, const std::string& pickupFile) {
  if (pickupFile.empty()) return store::admin::RestoreParked(url);
  const std::filesystem::path file = PickupDirectory() / pickupFile;
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    platform::Fail(platform::errors::kFail,
                   "its forward is being handed on right now; try again in a moment");
  }
  try {
    const std::string restored = store::admin::RestoreParked(url);
    if (fd >= 0) unlink(file.c_str());
    if (fd >= 0) close(fd);
    return restored;
  } catch (...) {
    if (fd >= 0) close(fd);
    throw;
  }
}

void AddParked(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "parked", "Messages the sink parked for a delete or forward that was never finished");
  cmd->require_subcommand(1);
  auto* ls = cmd->add_subcommand("ls", "list them: mailbox, kind, age, sender, subject, URL");
  auto json = std::make_shared<bool>(false);
  ls->add_flag("--json", *json, "print a JSON array");
  ls->callback([json] {
    Root();
    const auto parked = store::admin::ListParked();
    if (*json) {
      Json out = Json::array();
      for (const auto& p : parked)
        out.push_back(
            {{"mailbox", p.mailbox},
             {"url", p.url},
             {"kind", p.kind},
             {"subject", p.subject},
             {"from", p.from},
             {"age_seconds", p.created > 0 ? Json(std::time(nullptr) - p.created) : Json(nullptr)},
             {"pickup", PendingPickupFile(p)}});
      std::cout << DumpJson(out) << "\n";
      return;
    }
    for (const auto& p : parked)
      std::cout << Printable(p.mailbox) << "\t" << p.kind << "\t" << Age(p.created) << "\t"
                << Printable(p.from) << "\t" << Printable(p.subject) << "\t" << Printable(p.url)
                << "\n";
  });
  auto* restore = cmd->add_subcommand(
      "restore", "move parked messages back into their inbox, visible, as if no rule matched");
  auto url = std::make_shared<std::string>();
  auto all = std::make_shared<bool>(false);
  auto* urlOpt = restore->add_option("url", *url, "the parked message's URL");
  auto* allOpt = restore->add_flag("--all", *all, "every parked message of every mailbox");
  urlOpt->excludes(allOpt);
  restore->callback([url, all] {
    Root();
    std::map<std::string, std::string> pickupFileOf;  // a forward under way: its pickup file
    for (const auto& p : store::admin::ListParked())
      if (!p.pickupFileName.empty()) pickupFileOf[p.url] = p.pickupFileName;
    std::vector<std::string> urls;
    if (*all) {
      for (const auto& p : store::admin::ListParked()) urls.push_back(p.url);
    } else if (!url->empty()) {
      urls.push_back(*url);
    } else {
      throw UsageError("parked restore needs a URL or --all");
    }
    size_t failed = 0;
    for (const std::string& u : urls) {
      Json line{{"url", u}};
      try {
        line["restored"] = RestoreCancellingForward(u, pickupFileOf[u]);
      } catch (const platform::PlatformError& e) {
        ++failed;
        line["error"] = e.description();
      }
      std::cout << DumpJson(line) << std::endl;
    }
    if (failed) throw std::runtime_error(std::to_string(failed) + " parked messages not restored");
  });
}

}  // namespace

void AddStoreCommands(CLI::App& app) {
  AddDeliver(app);
  AddSave(app);
  AddLs(app);
  AddShow(app);
  AddCat(app);
  AddSet(app);
  AddRm(app);
  AddParked(app);
}

}  // namespace drossgate::tools
