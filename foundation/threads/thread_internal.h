#pragma once
// Between thread.cpp and the thread registry: engine ids are handed out before a thread runs.

#include "foundation/types.h"

namespace tallow {

/// Takes the next engine thread id from the process-wide counter.
u32 take_thread_id();
/// Makes `id` the calling thread's engine id; called first thing on a registry thread.
void adopt_thread_id(u32 id);

} // namespace tallow
