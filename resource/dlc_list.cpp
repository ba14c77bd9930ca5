#include "resource/dlc_list.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/path.h"
#include "resource/byte_reader.h"

#include <cstring>

namespace tallow {

namespace {

constexpr const char *log_category = "dlc";

DlcList *g_dlc_list = nullptr;

// A u32 length n, then n bytes and a zero byte.
bool read_text(ByteReader &in, DynamicString &out)
{
    u32 n = 0;
    if (!in.read_u32(n) || !in.has(u64(n) + 1) || in.current()[n] != 0)
        return false;
    out.assign_range(reinterpret_cast<const char *>(in.current()), n);
    return in.skip(u64(n) + 1);
}

void copy_entry(const DlcEntry &from, Array<DlcEntry> &out)
{
    out.push_back(DlcEntry(out.allocator()));
    DlcEntry &to = out.back();
    to.name = from.name;
    to.package = from.package;
}

} // namespace

bool is_dlc_descriptor_name(const char *name)
{
    u32 n = 0;
    for (; name[n]; ++n) {
        char c = name[n];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex || n >= 16)
            return false;
    }
    return n == 16;
}

bool read_dlc_descriptor(const u8 *bytes, u64 size, DlcEntry &out_entry)
{
    ByteReader in(bytes, size);
    u32 ignored = 0;
    return in.read_u32(ignored) && read_text(in, out_entry.name) && read_text(in, out_entry.package);
}

DlcList::DlcList(ThreadRegistry &registry, const char *data_directory)
    : _allocator("dlclist", default_allocator()), _registry(registry), _files(data_directory, _allocator),
      _entries(_allocator)
{
}

DlcList::~DlcList()
{
    ScopedLock guard(_thread_lock);
    if (_thread.is_valid())
        _registry.join(_thread);
}

void DlcList::join_finished_scan()
{
    if (_thread.is_valid())
        _registry.join(_thread);
}

bool DlcList::start_scan()
{
    ScopedLock thread_guard(_thread_lock);
    {
        ScopedLock guard(_lock);
        if (_scanning) {
            log_message(log_category, "a content scan is already running; start a new one when it is done");
            return false;
        }
    }
    join_finished_scan();
    {
        ScopedLock guard(_lock);
        _entries.resize(0);
        _scanning = true;
    }
    _thread = _registry.create_thread("dlclist", &DlcList::scan_entry, this, 0);
    if (!_thread.is_valid()) {
        ScopedLock guard(_lock);
        _scanning = false;
        return false;
    }
    return true;
}

bool DlcList::scan_done()
{
    ScopedLock guard(_lock);
    return !_scanning;
}

void DlcList::result(Array<DlcEntry> &out)
{
    out.resize(0);
    ScopedLock guard(_lock);
    for (const DlcEntry &entry : _entries)
        copy_entry(entry, out);
}

void DlcList::scan_entry(void *list) { static_cast<DlcList *>(list)->scan(); }

void DlcList::scan()
{
    Array<DynamicString> names(_allocator);
    if (_files.exists("dlc"))
        _files.list_files("dlc", names);
    DynamicString path(_allocator);
    Array<u8> bytes(_allocator);
    for (const DynamicString &name : names) {
        if (!is_dlc_descriptor_name(name.c_str()))
            continue;
        path_join("dlc", name.c_str(), path);
        InputArchive archive(_files.open_input(path.c_str(), _allocator, false));
        if (archive.size() > max_dlc_descriptor_bytes) {
            log_message(log_category, "content descriptor \"%s\" is %llu bytes, over the limit; skipped", path.c_str(),
                        static_cast<unsigned long long>(archive.size()));
            continue;
        }
        if (archive.has_failed() || !archive.read_whole_bytes(bytes)) {
            log_message(log_category, "content descriptor \"%s\" cannot be read; skipped", path.c_str());
            continue;
        }
        DlcEntry entry(_allocator);
        if (!read_dlc_descriptor(bytes.data(), bytes.size(), entry)) {
            log_message(log_category, "content descriptor \"%s\" is damaged; skipped", path.c_str());
            continue;
        }
        ScopedLock guard(_lock);
        copy_entry(entry, _entries);
    }
    ScopedLock guard(_lock);
    _scanning = false;
}

DlcList *create_dlc_list(Allocator &allocator, ThreadRegistry &registry, const char *data_directory)
{
    g_dlc_list = make_new<DlcList>(allocator, registry, data_directory);
    return g_dlc_list;
}

DlcList *dlc_list() { return g_dlc_list; }

void destroy_dlc_list(Allocator &allocator)
{
    delete_with_allocator(allocator, g_dlc_list);
    g_dlc_list = nullptr;
}

} // namespace tallow
