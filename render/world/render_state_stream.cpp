#include "render/world/render_state_stream.h"

#include "foundation/log.h"

namespace tallow {

void *RenderStateStream::append(u32 kind, u32 payload_bytes)
{
    void *payload = _buffer.append(kind, payload_bytes);
    if (payload)
        memset(payload, 0, payload_bytes);
    return payload;
}

bool RenderStateStream::read(u32 &cursor, Record &out_record) const
{
    CommandCursor reader(_buffer.data(), cursor, _buffer.write_offset());
    CommandView view;
    if (!reader.next(&view)) {
        if (reader.failed())
            log_message("render", "damaged state record at byte %u of %u", cursor - _buffer.start_offset(),
                        size_bytes());
        return false;
    }
    out_record.kind = view.type;
    out_record.payload = view.payload;
    out_record.payload_bytes = view.payload_size;
    cursor = (view.offset + view.size + 3u) & ~3u;
    return true;
}

} // namespace tallow
