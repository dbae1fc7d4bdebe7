#pragma once
// The one error type every platform service raises: a signed error number (HRESULT-style,
// negative for failures) and the description the failing component gives. Callers that must
// skip a failing step catch this type; anything else escaping a service is a bug.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace drossgate::platform {

class PlatformError : public std::runtime_error {
 public:
  PlatformError(int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int32_t number() const { return number_; }
  std::string description() const { return what(); }

 private:
  int32_t number_;
};

// Error numbers the platform uses, as the real services report them.
namespace errors {
inline constexpr int32_t kFail = static_cast<int32_t>(0x80004005);           // unspecified
inline constexpr int32_t kNotFound = static_cast<int32_t>(0x80040E19);       // object absent
inline constexpr int32_t kAlreadyExists = static_cast<int32_t>(0x80040E98);  // create failed
inline constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057);
inline constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005);
inline constexpr int32_t kFieldMissing = static_cast<int32_t>(0x800A0CC1);   // item not found in collection
inline constexpr int32_t kNotOpen = static_cast<int32_t>(0x800A0E78);        // operation on closed object
inline constexpr int32_t kFileExists = static_cast<int32_t>(0x800A0BBC);     // stream save refused
inline constexpr int32_t kFileWrite = static_cast<int32_t>(0x800A0BBD);
inline constexpr int32_t kServerDown = static_cast<int32_t>(0x8007203A);     // directory unreachable
inline constexpr int32_t kNoSuchObject = static_cast<int32_t>(0x80072030);   // directory object absent
inline constexpr int32_t kBadQuery = static_cast<int32_t>(0x80040E14);       // query text refused
inline constexpr int32_t kClassNotRegistered = static_cast<int32_t>(0x80040154);
inline constexpr int32_t kCorrupt = static_cast<int32_t>(0x8007000D);        // data file unreadable
inline constexpr int32_t kBadPathname = static_cast<int32_t>(0x80005000);    // directory path malformed
inline constexpr int32_t kPropertyNotFound = static_cast<int32_t>(0x8000500D);  // attribute absent
inline constexpr int32_t kNoCurrentRecord = static_cast<int32_t>(0x800A0BCD);  // record set at BOF/EOF
inline constexpr int32_t kLogonFailure = static_cast<int32_t>(0x8007052E);  // credentials refused
inline constexpr int32_t kTimeLimit = static_cast<int32_t>(0x80072022);     // directory time limit
}  // namespace errors

[[noreturn]] inline void Fail(int32_t number, const std::string& description) {
  throw PlatformError(number, description);
}

// Runs one step whose failure the caller's behaviour says to skip: a PlatformError is
// swallowed and reported as false. Other exceptions are bugs and pass through.
template <typename Step>
bool SkipOnError(Step&& step) {
  try {
    step();
    return true;
  } catch (const PlatformError&) {
    return false;
  }
}

// The value a step yields, or fallback when the step fails with a PlatformError.
template <typename T, typename Step>
T ValueOr(T fallback, Step&& step) {
  try {
    return step();
  } catch (const PlatformError&) {
    return fallback;
  }
}

}  // namespace drossgate::platform
