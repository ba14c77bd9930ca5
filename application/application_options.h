#pragma once
// The command-line settings of a run, parsed from the argument list (program path first).
//
//   Array<DynamicString> arguments(allocator);
//   command_line_arguments(arguments);
//   ApplicationOptions options(allocator, arguments);
//   read_settings(options.data_directory(), options.settings_file_name.c_str());
//
// Options are compared whole and case-sensitively; an argument that is no option is
// skipped; "--" ends the parsing. "-@N value" (N a digit) sets substitution value N, and
// every "@N" inside a later string value is replaced by it in one pass ("@" before anything
// but a digit stays as it is, and a value that names its own substitution is not expanded
// again). An option whose values are missing at the end of the list is ignored (logged),
// as is "-@" followed by anything but a digit. Integers read an optional sign and leading
// digits (0 without digits, clamped to 32 bits); seconds read a decimal number (0.0 without
// one).
//
// The record owns its strings (made with the allocator given); main thread only.

#include "foundation/containers/array.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/types.h"

namespace tallow {

class ApplicationOptions {
  public:
    static constexpr u32 substitution_count = 10;

    /// The defaults, with the data directory the directory part of `program_path`.
    ApplicationOptions(Allocator &allocator, const char *program_path);
    /// Parses `arguments` (the first is the program path; an empty list gives the defaults
    /// with an empty data directory).
    ApplicationOptions(Allocator &allocator, const Array<DynamicString> &arguments);
    /// The same from a plain argument vector (`argv[0]` the program path).
    ApplicationOptions(Allocator &allocator, int argc, const char *const *argv);

    /// Where the settings file, the loose-file database and the content scan read from:
    /// with both host and project given, the data directory for a project without bundles
    /// and the bundle directory for one with bundles; otherwise the bundle directory when
    /// given, else the data directory.
    const char *data_directory() const;
    /// True when resources come from bundles: a bundle directory is given, or a host with a
    /// project that uses bundles.
    bool uses_bundles() const;
    /// Where bundles are read from when they are the resource source: the bundle directory
    /// when given (even where the settings come from the data directory), else the data
    /// directory.
    const char *bundle_directory() const;

    DynamicString data_dir;                  // "-data-dir"; default: the program's directory
    u8 compile = 0;                          // "-compile", "-compile-for"
    u8 compiler_server = 0;                  // "-compiler-server"
    u8 continue_flag = 0;                    // "-continue"
    DynamicString compile_platform;          // "-compile-for"; default "win32"
    DynamicString source_dir;                // "-source-dir"
    DynamicString bundle_dir;                // "-bundle-dir"
    DynamicString host;                      // "-host"
    DynamicString project;                   // "-project", "-bundled-project"
    u32 project_uses_bundles = 0;            // 0 "-project", 1 "-bundled-project"
    f32 wait_seconds = 0.0f;                 // "-wait"
    u8 hold = 0;                             // "-hold": wait for a debugger at start
    DynamicString settings_file_name;        // "-ini" value + ".ini"; default "settings.ini"
    DynamicString editor_settings_file_name; // "-editor-ini" value + ".ini"
    f32 wait_after_error_seconds = 10.0f;    // "-wait-after-error"
    i32 port = 0;                            // "-port"
    u8 pumped = 0;                           // "-pumped": frames only on request
    Array<DynamicString> recompile;          // "-recompile", one entry per use
    i64 parent_window = 0;                   // "-window": host window handle (0 = none)
    i32 rect_x = -1, rect_y = -1;            // "-rect" x y width height
    i32 rect_width = -1, rect_height = -1;

    /// The ten substitution values ("-@N").
    const DynamicString &substitution(u32 index) const { return _substitutions[index]; }

  private:
    void set_defaults(const char *program_path);
    void parse(u32 count, const char *const *arguments);
    void set_string(DynamicString &field, const char *value, const char *suffix = nullptr);

    Allocator *_allocator;
    DynamicString _substitutions[substitution_count];
};

/// Reads an integer as the options do: optional sign and leading digits, 0 without digits,
/// clamped to the i32 range.
i32 parse_option_integer(const char *text);
/// Reads a decimal number with optional fraction and exponent; 0.0 without one.
f64 parse_option_seconds(const char *text);

} // namespace tallow
