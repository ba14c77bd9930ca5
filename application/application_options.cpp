#include "application/application_options.h"

#include "foundation/log.h"
#include "foundation/strings/path.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tallow {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// How many value arguments each option takes.
struct OptionArity {
    const char *name;
    u32 values;
};

const OptionArity option_arities[] = {
    {"-data-dir", 1}, {"-compile", 0}, {"-compiler-server", 0}, {"-compile-for", 1},
    {"-continue", 0}, {"-source-dir", 1}, {"-bundle-dir", 1}, {"-wait", 1},
    {"-hold", 0}, {"-ini", 1}, {"-editor-ini", 1}, {"-window", 1},
    {"-rect", 4}, {"-host", 1}, {"-project", 1}, {"-bundled-project", 1},
    {"-wait-after-error", 1}, {"-port", 1}, {"-pumped", 0}, {"-recompile", 1},
};

} // namespace

i32 parse_option_integer(const char *text)
{
    if (!text)
        return 0;
    const char *p = text;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    i64 value = 0;
    for (; is_digit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > i64(1) << 32)
            value = i64(1) << 32; // saturate; the clamp below does the rest
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return i32(value);
}

f64 parse_option_seconds(const char *text)
{
    if (!text)
        return 0.0;
    // Only decimal numbers: no "inf", "nan" or hexadecimal forms.
    const char *p = text;
    if (*p == '+' || *p == '-')
        ++p;
    if (!is_digit(*p) && !(*p == '.' && is_digit(p[1])))
        return 0.0;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        return 0.0;
    f64 value = strtod(text, nullptr);
    return std::isfinite(value) ? value : 0.0;
}

ApplicationOptions::ApplicationOptions(Allocator &allocator, const char *program_path)
    : data_dir(allocator), compile_platform(allocator), source_dir(allocator), bundle_dir(allocator), host(allocator),
      project(allocator), settings_file_name(allocator), editor_settings_file_name(allocator), recompile(allocator),
      _allocator(&allocator)
{
    set_defaults(program_path);
}

ApplicationOptions::ApplicationOptions(Allocator &allocator, const Array<DynamicString> &arguments)
    : ApplicationOptions(allocator, arguments.empty() ? "" : arguments[0].c_str())
{
    Array<const char *> pointers(allocator);
    pointers.reserve(arguments.size());
    for (const DynamicString &a : arguments)
        pointers.push_back(a.c_str());
    parse(pointers.size(), pointers.data());
}

ApplicationOptions::ApplicationOptions(Allocator &allocator, int argc, const char *const *argv)
    : ApplicationOptions(allocator, argc > 0 && argv ? argv[0] : "")
{
    if (argc > 0 && argv)
        parse(u32(argc), argv);
}

void ApplicationOptions::set_defaults(const char *program_path)
{
    // The array members are default-constructed as borrowed strings that hold nothing;
    // remake them as strings owned through our allocator.
    for (DynamicString &s : _substitutions)
        new (&s) DynamicString(*_allocator);
    path_directory(program_path, data_dir);
    compile_platform.assign_cstr("win32");
    settings_file_name.assign_cstr("settings.ini");
}

void ApplicationOptions::set_string(DynamicString &field, const char *value, const char *suffix)
{
    // One pass from left to right: "@N" becomes substitution N, and the scan goes on after
    // the inserted text, so a value that contains its own "@N" cannot grow without end.
    DynamicString result(*_allocator);
    for (const char *p = value; *p; ++p) {
        if (p[0] == '@' && is_digit(p[1])) {
            result.append(_substitutions[p[1] - '0'].c_str());
            ++p;
        } else {
            result.append_char(*p);
        }
    }
    if (suffix)
        result.append(suffix);
    field.assign_cstr(result.c_str());
}

