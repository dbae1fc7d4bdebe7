#pragma once
// GUID text for the names of items the sink moves: 32 upper-case hexadecimal digits, no
// braces or hyphens. CreateGuidText gives an empty string when the generator fails.

#include <string>

#include "com/com.h"

namespace drossgate::sink {

std::string FormatGuidText(const platform::com::Guid& g);
std::string CreateGuidText();

}  // namespace drossgate::sink
