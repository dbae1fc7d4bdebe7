// query and directory import: the directory as its callers see it, and adding entries to it.
// query runs through the same connection, command and record set as the setup tool and the
// sink, so a query that works here works there.
#include <cstdio>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "directory/directory.h"
#include "error.h"
#include "text.h"

namespace drossgate::tools {

namespace {

namespace dir = platform::directory;
using Json = nlohmann::ordered_json;

Json ToJson(const dir::Value& v) {
  if (v.IsNull()) return nullptr;
  if (v.IsMultiValued()) {
    Json a = Json::array();
    for (const std::string& s : v.Values()) a.push_back(s);
    return a;
  }
  if (v.IsInteger()) {
    if (auto n = v.Int32()) return *n;
  }
  return v.Text();
}

// A --prop argument: NAME=VALUE; the value is a number, true/false, or else text.
std::pair<std::string, dir::PropertyValue> ParseProperty(const std::string& arg) {
  const size_t eq = arg.find('=');
  if (eq == std::string::npos || eq == 0)
    throw UsageError("--prop " + arg + ": expected NAME=VALUE");
  const std::string name = arg.substr(0, eq);
  const std::string value = text::Trim(arg.substr(eq + 1));
  if (text::EqualsNoCase(value, "true")) return {name, true};
  if (text::EqualsNoCase(value, "false")) return {name, false};
  if (auto n = dir::Value::Text(value).Int32()) return {name, *n};
  return {name, value};
}

struct QueryOptions {
  std::string text;
  bool json = false;
  std::vector<std::string> properties;
};

void RunQuery(const QueryOptions& o) {
  auto conn = dir::CreateConnection();
  conn->SetProvider(dir::kProvider);
  conn->Open("Active Directory Provider", "", "", -1);
  auto cmd = dir::CreateCommand();
  cmd->SetActiveConnection(conn.get());
  cmd->SetCommandText(o.text);
  for (const std::string& p : o.properties) {
    auto [name, value] = ParseProperty(p);
    cmd->SetProperty(name, value);
  }
  auto rows = cmd->Execute(-1);
  const std::vector<std::string> fields = rows->FieldNames();
  if (o.json) {
    Json out = Json::array();
    for (; !rows->IsEof(); rows->MoveNext()) {
      Json row = Json::object();
      for (const std::string& f : fields) row[f] = ToJson(rows->Field(f));
      out.push_back(std::move(row));
    }
    std::cout << DumpJson(out) << "\n";
  } else {
    std::string header;
    for (const std::string& f : fields) header += (header.empty() ? "" : "\t") + f;
    std::cout << header << "\n";
    for (; !rows->IsEof(); rows->MoveNext()) {
      std::string line;
      for (size_t i = 0; i < fields.size(); ++i) {
        std::string cell;
        for (const std::string& v : rows->Field(fields[i]).Values())
          cell += (cell.empty() ? "" : ";") + Printable(v);
        line += (i ? "\t" : "") + cell;
      }
      std::cout << line << "\n";
    }
  }
  rows->Close();
  conn->Close();
}

void Import(const std::string& file) {
  const std::string text = ReadInputFile(file);
  std::vector<dir::Entry> entries =
      dir::admin::ParseLdif(text, file == "-" ? "standard input" : file);
  if (entries.empty()) throw UsageError(file + " holds no entries");
  dir::admin::AddEntries(entries);
  std::cout << DumpJson(Json{{"imported", entries.size()}}) << "\n";
}

}  // namespace

void AddDirectoryCommands(CLI::App& app) {
  auto q = std::make_shared<QueryOptions>();
  auto* query =
      app.add_subcommand("query", "Run a directory query: SELECT attrs FROM 'GC://host' WHERE ...");
  query->add_option("text", q->text, "the query text")->required();
  query->add_flag("--json", q->json, "print an array of objects (absent attributes as null)");
  query->add_option("--prop", q->properties,
                    "a command property, e.g. \"Size Limit=10\" (repeatable)");
  query->callback([q] { RunQuery(*q); });

  auto* directory = app.add_subcommand("directory", "The directory's data")->require_subcommand(1);
  auto file = std::make_shared<std::string>();
  auto* import =
      directory->add_subcommand("import", "Add the entries of an LDIF file (all or none)");
  import->add_option("file", *file, "LDIF file, - for standard input")->required();
  import->callback([file] { Import(*file);
});
}  // namespace drossgate::tools

}  // namespace drossgate::tools
