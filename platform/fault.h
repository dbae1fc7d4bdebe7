#pragma once
// Fault injection for tests: a named point fails when the environment variable
// DROSSGATE_FAULTS lists it, so a test can make one platform step fail in a child process
// without touching file modes. Format: comma-separated "point" (every hit fails) or
// "point@N" (only the N-th hit in this process fails). Unlisted points cost one lookup.

#include <string_view>

namespace drossgate::platform {

// True when this hit of the point is to fail.
bool FaultHit(std::string_view point);
// Raises PlatformError(errors::kFail, "injected fault at <point>") when FaultHit(point).
void FaultPoint(std::string_view point);
// Re-reads DROSSGATE_FAULTS and resets the hit counters (for in-process tests).
void ReloadFaults();

}  // namespace drossgate::platform
