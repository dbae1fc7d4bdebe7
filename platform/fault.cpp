#include "fault.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "error.h"

namespace drossgate::platform {

namespace {

struct Faults {
  std::mutex mutex;
  bool loaded = false;
  bool any = false;
  // point -> the hit that fails (0: every hit); point -> hits so far.
  std::map<std::string, long, std::less<>> armed;
  std::map<std::string, long, std::less<>> hits;

  void Load() {
    armed.clear();
    hits.clear();
    const char* env = std::getenv("DROSSGATE_FAULTS");
    std::string spec = env ? env : "";
    size_t start = 0;
    while (start <= spec.size()) {
      size_t end = spec.find(',', start);
      if (end == std::string::npos) end = spec.size();
      std::string item = spec.substr(start, end - start);
      if (!item.empty()) {
        long nth = 0;
        if (size_t at = item.find('@'); at != std::string::npos) {
          nth = std::strtol(item.c_str() + at + 1, nullptr, 10);
          item.resize(at);
        }
        armed[item] = nth;
      }
      start = end + 1;
    }
    any = !armed.empty();
    loaded = true;
  }
};

Faults& State() {
  static Faults f;
  return f;
}

}  // namespace

bool FaultHit(std::string_view point) {
  Faults& f = State();
  std::lock_guard lock(f.mutex);
  if (!f.loaded) f.Load();
  if (!f.any) return false;
  auto it = f.armed.find(point);
  if (it == f.armed.end()) return false;
  long n = ++f.hits[std::string(point)];
  return it->second == 0 || it->second == n;
}

void FaultPoint(std::string_view point) {
  if (FaultHit(point)) Fail(errors::kFail, "injected fault at " + std::string(point));
}

void ReloadFaults() {
  Faults& f = State();
  std::lock_guard lock(f.mutex);
  f.Load();
}

}  // namespace drossgate::platform
