#include "foundation/threads/job_kernel.h"

#include "foundation/log.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <unistd.h>

namespace tallow {

KernelRegistry::~KernelRegistry()
{
    for (u32 i = 0; i < _count; ++i)
        if (_libraries[i])
            dlclose(_libraries[i]);
}

u32 KernelRegistry::library_name(const char *name, char *out_name, u32 capacity)
{
    const int length = snprintf(out_name, capacity, "lib%s.so", name ? name : "");
    return length < 0 ? 0 : u32(length);
}

u32 KernelRegistry::find_or_add(const char *name, JobFunction function)
{
    if (!name)
        return no_kernel;
    ScopedLock guard(_lock);
    for (u32 i = 0; i < _count; ++i)
        if (strcmp(_names[i], name) == 0)
            return i;
    if (_count == max_kernels) {
        log_message("job", "kernel \"%s\" not registered: all %u kernel slots are taken", name, max_kernels);
        return no_kernel;
    }
    const u32 index = _count++;
    _names[index] = name;
    _functions[index] = function;
    _libraries[index] = nullptr;
    if (!function)
        load_locked(index);
    return index;
}

bool KernelRegistry::load(u32 index)
{
    ScopedLock guard(_lock);
    return load_locked(index);
}

bool KernelRegistry::load_locked(u32 index)
{
    if (index >= _count)
        return false;
    char file[256];
    if (library_name(_names[index], file, sizeof(file)) >= sizeof(file)) {
        log_message("job", "kernel name \"%s\" is too long for a library name", _names[index]);
        return false;
    }
    // Like the application directory coming first for a system library search, the
    // program's own directory is tried before the loader's search path.
    void *library = nullptr;
    char beside[4096];
    const ssize_t length = readlink("/proc/self/exe", beside, sizeof(beside) - 1);
    if (length > 0) {
        beside[length] = 0;
        char *slash = strrchr(beside, '/');
        const size_t directory = slash ? size_t(slash - beside) + 1 : 0;
        const size_t file_length = strlen(file);
        if (slash && directory + file_length < sizeof(beside)) {
            memcpy(beside + directory, file, file_length + 1);
            library = dlopen(beside, RTLD_NOW | RTLD_LOCAL);
        }
    }
    if (!library)
        library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *reason = dlerror();
        log_message("job", "kernel \"%s\": cannot load %s: %s", _names[index], file, reason ? reason : "unknown");
        return false;
    }
    void *symbol = dlsym(library, "update_kernel");
    if (!symbol) {
        log_message("job", "kernel \"%s\": %s has no export \"update_kernel\"", _names[index], file);
        dlclose(library);
        return false;
    }
    if (_libraries[index])
        dlclose(_libraries[index]);
    _libraries[index] = library;
    _functions[index] = reinterpret_cast<JobFunction>(symbol);
    return true;
}

JobFunction KernelRegistry::update_function(u32 index)
{
    ScopedLock guard(_lock);
    return index < _count ? _functions[index] : nullptr;
}

u32 KernelRegistry::count()
{
    ScopedLock guard(_lock);
    return _count;
}

KernelRegistry &kernel_registry()
{
    // Never destroyed: jobs on other threads may still read it at process exit.
    alignas(KernelRegistry) static unsigned char storage[sizeof(KernelRegistry)];
    static KernelRegistry *registry = new (storage) KernelRegistry();
    return *registry;
}

} // namespace tallow
