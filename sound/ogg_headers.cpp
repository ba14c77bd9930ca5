#include "sound/ogg_headers.h"

#include <cstring>

namespace tallow {

namespace {

// Reads one packet's bytes in order across segments and pages.
class PacketReader {
  public:
    PacketReader(const u8 *data, u32 size) : _data(data), _size(size) {}

    /// Moves to the next packet; false when the data has no more.
    bool next_packet()
    {
        // Skip what is left of the current packet.
        if (_in_packet)
            while (next_byte() >= 0) {
            }
        _in_packet = true;
        _ended = false;
        _left_in_segment = 0;
        return more_segments();
    }
    /// The next byte of the packet, or -1 at its end (or the data's end).
    int next_byte()
    {
        while (_left_in_segment == 0) {
            if (_ended || !advance_segment())
                return -1;
        }
        --_left_in_segment;
        return _data[_at++];
    }
    bool read_u32(u32 &out)
    {
        out = 0;
        for (int i = 0; i < 4; ++i) {
            int b = next_byte();
            if (b < 0)
                return false;
            out |= u32(b) << (8 * i);
        }
        return true;
    }
    bool skip(u32 n)
    {
        for (u32 i = 0; i < n; ++i)
            if (next_byte() < 0)
                return false;
        return true;
    }
    bool failed() const { return _failed; }

  private:
    bool more_segments()
    {
        if (_segment < _segment_count)
            return true;
        return read_page();
    }
    bool read_page()
    {
        // Pages without segments carry nothing: step over them (in a loop, not a recursion,
        // whatever their number).
        for (;;) {
            if (_page_end == _size)
                return false;
            if (_size - _page_end < 27 || memcmp(_data + _page_end, "OggS", 4) != 0 || _data[_page_end + 4] != 0) {
                _failed = true;
                return false;
            }
            u32 segments = _data[_page_end + 26];
            u32 lacing = _page_end + 27;
            if (segments > _size - lacing) {
                _failed = true;
                return false;
            }
            u64 body = 0;
            for (u32 i = 0; i < segments; ++i)
                body += _data[lacing + i];
            if (u64(lacing) + segments + body > _size) {
                _failed = true;
                return false;
            }
            _lacing = lacing;
            _segment = 0;
            _segment_count = segments;
            _at = lacing + segments;
            _page_end = u32(_at + body);
            if (segments > 0)
                return true;
        }
    }
    bool advance_segment()
    {
        if (!more_segments())
            return false;
        u32 length = _data[_lacing + _segment++];
        _left_in_segment = length;
        if (length < 255)
            _ended = true; // the packet ends with this segment
        return true;
    }

    const u8 *_data;
    u32 _size;
    u32 _page_end = 0;
    u32 _lacing = 0;
    u32 _segment = 0;
    u32 _segment_count = 0;
    u32 _at = 0;
    u32 _left_in_segment = 0;
    bool _ended = false;
    bool _in_packet = false;
    bool _failed = false;
};

bool fail(const char **out_reason, const char *reason)
{
    if (out_reason)
        *out_reason = reason;
    return false;
}

bool read_header_start(PacketReader &r, int type)
{
    if (r.next_byte() != type)
        return false;
    for (const char *c = "vorbis"; *c; ++c)
        if (r.next_byte() != *c)
            return false;
    return true;
}

} // namespace

bool check_vorbis_headers(const u8 *data, u32 size, const char **out_reason)
{
    PacketReader r(data, size);
    if (!r.next_packet() || !read_header_start(r, 1))
        return fail(out_reason, "no Vorbis identification header");
    if (!r.next_packet() || !read_header_start(r, 3))
        return fail(out_reason, "no Vorbis comment header");
    u32 vendor = 0, comments = 0;
    if (!r.read_u32(vendor) || !r.skip(vendor) || !r.read_u32(comments))
        return fail(out_reason, "a vendor string longer than its header");
    for (u32 i = 0; i < comments; ++i) {
        u32 length = 0;
        if (!r.read_u32(length) || !r.skip(length))
            return fail(out_reason, "a comment longer than its header");
    }
    if (r.next_byte() < 0 || r.failed())
        return fail(out_reason, "a comment header without its end");
    return true;
}

} // namespace tallow
