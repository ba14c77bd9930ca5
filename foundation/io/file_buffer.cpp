#include "foundation/io/file_buffer.h"

#include "foundation/log.h"

#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <unistd.h>

namespace tallow {

FileInputBuffer::FileInputBuffer(int fd, u64 size, u64 position, bool read_ahead, Allocator &allocator)
    : _fd(fd), _allocator(allocator), _read_ahead(read_ahead)
{
    _size = size;
    _window_position = position;
    _window_block = static_cast<u8 *>(allocator.allocate(block_bytes, 16));
    _ahead_block = read_ahead ? static_cast<u8 *>(allocator.allocate(block_bytes, 16)) : nullptr;
    if (!_window_block || (read_ahead && !_ahead_block)) {
        log_message("file_system", "no memory for a file input buffer");
        _failed = true;
        return;
    }
    _begin = _cursor = _window_block;
    if (_read_ahead) {
        _ahead_position = position;
        issue_read_ahead(0, block_bytes);
    }
}

FileInputBuffer::~FileInputBuffer()
{
    complete_read_ahead();
    _allocator.deallocate(_window_block);
    _allocator.deallocate(_ahead_block);
    if (_fd >= 0)
        close(_fd);
}

u32 FileInputBuffer::read_at(u64 position, u8 *to, u32 n)
{
    u32 done = 0;
    while (done < n) {
        ssize_t got = pread(_fd, to + done, n - done, off_t(position + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            log_message("file_system", "read of %u bytes at %llu failed: %s", n - done,
                        (unsigned long long)(position + done), strerror(errno));
            break;
        }
        if (got == 0)
            break;
        done += u32(got);
    }
    return done;
}

void FileInputBuffer::issue_read_ahead(u32 offset_in_block, u32 n)
{
    u64 position = _ahead_position + offset_in_block;
    u64 remaining = _size > position ? _size - position : 0;
    if (n > remaining)
        n = u32(remaining);
    _ahead_offset = offset_in_block;
    _ahead_count = offset_in_block;
    _ahead_bytes = n;
    if (n == 0)
        return;
    // The kernel fetches the range in the background; the copy into block B happens when
    // the window runs out. (glibc's aio threads are invisible to ThreadSanitizer, which
    // then crashes, and buy nothing over the kernel's own read-ahead.)
    posix_fadvise(_fd, off_t(position), off_t(n), POSIX_FADV_WILLNEED);
    _pending = true;
}

void FileInputBuffer::complete_read_ahead()
{
    if (!_pending)
        return;
    _pending = false;
    u64 position = _ahead_position + _ahead_offset;
    // A failed read leaves B short; the window is then read directly, which reports it.
    _ahead_count = _ahead_offset + read_at(position, _ahead_block + _ahead_offset, _ahead_bytes);
}

void FileInputBuffer::refill()
{
    if (!_window_block || _failed)
        return;
    u32 kept = bytes_left();
    _window_position += u64(_cursor - _begin);
    memmove(_window_block, _cursor, kept);
    _begin = _cursor = _window_block;
    _count = kept;
    u64 end = _window_position + kept;
    u64 remaining = _size > end ? _size - end : 0;
    u32 wanted = block_bytes - kept;
    if (wanted > remaining)
        wanted = u32(remaining);

    if (_read_ahead) {
        complete_read_ahead();
        if (_ahead_position == end) {
            u32 take = wanted < _ahead_count ? wanted : _ahead_count;
            memcpy(_window_block + kept, _ahead_block, take);
            _count += take;
            u32 left = _ahead_count - take;
            memmove(_ahead_block, _ahead_block + take, left);
            _ahead_position += take;
            _ahead_count = left;
        }
    }
    if (_count < kept + wanted) {
        // No read-ahead, or it came back short: read the rest now.
        _count += read_at(_window_position + _count, _window_block + _count, kept + wanted - _count);
        if (_count < kept + wanted) {
            log_message("file_system", "file ended at %llu, before its size %llu at opening",
                        (unsigned long long)(_window_position + _count), (unsigned long long)_size);
            _failed = true;
            return;
        }
    }
    if (_read_ahead) {
        u64 window_end = _window_position + _count;
        if (_ahead_position != window_end) {
            _ahead_position = window_end;
            _ahead_count = 0;
        }
        issue_read_ahead(_ahead_count, block_bytes - _ahead_count);
    }
}

void FileInputBuffer::seek(u64 position)
{
    if (!_window_block)
        return;
    complete_read_ahead();
    _window_position = position;
    _begin = _cursor = _window_block;
    _count = 0;
    if (_read_ahead) {
        _ahead_position = position;
        issue_read_ahead(0, block_bytes);
    }
}

FileOutputBuffer::FileOutputBuffer(int fd, u64 position, Allocator &allocator) : _fd(fd), _allocator(allocator)
{
    _window_position = position;
    _begin = static_cast<u8 *>(allocator.allocate(window_bytes, 16));
    if (!_begin) {
        log_message("file_system", "no memory for a file output buffer");
        _failed = true;
        return;
    }
    _cursor = _begin;
    _capacity = window_bytes;
}

FileOutputBuffer::~FileOutputBuffer()
{
    flush();
    _allocator.deallocate(_begin);
    if (_fd >= 0 && close(_fd) != 0 && !_failed)
        log_message("file_system", "closing a written file failed: %s", strerror(errno));
}

void FileOutputBuffer::flush()
{
    u32 n = u32(_cursor - _begin);
    u32 done = 0;
    while (done < n && !_failed) {
        ssize_t wrote = pwrite(_fd, _begin + done, n - done, off_t(_window_position + done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            log_message("file_system", "write of %u bytes at %llu failed: %s", n - done,
                        (unsigned long long)(_window_position + done), wrote < 0 ? strerror(errno) : "nothing written");
            _failed = true;
            break;
        }
        done += u32(wrote);
    }
    _window_position += n;
    _cursor = _begin;
}

void FileOutputBuffer::seek(u64 position)
{
    flush();
    _window_position = position;
}

} // namespace tallow
