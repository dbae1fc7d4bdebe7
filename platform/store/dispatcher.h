#pragma once
// The synchronous event dispatcher. A save runs the begin phase of every registration that
// covers the item, inside the save's transaction and on the saving thread; the committed or
// aborted phase follows at the end of the outermost transaction for exactly those sinks (through
// the session's end-of-transaction hooks). A sink's failure never fails the save: every call
// into a sink is contained here.

#include <cstdint>

#include "store/engine.h"

namespace drossgate::platform::store::dispatcher {

// Saves made by sinks nest at most this deep; deeper ones are stored without events.
inline constexpr int kMaxNesting = 8;

// The begin phase for a save of item (flags: EVT_IS_DELIVERED for deliveries; the folder flag
// is added here). Returns whether any sink was called.
bool OnSave(Session& s, int64_t item, int32_t flags);
// Whether an event for item is being delivered to a sink on this thread right now.
bool IsRunning(Session& s, int64_t item);
// Asks the sink class of the registration item whether it accepts the registration and marks
// the item refused when it does not (or cannot be asked).
void RegisterItem(Session& s, int64_t item);

}  // namespace drossgate::platform::store::dispatcher