void ApplicationOptions::parse(u32 count, const char *const *arguments)
{
    for (u32 i = 1; i < count; ++i) {
        const char *arg = arguments[i];
        if (!arg)
            break;
        if (strcmp(arg, "--") == 0)
            break;

        if (arg[0] == '-' && arg[1] == '@') {
            if (!is_digit(arg[2])) {
                log_message("application", "option \"%s\": \"-@\" must be followed by a digit 0-9; ignored", arg);
                continue;
            }
            if (i + 1 >= count || !arguments[i + 1]) {
                log_message("application", "option \"%s\" needs a value; ignored", arg);
                break;
            }
            // Build into a temporary: the value may name this very substitution.
            DynamicString value(*_allocator);
            set_string(value, arguments[i + 1]);
            _substitutions[arg[2] - '0'].assign_cstr(value.c_str());
            ++i;
            continue;
        }

        u32 values = 0;
        bool known = false;
        for (const OptionArity &o : option_arities)
            if (strcmp(arg, o.name) == 0) {
                values = o.values;
                known = true;
                break;
            }
        if (!known)
            continue;
        bool complete = i + values < count;
        for (u32 k = 1; complete && k <= values; ++k)
            complete = arguments[i + k] != nullptr;
        if (!complete) {
            log_message("application", "option \"%s\" needs %u value(s); ignored", arg, values);
            break;
        }
        const char *v = values ? arguments[i + 1] : nullptr;

        if (strcmp(arg, "-data-dir") == 0) {
            set_string(data_dir, v);
        } else if (strcmp(arg, "-compile") == 0) {
            compile = 1;
        } else if (strcmp(arg, "-compiler-server") == 0) {
            compiler_server = 1;
        } else if (strcmp(arg, "-compile-for") == 0) {
            set_string(compile_platform, v);
            compile = 1;
        } else if (strcmp(arg, "-continue") == 0) {
            continue_flag = 1;
        } else if (strcmp(arg, "-source-dir") == 0) {
            set_string(source_dir, v);
        } else if (strcmp(arg, "-bundle-dir") == 0) {
            set_string(bundle_dir, v);
        } else if (strcmp(arg, "-wait") == 0) {
            wait_seconds = f32(parse_option_seconds(v));
        } else if (strcmp(arg, "-hold") == 0) {
            hold = 1;
        } else if (strcmp(arg, "-ini") == 0) {
            set_string(settings_file_name, v, ".ini");
        } else if (strcmp(arg, "-editor-ini") == 0) {
            set_string(editor_settings_file_name, v, ".ini");
        } else if (strcmp(arg, "-window") == 0) {
            parent_window = parse_option_integer(v);
        } else if (strcmp(arg, "-rect") == 0) {
            rect_x = parse_option_integer(arguments[i + 1]);
            rect_y = parse_option_integer(arguments[i + 2]);
            rect_width = parse_option_integer(arguments[i + 3]);
            rect_height = parse_option_integer(arguments[i + 4]);
        } else if (strcmp(arg, "-host") == 0) {
            set_string(host, v);
        } else if (strcmp(arg, "-project") == 0) {
            set_string(project, v);
            project_uses_bundles = 0;
        } else if (strcmp(arg, "-bundled-project") == 0) {
            set_string(project, v);
            project_uses_bundles = 1;
        } else if (strcmp(arg, "-wait-after-error") == 0) {
            wait_after_error_seconds = f32(parse_option_seconds(v));
        } else if (strcmp(arg, "-port") == 0) {
            port = parse_option_integer(v);
        } else if (strcmp(arg, "-pumped") == 0) {
            pumped = 1;
        } else if (strcmp(arg, "-recompile") == 0) {
            recompile.push_back(DynamicString(v, *_allocator));
        }
        i += values;
    }
}

const char *ApplicationOptions::data_directory() const
{
    if (!host.empty() && !project.empty())
        return project_uses_bundles ? bundle_dir.c_str() : data_dir.c_str();
    return bundle_dir.empty() ? data_dir.c_str() : bundle_dir.c_str();
}

bool ApplicationOptions::uses_bundles() const
{
    return !bundle_dir.empty() || (!host.empty() && !project.empty() && project_uses_bundles);
}

const char *ApplicationOptions::bundle_directory() const
{
    return bundle_dir.empty() ? data_directory() : bundle_dir.c_str();
}

} // namespace tallow
