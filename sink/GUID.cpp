#include "GUID.h"

#include <cstdio>

#include "system/system.h"

namespace drossgate::sink {

std::string FormatGuidText(const platform::com::Guid& g) {
  char buf[33];
  std::snprintf(buf, sizeof buf, "%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X", g.data1, g.data2,
                g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5],
                g.data4[6], g.data4[7]);
  return buf;
}

std::string CreateGuidText() {
  auto g = platform::CreateGuid();
  return g ? FormatGuidText(*g) : std::string();
}

}  // namespace drossgate::sink
