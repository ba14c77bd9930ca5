// tallow_compile_unit: compiles one unit source file into a "unit" resource file.
//
//   tallow_compile_unit <source.unit> <output file>
//
// The source layout is documented in tools/world/unit_compiler.h. Exit code 0 on success, 1
// when the source is wrong or a file cannot be read or written (reported on stderr).

#include "foundation/memory/memory_globals.h"
#include "tools/world/unit_compiler.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace tallow;

namespace {

bool read_whole_file(const char *path, std::vector<u8> &out)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    u8 buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        out.insert(out.end(), buffer, buffer + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool run(const char *source_path, const char *output_path)
{
    std::vector<u8> source;
    if (!read_whole_file(source_path, source)) {
        fprintf(stderr, "tallow_compile_unit: cannot read '%s'\n", source_path);
        return false;
    }
    std::vector<u8> bytes;
    std::string error;
    if (!compile_unit_source(reinterpret_cast<const char *>(source.data()), source.size(), bytes, error)) {
        // The compiler starts a message with its line when it found one: "<file>:<line>: ...".
        bool has_line = !error.empty() && error[0] >= '0' && error[0] <= '9';
        fprintf(stderr, "tallow_compile_unit: %s:%s%s\n", source_path, has_line ? "" : " ", error.c_str());
        return false;
    }
    FILE *f = fopen(output_path, "wb");
    bool ok = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f)
        ok = fclose(f) == 0 && ok;
    if (!ok)
        fprintf(stderr, "tallow_compile_unit: cannot write '%s'\n", output_path);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tallow_compile_unit <source.unit> <output file>\n");
        return 2;
    }
    memory_globals_init();
    bool ok = run(argv[1], argv[2]);
    memory_globals_shutdown();
    return ok ? 0 : 1;
}
