// network_game_config blocks from outside: a block the reader opens must be safe to use
// through every lookup, and its descriptors safe to encode and decode with.
#include "foundation/strings/name_id.h"
#include "fuzz/fuzz_support.h"
#include "network/field_codec.h"
#include "network/network_game_config.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace tallow;
using namespace tallow::network;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    if (size > 0xFFFFFFFFu)
        return 0;
    // The engine reads resources 4-byte aligned; the fuzzer's buffer need not be.
    std::vector<u32> aligned((size + 3) / 4 + 1);
    memcpy(aligned.data(), data, size);
    NetworkGameConfig config;
    if (!config.open(aligned.data(), u32(size)))
        return 0;
    u8 scratch[1200];
    for (u32 i = 0; i < config.rpc_count(); ++i) {
        const RpcEntry &entry = *config.rpc(i);
        if (config.find_rpc(entry.name_id) != &entry)
            abort(); // validated tables are sorted and distinct
        // Decode the arguments from the block's own bytes, then encode what came out.
        RpcValue values[max_rpc_arguments];
        BitReader reader(data + (i * 7) % size, u32(size - (i * 7) % size));
        if (read_rpc_arguments(reader, entry, values)) {
            BitWriter writer(scratch, sizeof(scratch));
            (void)write_rpc(writer, i, entry, values, entry.argument_count);
        }
    }
    for (u32 i = 0; i < config.object_type_count(); ++i) {
        const GameObjectType &type = *config.object_type(i);
        if (config.find_object_type(type.name_id) != &type)
            abort();
        const u8 *defaults = config.data_at(type);
        std::vector<u8> state(defaults, defaults + type.state_size);
        BitWriter writer(scratch, sizeof(scratch));
        for (u32 f = 0; f < type.field_count; ++f) {
            if (type.field_offset(f) + field_size(type.fields[f].field_type()) > type.state_size)
                abort();
            write_field(writer, type.fields[f], state.data() + type.field_offset(f));
            (void)type.find_field(type.field_name_ids[f]);
        }
        writer.flush();
        BitReader reader(scratch, writer.size_bytes());
        for (u32 f = 0; f < type.field_count; ++f) {
            u8 value[16];
            if (!read_field(reader, type.fields[f], value))
                abort(); // what was written reads back
            (void)field_changed(type.fields[f], state.data() + type.field_offset(f), value);
            (void)blend_field(type.fields[f], state.data() + type.field_offset(f), value, 1.0, 0.5, 0.1f);
        }
    }
    return 0;
}
