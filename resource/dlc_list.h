#pragma once
// The downloadable-content list: a background scan of the folder "dlc" of the data
// directory for content descriptors, each naming a package the game may load.
//
//   DlcList &dlc = *create_dlc_list(allocator, registry, options.data_directory());
//   dlc.start_scan();                     // main thread; runs on the thread "dlclist"
//   ... later frames: if (dlc.scan_done()) { Array<DlcEntry> found(allocator); dlc.result(found); }
//   destroy_dlc_list(allocator);          // joins a scan still running
//
// A descriptor is a file in "dlc" whose name is exactly 16 hexadecimal digits (either
// case). Layout (little-endian): u32 ignored; u32 n, then n bytes of the content's name
// and a zero byte; u32 m, then m bytes of its package name and a zero byte. Descriptors
// are untrusted: a length that runs past the file, a missing zero byte or a file larger
// than `max_dlc_descriptor_bytes` skips that descriptor with a log line. Other names are
// skipped silently; a missing "dlc" folder gives an empty list.
//
// One scan at a time: `start_scan` while a scan runs is refused (false). A finished scan's
// thread is joined by the next `start_scan` or the destructor. All member functions are
// safe from any thread; entries are appended and read under the list's lock.
#include "foundation/containers/array.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_registry.h"

namespace tallow {

/// Largest descriptor file read.
constexpr u64 max_dlc_descriptor_bytes = 64 * 1024;

/// One found descriptor; its strings use the allocator it was made with.
struct DlcEntry {
    explicit DlcEntry(Allocator &allocator) : allocator(&allocator), name(allocator), package(allocator) {}
    Allocator *allocator;
    DynamicString name;
    DynamicString package;
};

/// True when `name` is exactly 16 characters of "0123456789abcdefABCDEF".
bool is_dlc_descriptor_name(const char *name);

/// Reads one descriptor from `size` bytes; false when they are not a valid descriptor.
bool read_dlc_descriptor(const u8 *bytes, u64 size, DlcEntry &out_entry);

class DlcList {
  public:
    /// Roots its file system at `data_directory`; no scan is started.
    DlcList(ThreadRegistry &registry, const char *data_directory);
    /// Joins a scan still running and frees the entries.
    ~DlcList();
    DlcList(const DlcList &) = delete;
    DlcList &operator=(const DlcList &) = delete;

    /// Clears the entries and starts the thread "dlclist". False (logged) when a scan is
    /// running or the thread cannot start.
    bool start_scan();
    /// True when no scan is running (also before the first).
    bool scan_done();
    /// Replaces `out` with copies of the entries found so far (strings copied with the
    /// array's allocator).
    void result(Array<DlcEntry> &out);

  private:
    static void scan_entry(void *list);
    void scan();
    void join_finished_scan();

    TraceAllocator _allocator; // "dlclist"
    ThreadRegistry &_registry;
    DiskFileSystem _files;
    Mutex _lock;
    bool _scanning = false; // under _lock
    ThreadHandle _thread;   // the last scan's thread until it is joined; main thread only
    Mutex _thread_lock;     // orders start_scan and the destructor around _thread
    Array<DlcEntry> _entries; // under _lock
};

/// Creates the process-wide list with `allocator`; null when it could not be made.
DlcList *create_dlc_list(Allocator &allocator, ThreadRegistry &registry, const char *data_directory);
/// The process-wide list, or null.
DlcList *dlc_list();
/// Destroys the process-wide list (joining a running scan).
void destroy_dlc_list(Allocator &allocator);

} // namespace tallow
