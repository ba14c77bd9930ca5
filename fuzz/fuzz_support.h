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
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"

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

} // namespace tallow::fuzz
