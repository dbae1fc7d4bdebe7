#pragma once
// Fault injection for tests: one table of the steps a test can make fail (store steps that
// raise, and system calls that fail with the errno a full disk or a read-only folder gives).
// A step fails when the environment variable DROSSGATE_FAULTS lists its name: comma-separated
// "name" (every hit fails) or "name@N" (only the N-th hit in this process fails). The table is
// compiled in only when DROSSGATE_FAULT_INJECTION is set (test builds); otherwise every check
// is a constant false. Checking an unarmed step takes no lock.

namespace drossgate::platform {

enum class Fault : unsigned char {
  kNone,
  kStoreCommit,
  kStoreFieldsUpdate,
  kStoreMessageOpen,
  kStoreRecordDelete,
  kStoreRecordMove,
  kStoreRecordOpen,
  kStoreStreamSave,
  // System calls of the message stream's file: creating it (EROFS), writing it (ENOSPC).
  kStoreStreamCreate,
  kStoreStreamWrite,
  kDirectoryRead,
  kDirectoryWrite,
  kRegistryWrite,
  kGuidCreate,
  kCount
};

#ifdef DROSSGATE_FAULT_INJECTION
// True when this hit of the step is to fail.
bool FaultHit(Fault step);
// Re-reads DROSSGATE_FAULTS and resets the hit counters (for in-process tests; not while
// other threads pass fault points).
void ReloadFaults();
#else
constexpr bool FaultHit(Fault) {
  return false;
}
inline void ReloadFaults() {}
#endif

// Raises PlatformError(errors::kFail, "injected fault at <name>") when FaultHit(step).
void FaultPoint(Fault step);
// For a system-call step: the errno it fails with when FaultHit(step), else 0.
int SyscallFault(Fault step);

}  // namespace drossgate::platform
