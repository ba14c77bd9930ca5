#include "world/world_events.h"

#include <cstring>

namespace tallow {

bool append_world_event(Array<u8> &stream, u32 id, const void *payload, u32 size)
{
    u32 at = stream.size();
    stream.resize(at + 8 + size);
    if (stream.size() != at + 8 + size)
        return false;
    u32 header[2] = {size, id};
    memcpy(stream.data() + at, header, 8);
    if (size)
        memcpy(stream.data() + at + 8, payload, size);
    return true;
}

} // namespace tallow
