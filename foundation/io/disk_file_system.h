#pragma once
// The engine's access to files: a file system rooted at a directory. Every name is
// relative to the root, or taken as it stands when the root is empty. Names are UTF-8;
// they come from data, so "\\" and "/" both separate their components. Buffers come back wrapped in `SharedReference`s.
//
//   DiskFileSystem data("/home/me/game/data", allocator);
//   InputArchive settings(data.open_input("settings.ini", allocator, false));
//
// Any thread may call any operation at once: full paths are formed per call, nothing is
// shared. An open buffer belongs to the thread that uses it.
//
// Renaming never replaces: `rename` fails (returns false) when the target exists, and is
// atomic otherwise. It first flushes the file's content to the disk, so a file written as
// "x.new" (and checked with `OutputArchive::flush`) is, even after a crash, either wholly
// in place as "x" or not there at all. To replace a file, use `replace`, which flushes
// the same way and then swaps the new file in at once.

#include "foundation/memory/allocator.h"
#include "foundation/containers/array.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/io/input_buffer.h"
#include "foundation/io/output_buffer.h"
#include "foundation/io/shared_reference.h"

namespace tallow {

class DiskFileSystem {
  public:
    /// Copies `root` with `allocator`; an empty root takes names as full paths.
    DiskFileSystem(const char *root, Allocator &allocator);

    const char *root() const { return _root.c_str(); }

    /// True when a file or directory of that name exists.
    bool exists(const char *name) const;
    /// Size in bytes of the file; 0 when it does not exist.
    u64 file_size(const char *name) const;
    /// Deletes a file; false (logged) when that failed, true when it is gone.
    bool delete_file(const char *name) const;
    /// Renames `from` to `to` without ever replacing, after flushing `from` to the disk:
    /// false when `to` exists or the rename failed (logged, apart from an existing target).
    [[nodiscard]] bool rename(const char *from, const char *to) const;
    /// Renames `from` to `to` after flushing `from` to the disk, replacing `to` in one
    /// atomic step when it exists, then flushes the directory: after a crash `to` is
    /// either the old file or the whole new one. False (logged) when the rename failed;
    /// `to` is then untouched.
    [[nodiscard]] bool replace(const char *from, const char *to) const;
    /// Gives the file `existing` a second name `name` (a hard link: both names show the
    /// same bytes until one is replaced). False when `name` exists or the file system
    /// cannot link; nothing is logged, callers fall back to copying.
    [[nodiscard]] bool link(const char *existing, const char *name) const;
    /// Opens a file for reading; null (logged) when it cannot be opened. With
    /// `read_ahead` the next 32768 bytes are read while the current ones are used.
    SharedReference<InputBuffer> open_input(const char *name, Allocator &allocator, bool read_ahead) const;
    /// Opens a file for writing, created when missing: with `append` writing continues
    /// after its last byte, otherwise it is emptied first. Null (logged) when it cannot be
    /// opened. Write errors are reported by `OutputArchive::flush`.
    SharedReference<OutputBuffer> open_output(const char *name, Allocator &allocator, bool append) const;

    /// Appends the names of the files and directories directly in `directory` (copied
    /// with the array's allocator), leaving out every name that begins with ".". False
    /// (logged) when the directory cannot be read.
    bool list_files(const char *directory, Array<DynamicString> &out_names) const;
    /// Creates the directory and every missing parent; true when it exists afterwards.
    bool create_directory(const char *name) const;

  private:
    void full_path(const char *name, DynamicString &out) const;

    DynamicString _root;
};

} // namespace tallow
