#include "foundation/io/input_archive.h"

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"

#include <cstring>

namespace tallow {

InputArchive::InputArchive(SharedReference<InputBuffer> buffer)
    : _buffer(static_cast<SharedReference<InputBuffer> &&>(buffer)), _objects(default_allocator())
{
    _end = _buffer ? _buffer->size() : 0;
    _objects.reserve(10);
    _objects.push_back(nullptr);
}

InputArchive::~InputArchive() = default;

void InputArchive::fail(const char *reason, u64 wanted)
{
    if (!_failed)
        log_message("archive", "read of %llu bytes at %llu of %llu failed: %s", (unsigned long long)wanted,
                    (unsigned long long)_position, (unsigned long long)_end, reason);
    _failed = true;
}

bool InputArchive::read(void *destination, u64 n)
{
    u8 *to = static_cast<u8 *>(destination);
    if (!_buffer) {
        if (n)
            memset(to, 0, n);
        fail("no buffer", n);
        return false;
    }
    u64 target = _base + _position;
    if (_buffer->position() != target)
        _buffer->seek(target);
    if (n == 0)
        return !_failed;
    u64 done = 0;
    bool complete = true;
    if (_buffer->position() != target) {
        fail("the stream cannot move there", n);
        complete = false;
    } else if (n > bytes_left()) {
        fail("past the end of the stream", n);
        complete = false;
    } else {
        while (done < n) {
            if (_buffer->bytes_left() == 0) {
                _buffer->refill();
                if (_buffer->bytes_left() == 0) {
                    fail(_buffer->has_failed() ? "the source is corrupt or unreadable" : "the stream ended early", n);
                    complete = false;
                    break;
                }
            }
            u64 wanted = n - done;
            u32 take = wanted < _buffer->bytes_left() ? u32(wanted) : _buffer->bytes_left();
            memcpy(to + done, _buffer->cursor(), take);
            _buffer->consume(take);
            done += take;
        }
    }
    if (done < n)
        memset(to + done, 0, n - done);
    _position += done;
    return complete;
}

void InputArchive::mark_failed(const char *what)
{
    log_message("archive", "bad data at %llu: %s", (unsigned long long)_position, what);
    _failed = true;
}

bool InputArchive::read_whole_bytes(Array<u8> &out)
{
    out.resize(0);
    u64 n = bytes_left();
    if (n > 0xFFFFFFFFull) {
        mark_failed("bytes of more than 4 GiB");
        return false;
    }
    if (n == 0)
        return read(nullptr, 0);
    out.resize(u32(n));
    if (out.size() != n) {
        mark_failed("no memory for the bytes");
        out.resize(0);
        return false;
    }
    if (read(out.data(), n))
        return true;
    out.resize(0);
    return false;
}

bool InputArchive::read_whole_text(DynamicString &out)
{
    out.clear();
    u64 n = bytes_left();
    if (n >= 0xFFFFFFFFull) {
        mark_failed("text of 4 GiB or more");
        return false;
    }
    if (n == 0)
        return read(nullptr, 0);
    if (!out.allocator()) {
        mark_failed("text read into a string without an allocator");
        return false;
    }
    out.resize(u32(n));
    if (!out.data()) {
        mark_failed("no memory for the text");
        out.clear();
        return false;
    }
    if (read(out.data(), n))
        return true;
    out.clear();
    return false;
}

u32 InputArchive::add_object(void *object)
{
    _objects.push_back(object);
    return _objects.size() - 1;
}

namespace {
template <typename T> bool read_counted(Array<T> &out, InputArchive &archive)
{
    out.resize(0);
    u32 count = 0;
    if (!archive.read(count))
        return false;
    if (u64(count) * sizeof(T) > archive.bytes_left()) {
        log_message("archive", "array of %u items of %u bytes does not fit in the %llu bytes left", count,
                    u32(sizeof(T)), (unsigned long long)archive.bytes_left());
        archive.mark_failed("array count too large");
        return false;
    }
    out.resize(count);
    if (out.size() != count) {
        archive.mark_failed("no memory for the array");
        return false;
    }
    if (archive.read(out.data(), u64(count) * sizeof(T)))
        return true;
    out.resize(0);
    return false;
}
} // namespace

bool read_array(Array<u8> &out, InputArchive &archive) { return read_counted(out, archive); }
bool read_array(Array<char> &out, InputArchive &archive) { return read_counted(out, archive); }
bool read_array_u64(Array<u64> &out, InputArchive &archive) { return read_counted(out, archive); }

bool read_string_array(Array<DynamicString> &out, InputArchive &archive)
{
    out.resize(0);
    u32 count = 0;
    if (!archive.read(count))
        return false;
    if (u64(count) * 4 > archive.bytes_left()) {
        archive.mark_failed("string count too large");
        return false;
    }
    for (u32 i = 0; i < count; ++i) {
        u32 length = 0;
        if (!archive.read(length))
            break;
        if (length > archive.bytes_left()) {
            archive.mark_failed("string length too large");
            break;
        }
        DynamicString text(out.allocator());
        if (length > 0) {
            text.resize(length);
            if (!text.data()) {
                archive.mark_failed("no memory for a string");
                break;
            }
            if (!archive.read(text.data(), length))
                break;
        }
        out.push_back(static_cast<DynamicString &&>(text));
    }
    if (out.size() == count && !archive.has_failed())
        return true;
    out.resize(0);
    return false;
}

} // namespace tallow
