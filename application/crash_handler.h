#pragma once
// Crash handling: fatal signals, std::terminate and pure virtual calls end in one crash
// report on stderr that names the failure kind and carries the build id, for example
//
//   crash report: failure "signal" (SIGABRT), build 4711
//
// followed by a backtrace. The failure words are "signal" (SIGABRT), "exception" (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE), "terminate" and "purecall". After the report the default
// handling follows (the process dies of the same signal). With a debugger attached no
// report is written, so the debugger sees the failure untouched.
//
// The handlers are in force from the first step of the program's entry to its last.

#include "foundation/types.h"

namespace tallow {

/// Installs the handlers. Main thread, before other threads start.
void install_crash_handler();
/// Restores the default handling.
void uninstall_crash_handler();
/// The build id the crash report carries (0 until set). Safe from any thread.
void set_crash_dump_build_id(u32 build_id);
u32 crash_dump_build_id();
/// Whether a debugger (a tracer) is attached to the process.
bool is_debugger_attached();

} // namespace tallow
