// Encoding and decoding one update of a 10-field replicated object (the message a peer
// sends when every field changed: id, field mask, quantised fields), against copying the
// object's raw state with memcpy. Prints the ratios and the bits one update takes on the
// wire, which must equal the sum the descriptors give.
#include "bench/support/bench_support.h"
#include "network/field_codec.h"
#include "tests/support/writers/network_config_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace tallow;
using namespace tallow::network;

namespace {

struct Fixture {
    std::vector<u8> bytes;
    NetworkGameConfig config;
    const GameObjectType *type = nullptr;
    std::vector<u8> state;

    Fixture()
    {
        test::NetworkConfigSpec spec;
        spec.types.push_back({"vehicle",
                              {test::vector3_field("position", 16, -512, 512), test::quaternion_field("rotation", 29),
                               test::vector3_field("velocity", 12, -50, 50), test::float_field("throttle", 8, 0, 1),
                               test::float_field("steering", 8, -1, 1), test::int_field("gear", 3, -1),
                               test::bool_field("braking"), test::bool_field("lights"), test::int_field("health", 7, 0),
                               test::id_field("driver")}});
        bytes = test::write_network_config(spec);
        if (!config.open(bytes.data(), u32(bytes.size())))
            abort();
        type = config.object_type(0);
        state.assign(config.data_at(*type), config.data_at(*type) + type->state_size);
        const f32 position[3] = {12.5f, -3.25f, 100.0f}, rotation[4] = {0.1f, 0.2f, 0.3f, 0.927f},
                  velocity[3] = {4, 0.5f, -1}, throttle = 0.75f, steering = -0.2f;
        const i32 gear = 3, health = 90;
        const u64 driver = 0x1234567890ABCDEFull;
        const void *values[] = {position, rotation, velocity, &throttle, &steering, &gear, nullptr, nullptr, &health, &driver};
        for (u32 f = 0; f < type->field_count; ++f)
            if (values[f])
                memcpy(state.data() + type->field_offset(f), values[f], field_size(type->fields[f].field_type()));
        state[type->field_offset(6)] = 1;
    }

    u32 encode(u8 *out, u32 capacity) const
    {
        BitWriter writer(out, capacity);
        writer.write_u8(7);
        writer.write_bits(0x1234, 16);
        writer.write_bits((1u << type->field_count) - 1, type->field_count);
        for (u32 f = 0; f < type->field_count; ++f)
            write_field(writer, type->fields[f], state.data() + type->field_offset(f));
        writer.flush();
        return writer.size_bytes();
    }

    u64 encoded_bits() const
    {
        u8 out[256];
        BitWriter writer(out, sizeof(out));
        writer.write_u8(7);
        writer.write_bits(0x1234, 16);
        writer.write_bits((1u << type->field_count) - 1, type->field_count);
        for (u32 f = 0; f < type->field_count; ++f)
            write_field(writer, type->fields[f], state.data() + type->field_offset(f));
        return writer.size_bits();
    }

    bool decode(const u8 *bytes_in, u32 size, u8 *out_state) const
    {
        BitReader reader(bytes_in, size);
        reader.read_u8();
        reader.read_bits(16);
        const u32 mask = reader.read_bits(type->field_count);
        for (u32 f = 0; f < type->field_count; ++f)
            if (mask & (1u << f))
                read_field(reader, type->fields[f], out_state + type->field_offset(f));
        return !reader.has_overflowed();
    }
};

const Fixture &fixture()
{
    static Fixture instance;
    return instance;
}

void BM_encode_update(benchmark::State &state)
{
    const Fixture &f = fixture();
    u8 out[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.encode(out, sizeof(out)));
        benchmark::ClobberMemory();
    }
}

void BM_decode_update(benchmark::State &state)
{
    const Fixture &f = fixture();
    u8 message[256];
    const u32 size = f.encode(message, sizeof(message));
    std::vector<u8> out(f.type->state_size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.decode(message, size, out.data()));
        benchmark::ClobberMemory();
    }
}

void BM_memcpy_state(benchmark::State &state)
{
    const Fixture &f = fixture();
    std::vector<u8> out(f.type->state_size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(out.data());
        memcpy(out.data(), f.state.data(), f.state.size());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_encode_update);
BENCHMARK(BM_decode_update);
BENCHMARK(BM_memcpy_state);

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    // The bits on the wire are what the descriptors say: type byte, id, mask, then the
    // fields (the id field starts on a byte boundary).
    const Fixture &f = fixture();
    u64 expected = 8 + 16 + f.type->field_count;
    for (u32 i = 0; i < f.type->field_count; ++i) {
        if (f.type->fields[i].field_type() == FieldType::Id)
            expected = (expected + 7) / 8 * 8;
        expected += field_wire_bits(f.type->fields[i]);
    }
    if (f.encoded_bits() != expected) {
        fprintf(stderr, "update takes %llu bits, the descriptors say %llu\n",
                static_cast<unsigned long long>(f.encoded_bits()), static_cast<unsigned long long>(expected));
        return 1;
    }
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio ratios[] = {{"encode", "BM_encode_update", "BM_memcpy_state"},
                                       {"decode", "BM_decode_update", "BM_memcpy_state"}};
    bench::print_time_ratios(runs, "10-field update time / memcpy of the raw state", ratios);
    printf("\nOne update of all 10 fields: %llu bits on the wire (%u bytes after the final flush); "
           "raw state %u bytes (%u bits)\n",
           static_cast<unsigned long long>(f.encoded_bits()), u32((f.encoded_bits() + 7) / 8), f.type->state_size,
           f.type->state_size * 8);
    return 0;
}
