#pragma once
// Named job functions (kernels), registered with their function or loaded by name from a
// kernel library at run time.
//
//   u32 cull = kernel_registry().find_or_add("job_vfc_oobb", &cull_boxes);
//   ...
//   job.set_function(kernel_registry().update_function(cull));
//
// A kernel registered without a function is loaded from the shared library
// "lib<name>.so", looked for first in the program's own directory, then the way the
// dynamic loader finds libraries (LD_LIBRARY_PATH, the system directories); its export
// "update_kernel", declared
//   extern "C" void update_kernel(const tallow::JobData &batch);
// becomes the kernel's function. A missing library or export leaves the function null
// (logged); run_job refuses a job without a function.
//
// Kernels are registered on the main thread while worlds are set up; any thread may read
// them. All operations take the registry's lock.

#include "foundation/threads/job.h"
#include "foundation/threads/thread.h"
#include "foundation/types.h"

namespace tallow {

/// Most kernels a registry holds.
constexpr u32 max_kernels = 20;
/// Returned by find_or_add when the registry is full.
constexpr u32 no_kernel = 0xFFFFFFFFu;

class KernelRegistry {
  public:
    KernelRegistry() = default;
    /// Closes the libraries it loaded.
    ~KernelRegistry();
    KernelRegistry(const KernelRegistry &) = delete;
    KernelRegistry &operator=(const KernelRegistry &) = delete;

    /// The index of kernel `name` (compared as text). An existing name keeps its index and
    /// function, whatever `function` is passed. A new name is appended; with a null
    /// `function` its library is loaded. `name` is not copied and must live for the run.
    /// Returns no_kernel (logged) when all max_kernels slots are taken.
    u32 find_or_add(const char *name, JobFunction function);
    /// Loads kernel `index`'s library and takes its "update_kernel" export as the function;
    /// false (logged) when the library or the export is missing, or the index is unknown.
    bool load(u32 index);
    /// The kernel's function; null for an unknown index or a kernel that failed to load.
    JobFunction update_function(u32 index);
    /// Number of kernels registered.
    u32 count();

    /// The library file a kernel named `name` is loaded from, written into `out_name`
    /// (cut to `capacity` - 1 bytes). Returns the full length.
    static u32 library_name(const char *name, char *out_name, u32 capacity);

  private:
    bool load_locked(u32 index);

    Mutex _lock;
    u32 _count = 0;
    const char *_names[max_kernels] = {};
    JobFunction _functions[max_kernels] = {};
    void *_libraries[max_kernels] = {}; // dlopen handles; null when the function was given
};

/// The engine's one kernel registry, alive for the whole process.
KernelRegistry &kernel_registry();

} // namespace tallow
