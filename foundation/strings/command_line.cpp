#include "foundation/strings/command_line.h"

#include "foundation/log.h"

#include <cstdio>
#include <cstring>

namespace tallow {

void split_argument_block(const char *block, u64 size_bytes, Array<DynamicString> &out_arguments)
{
    u64 start = 0;
    while (start < size_bytes) {
        const void *zero = memchr(block + start, 0, size_bytes - start);
        u64 end = zero ? u64(static_cast<const char *>(zero) - block) : size_bytes;
        u64 n = end - start;
        out_arguments.push_back(DynamicString(block + start, n < 0xFFFFFFFFull ? u32(n) : 0xFFFFFFFFu, out_arguments.allocator()));
        start = end + 1;
    }
}

bool command_line_arguments(Array<DynamicString> &out_arguments)
{
    // The kernel keeps the arguments exactly as exec received them, zero-separated.
    FILE *f = fopen("/proc/self/cmdline", "rb");
    if (!f) {
        log_message("command_line", "cannot read /proc/self/cmdline; no arguments");
        return false;
    }
    Array<char> bytes(out_arguments.allocator());
    char chunk[4096];
    for (;;) {
        size_t n = fread(chunk, 1, sizeof chunk, f);
        if (n == 0)
            break;
        u32 at = bytes.size();
        bytes.resize(at + u32(n));
        if (bytes.size() != at + n) {
            fclose(f);
            log_message("command_line", "out of memory reading the command line (%u bytes)", at);
            return false;
        }
        memcpy(bytes.data() + at, chunk, n);
    }
    fclose(f);
    split_argument_block(bytes.data(), bytes.size(), out_arguments);
    return true;
}

} // namespace tallow
