#include "application/settings_file.h"

#include "foundation/config_text_parser.h"
#include "foundation/config_text_writer.h"
#include "foundation/config_value.h"
#include "foundation/disk_file_system.h"
#include "foundation/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory_globals.h"
#include "foundation/output_archive.h"

#include <cstdio>

namespace tallow {

bool read_config_file(const char *path, ConfigValue &out_value)
{
    Allocator &allocator = default_allocator();
    DiskFileSystem fs("", allocator);
    if (!fs.exists(path))
        return false;
    u64 size = fs.file_size(path);
    Array<char> text(allocator);
    text.resize(u32(size));
    if (u64(text.size()) != size) {
        log_message("application", "\"%s\" is too large to read (%llu bytes)", path, (unsigned long long)size);
        return false;
    }
    {
        InputArchive archive(fs.open_input(path, allocator, false));
        if (!archive.read(text.data(), size) || archive.has_failed()) {
            log_message("application", "cannot read \"%s\"", path);
            return false;
        }
    }
    parse_config_text(text.data(), text.data() + text.size(), out_value);
    return true;
}

bool write_config_file(const char *path, const ConfigValue &value)
{
    Allocator &allocator = default_allocator();
    StringStream stream(allocator);
    write_config_text(value, stream, true);
    Array<char> &text = stream.bytes();

    DynamicString temporary(path, allocator);
    temporary.append(".tmp");
    DiskFileSystem fs("", allocator);
    bool written = false;
    {
        OutputArchive archive(fs.open_output(temporary.c_str(), allocator, false));
        written = !archive.has_failed() && archive.write(text.data(), text.size()) && archive.flush();
    } // the file is closed here, before it is renamed
    if (!written) {
        log_message("application", "cannot write \"%s\"; \"%s\" is unchanged", temporary.c_str(), path);
        if (fs.exists(temporary.c_str()))
            (void)fs.delete_file(temporary.c_str());
        return false;
    }
    // rename(2) replaces the old file in one step: readers see the old or the new text.
    if (std::rename(temporary.c_str(), path) != 0) {
        log_message("application", "cannot replace \"%s\" by \"%s\"", path, temporary.c_str());
        (void)fs.delete_file(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace tallow
