#pragma once
// Start-up shared by the libFuzzer targets: the first call to LLVMFuzzerTestOneInput
// builds the memory globals and silences the log, since rejected input logs an error on
// nearly every run and the fuzzer's own output is what matters.
//
//   extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
//   {
//       tallow::fuzz::start_once();
//       ...
//   }
//
// Also the seed writers' one file writer, and the thread pool of targets that read ahead.
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"

#include <cstdio>
#include <string>

namespace tallow::fuzz {

/// Builds the memory globals and installs a log capture that drops every message, once per
/// process; later calls do nothing. The globals are never torn down: the process ends inside
/// the fuzzer. Call first thing in LLVMFuzzerTestOneInput (the fuzzer calls it from one thread).
inline void start_once()
{
    static const bool started = [] {
        memory_globals_init();
        set_log_capture([](void *, const char *, const char *) {}, nullptr, false);
        return true;
    }();
    (void)started;
}

/// A pool of two worker threads, made on first use. It lives for the process: libFuzzer
/// never returns from its loop.
inline ThreadPool &pool()
{
    static ThreadRegistry *registry = make_new<ThreadRegistry>(default_allocator(), default_allocator(), "main");
    static ThreadPool *instance = make_new<ThreadPool>(default_allocator(), default_allocator(), 2u, *registry);
    return *instance;
}

/// Writes a seed file; a seed that cannot be written is left out.
inline void write_seed(const std::string &path, const void *data, size_t size)
{
    if (FILE *f = fopen(path.c_str(), "wb")) {
        fwrite(data, 1, size, f);
        fclose(f);
    }
}

} // namespace tallow::fuzz
