#pragma once
// A store record held in memory, for testing what the sink reads and writes on one item
// without a store behind it.

#include <map>
#include <string>
#include <vector>

#include "error.h"
#include "store/store.h"
#include "text.h"

namespace drossgate::testing {

namespace store = platform::store;

class FakeFields : public store::Fields {
 public:
  std::map<std::string, store::Value> values;  // keys lower-cased

  static std::string Key(const std::string& name) { return text::ToLower(name); }
  int32_t Count() const override { return static_cast<int32_t>(values.size()); }
  std::vector<std::string> Names() const override {
    std::vector<std::string> n;
    for (const auto& [k, v] : values) n.push_back(k);
    return n;
  }
  store::Value Get(const std::string& name) const override {
    auto it = values.find(Key(name));
    if (it == values.end()) platform::Fail(platform::errors::kFieldMissing, "no field " + name);
    return it->second;
  }
  bool Has(const std::string& name) const override { return values.count(Key(name)) > 0; }
  void Set(const std::string& name, const store::Value& v) override { values[Key(name)] = v; }
  void Append(const std::string& name, int32_t, int32_t, int32_t, const store::Value& v) override {
    values[Key(name)] = v;
  }
  void Delete(const std::string& name) override { values.erase(Key(name)); }
  void Update() override {}
};

class FakeRecord : public store::Record {
 public:
  FakeFields fields;
  std::string url = "file://./backofficestorage/example.com/MBX/alice/Inbox/1.EML";
  std::string parent = "file://./backofficestorage/example.com/MBX/alice/Inbox";

  store::Fields& GetFields() override { return fields; }
  std::string Url() const override { return url; }
  std::string ParentUrl() const override { return parent; }
  bool IsCollection() const override { return false; }
  std::string MoveRecord(const std::string&, const std::string& dst, bool) override {
    url = dst;
    return dst;
  }
  void DeleteRecord(const std::string&) override {}
  void Close() override {}
};

}  // namespace drossgate::testing
