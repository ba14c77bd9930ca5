#pragma once
// What the machine offers to size the engine's threads by.

#include "foundation/types.h"

namespace tallow {

class ProcessorInfo {
  public:
    /// Processors this process may run on (at least 1). Asks the system on the first call
    /// only; later calls return the kept value. Safe from any thread.
    static u32 processor_count();
};

/// Job workers for a machine with `processors` processors: two fewer than the processors
/// (the main and render threads take two), but never fewer than one, so that posted jobs
/// make progress even while no thread waits for them.
u32 pool_worker_count(u32 processors);

} // namespace tallow
