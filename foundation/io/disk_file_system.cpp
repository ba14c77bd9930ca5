#include "foundation/io/disk_file_system.h"

#include "foundation/io/file_buffer.h"
#include "foundation/log.h"
#include "foundation/memory/temp_allocator.h"
#include "foundation/strings/path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallow {

DiskFileSystem::DiskFileSystem(const char *root, Allocator &allocator) : _root(root, allocator) {}

void DiskFileSystem::full_path(const char *name, DynamicString &out) const
{
    path_join_data_name(_root.c_str(), name, out);
}

bool DiskFileSystem::exists(const char *name) const
{
    TempAllocator ta;
    DynamicString path(ta);
    full_path(name, path);
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

u64 DiskFileSystem::file_size(const char *name) const
{
    TempAllocator ta;
    DynamicString path(ta);
    full_path(name, path);
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return 0;
    return u64(info.st_size);
}

bool DiskFileSystem::delete_file(const char *name) const
{
    TempAllocator ta;
    DynamicString path(ta);
    full_path(name, path);
    if (unlink(path.c_str()) == 0 || errno == ENOENT)
        return true;
    log_message("file_system", "cannot delete \"%s\": %s", path.c_str(), strerror(errno));
    return false;
}

namespace {

// Flushes a regular file's content to the disk (other kinds need nothing); false, logged,
// when the flush failed.
bool flush_file_to_disk(const char *path, const char *why)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true; // a missing source fails the rename itself, with its own message
    struct stat info;
    bool synced = fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || fsync(fd) == 0;
    close(fd);
    if (!synced)
        log_message("file_system", "cannot flush \"%s\" to disk before %s: %s", path, why, strerror(errno));
    return synced;
}

// Flushes the directory that holds `path`, so that a rename in it survives a crash.
bool flush_directory_of(const char *path)
{
    TempAllocator ta;
    DynamicString directory(ta);
    path_directory(path, directory);
    int fd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

} // namespace

bool DiskFileSystem::rename(const char *from, const char *to) const
{
    TempAllocator ta;
    DynamicString from_path(ta), to_path(ta);
    full_path(from, from_path);
    full_path(to, to_path);
    // The content reaches the disk before the new name does, so a crash never leaves a
    // renamed file that is empty or partly written.
    if (!flush_file_to_disk(from_path.c_str(), "renaming it"))
        return false;
    if (renameat2(AT_FDCWD, from_path.c_str(), AT_FDCWD, to_path.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system without no-replace renames: a hard link fails on an existing
        // target just the same, and is as atomic.
        if (link(from_path.c_str(), to_path.c_str()) == 0) {
            unlink(from_path.c_str());
            return true;
        }
        if (errno == EEXIST)
            return false;
    }
    log_message("file_system", "cannot rename \"%s\" to \"%s\": %s", from_path.c_str(), to_path.c_str(),
                strerror(errno));
    return false;
}

bool DiskFileSystem::replace(const char *from, const char *to) const
{
    TempAllocator ta;
    DynamicString from_path(ta), to_path(ta);
    full_path(from, from_path);
    full_path(to, to_path);
    if (!flush_file_to_disk(from_path.c_str(), "putting it in place"))
        return false;
    if (::rename(from_path.c_str(), to_path.c_str()) != 0) {
        log_message("file_system", "cannot replace \"%s\" with \"%s\": %s", to_path.c_str(), from_path.c_str(),
                    strerror(errno));
        return false;
    }
    if (!flush_directory_of(to_path.c_str()))
        log_message("file_system", "cannot flush the directory of \"%s\": %s", to_path.c_str(), strerror(errno));
    return true;
}

bool DiskFileSystem::link(const char *existing, const char *name) const
{
    TempAllocator ta;
    DynamicString existing_path(ta), path(ta);
    full_path(existing, existing_path);
    full_path(name, path);
    if (::link(existing_path.c_str(), path.c_str()) != 0)
        return false;
    flush_directory_of(path.c_str());
    return true;
}

SharedReference<InputBuffer> DiskFileSystem::open_input(const char *name, Allocator &allocator, bool read_ahead) const
{
    TempAllocator ta;
    DynamicString path(ta);
    full_path(name, path);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log_message("file_system", "cannot open \"%s\" for reading: %s", path.c_str(), strerror(errno));
        return {};
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        log_message("file_system", "\"%s\" is not a readable file", path.c_str());
        close(fd);
        return {};
    }
    FileInputBuffer *buffer = make_new<FileInputBuffer>(allocator, fd, u64(info.st_size), 0, read_ahead, allocator);
    if (!buffer) {
        close(fd);
        log_message("file_system", "no memory to open \"%s\"", path.c_str());
        return {};
    }
    return SharedReference<InputBuffer>(buffer, allocator);
}

SharedReference<OutputBuffer> DiskFileSystem::open_output(const char *name, Allocator &allocator, bool append) const
{
    TempAllocator ta;
    DynamicString path(ta);
    full_path(name, path);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? 0 : O_TRUNC), 0644);
    if (fd < 0) {
        log_message("file_system", "cannot open \"%s\" for writing: %s", path.c_str(), strerror(errno));
        return {};
    }
    u64 position = 0;
    if (append) {
        struct stat info;
        if (fstat(fd, &info) == 0)
            position = u64(info.st_size);
    }
    FileOutputBuffer *buffer = make_new<FileOutputBuffer>(allocator, fd, position, allocator);
    if (!buffer) {
        close(fd);
        log_message("file_system", "no memory to open \"%s\"", path.c_str());
        return {};
    }
    return SharedReference<OutputBuffer>(buffer, allocator);
}

bool DiskFileSystem::list_files(const char *directory, Array<DynamicString> &out_names) const
{
    TempAllocator ta;
    DynamicString path(ta);
    full_path(directory, path);
    DIR *dir = opendir(path.c_str());
    if (!dir) {
        log_message("file_system", "cannot list \"%s\": %s", path.c_str(), strerror(errno));
        return false;
    }
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        out_names.push_back(DynamicString(entry->d_name, out_names.allocator()));
    }
    closedir(dir);
    return true;
}

bool DiskFileSystem::create_directory(const char *name) const
{
    TempAllocator ta;
    DynamicString path(ta);
    full_path(name, path);
    // Each prefix ending before a "/" is a parent; a leading "/" stays part of the first.
    char *text = path.data();
    if (!text)
        return false;
    u32 n = path.length();
    for (u32 i = 1; i <= n; ++i) {
        if (i < n && text[i] != '/')
            continue;
        char saved = text[i];
        text[i] = 0;
        struct stat info;
        bool ok = stat(text, &info) == 0 ? S_ISDIR(info.st_mode) : (mkdir(text, 0755) == 0 || errno == EEXIST);
        if (!ok) {
            log_message("file_system", "cannot create directory \"%s\": %s", text, strerror(errno));
            text[i] = saved;
            return false;
        }
        text[i] = saved;
    }
    return true;
}

} // namespace tallow
