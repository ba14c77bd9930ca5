#include "foundation/strings/path.h"

#include "foundation/assert.h"

#include <cstring>
#include <utility>

namespace tallow {

namespace {
// Index just past the last separator in text[0, end), or 0 when there is none; `found`
// tells the two apart.
u64 after_last_separator(const char *text, u64 end, bool &found)
{
    for (u64 i = end; i > 0; --i)
        if (is_path_separator(text[i - 1])) {
            found = true;
            return i;
        }
    found = false;
    return 0;
}

u32 clamp_length(u64 n) { return n < 0xFFFFFFFFull ? u32(n) : 0xFFFFFFFFu; }

// The outputs may alias the inputs, so each result is built aside and moved in.
void set_output(DynamicString &out, const char *text, u64 length)
{
    if (!out.allocator()) {
        TALLOW_ASSERT(false, "path output needs an owning string");
        return;
    }
    DynamicString result(text, clamp_length(length), *out.allocator());
    out = static_cast<DynamicString &&>(result);
}
} // namespace

void path_join(const char *directory, const char *name, DynamicString &out)
{
    const char *d = directory ? directory : "";
    const char *n = name ? name : "";
    if (!d[0]) {
        set_output(out, n, strlen(n));
        return;
    }
    if (!n[0]) {
        set_output(out, d, strlen(d));
        return;
    }
    if (!out.allocator()) {
        TALLOW_ASSERT(false, "path output needs an owning string");
        return;
    }
    const char separator[2] = {path_separator, 0};
    DynamicString result(d, *out.allocator());
    if (!is_path_separator(d[strlen(d) - 1]))
        result.append(separator);
    result.append(n);
    out = static_cast<DynamicString &&>(result);
}

void path_join_data_name(const char *directory, const char *name, DynamicString &out)
{
    if (!out.allocator()) {
        TALLOW_ASSERT(false, "path output needs an owning string");
        return;
    }
    DynamicString host_name(name ? name : "", *out.allocator());
    char *text = host_name.data();
    for (u32 i = 0; text && i < host_name.length(); ++i)
        if (is_path_separator(text[i]))
            text[i] = path_separator;
    path_join(directory, host_name.c_str(), out);
}

void path_file_name(const char *path, DynamicString &out)
{
    const char *p = path ? path : "";
    u64 length = strlen(p);
    bool found;
    u64 start = after_last_separator(p, length, found);
    set_output(out, p + start, length - start);
}

void path_directory(const char *path, DynamicString &out)
{
    const char *p = path ? path : "";
    bool found;
    u64 start = after_last_separator(p, strlen(p), found);
    set_output(out, p, found ? start - 1 : 0);
}

void path_components(const char *path, Array<DynamicString> &out_components)
{
    // Copied first: `path` may be the text of one of the array's strings.
    DynamicString copy(path ? path : "", out_components.allocator());
    out_components.clear();
    const char *p = copy.c_str();
    u64 end = strlen(p);
    // Walks from the back like "take the file name, continue with the directory"; the
    // remaining length strictly shrinks each round.
    while (end > 0) {
        bool found;
        u64 start = after_last_separator(p, end, found);
        out_components.push_back(DynamicString(p + start, clamp_length(end - start), out_components.allocator()));
        if (!found)
            break;
        end = start - 1;
    }
    for (u32 i = 0, j = out_components.size(); i + 1 < j; ++i, --j)
        std::swap(out_components[i], out_components[j - 1]);
}

} // namespace tallow
