#include "application/settings_file.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_text_writer.h"
#include "foundation/config/config_value.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/io/output_archive.h"

namespace tallow {

bool read_config_file(const char *path, ConfigValue &out_value)
{
    Allocator &allocator = default_allocator();
    DiskFileSystem fs("", allocator);
    if (!fs.exists(path))
        return false;
    DynamicString text(allocator);
    InputArchive archive(fs.open_input(path, allocator, false));
    u64 size = archive.bytes_left(); // the text may hold zero bytes: parse them all
    if (archive.has_failed() || !archive.read_whole_text(text)) {
        log_message("application", "cannot read \"%s\"", path);
        return false;
    }
    parse_config_text(text.c_str(), text.c_str() + size, out_value);
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
    if (!fs.replace(temporary.c_str(), path)) {
        (void)fs.delete_file(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace tallow
