#pragma once
// Private pieces of the access layer that the dispatcher, the admin API and the mail clients'
// view share.

#include <memory>
#include <optional>
#include <string>

#include "store/engine.h"
#include "store/store.h"

namespace drossgate::platform::store {

// A read-write record on the item with id, wherever it is now; raises errors::kNotFound when
// the item no longer exists.
std::shared_ptr<Record> OpenRecordById(Engine& engine, int64_t id);

// Raises errors::kNotOpen, as every access object does when used after Close.
[[noreturn]] void FailClosed();

namespace admin {
// The properties a delivered or saved message gets from its source (mail clients' saves too).
void WriteMessageProperties(Session& s, int64_t id, const ParsedMessage& m,
                            std::optional<int32_t> scl, const std::string& envelopeSender = {});
}  // namespace admin

}  // namespace drossgate::platform::store
