#pragma once
// Private pieces of the access layer that the dispatcher and the admin API share.

#include <memory>

#include "store/engine.h"
#include "store/store.h"

namespace drossgate::platform::store {

// A read-write record on the item with id, wherever it is now; raises errors::kNotFound when
// the item no longer exists.
std::shared_ptr<Record> OpenRecordById(Engine& engine, int64_t id);

// Raises errors::kNotOpen, as every access object does when used after Close.
[[noreturn]] void FailClosed();

}  // namespace drossgate::platform::store
