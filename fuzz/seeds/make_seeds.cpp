// Writes the fuzz corpus seeds: make_seeds <config dir> <blob dir> <segment dir>.
#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/segment_stream_writer.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace tallow;

namespace {
const char settings[] = R"(// settings
boot_package = "resource_packages/boot"
win32 = { renderer = { adapter_index = 0, vsync = true }, input = { keys = [ "w" "a" ] } }
sound = { volume = -3.5e0, scale = 0.25 }
"user name" = "Ann \"A\" \u00e9" shader = """long
text""" /* block */ list = [ 1, 2.5, [ ], { a = null } ] flag = false
)";
} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: make_seeds <config dir> <blob dir> <segment dir>\n");
        return 2;
    }
    memory_globals_init();
    fuzz::write_seed(std::string(argv[1]) + "/settings.ini", settings, sizeof settings - 1);

    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(settings, settings + sizeof settings - 1, *root);
    u32 size = 0;
    void *blob = flatten_config(*root, default_allocator(), &size);
    fuzz::write_seed(std::string(argv[2]) + "/settings.blob", blob, size);
    default_allocator().deallocate(blob);
    destroy_config_root(root);

    struct Seed {
        const char *name;
        u64 size;
        u32 noise;
    };
    const Seed seeds[] = {{"empty", 0, 0}, {"short", 300, 10}, {"two_segments", 65537, 5}, {"raw", 65536, 100}};
    for (const Seed &s : seeds) {
        std::vector<u8> bytes = test::sample_bytes(s.size, 1, s.noise);
        std::vector<u8> stream = test::segment_stream_of(bytes.data(), bytes.size());
        fuzz::write_seed(std::string(argv[3]) + "/" + s.name, stream.data(), stream.size());
    }
    memory_globals_shutdown();
    return 0;
}
