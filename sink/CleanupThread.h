#pragma once
// The committed phase's work on a parked message (its delete, or the writing of its forward's
// pickup file) runs on a thread of its own, so that no delivery waits for it. The delay loses
// nothing: the parked message is hidden from the start, and stays the forward's durable record
// until the pickup side hands the forward on. Work still queued when the process is killed
// leaves a parked message behind, never a lost or doubled one. Queued work is done before the
// library is unloaded or the process exits normally.

#include <functional>

namespace drossgate::sink {

// Queues work; waits only while much work is still undone. Work should not throw (what does is
// dropped, its message left parked), and must use only what the calling thread has used
// already: what is first made on the clean-up thread would be destroyed at exit before the
// queue is done.
void RunOnCleanupThread(std::function<void()> work);
bool CleanupPending();

}  // namespace drossgate::sink
