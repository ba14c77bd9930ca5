// A kernel library as the kernel registry loads it: one export, "update_kernel".
#include "foundation/threads/job.h"

extern "C" void update_kernel(const tallow::JobData &batch)
{
    tallow::u32 *items = batch.stream_as<tallow::u32>(0);
    for (tallow::u32 i = 0; i < batch.count(); ++i)
        items[i] *= 4;
}
