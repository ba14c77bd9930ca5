// Config text parse throughput against RapidJSON's DOM parse of the same data written as
// JSON, in one run; prints MB/s of each and the ratio.
#include "bench/support/bench_support.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_text_writer.h"
#include "foundation/memory/memory_globals.h"

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <string>

using namespace tallow;

namespace {

// A settings-like tree of about 1 MB of text: nested objects of numbers, bools, strings
// and short arrays, as render and game settings hold them.
void build_tree(ConfigValue &root)
{
    root.set_object();
    char key[64];
    for (u32 section = 0; section < 2600; ++section) {
        snprintf(key, sizeof key, "section_%u", section);
        ConfigValue &s = root.member(key);
        for (u32 i = 0; i < 10; ++i) {
            snprintf(key, sizeof key, "value_%u", i);
            ConfigValue &v = s.member(key);
            switch (i % 5) {
            case 0: v.set_integer(i32(section * 37 + i)); break;
            case 1: v.set_float(f32(section) * 0.125f + 0.5f); break;
            case 2: v.set_bool(section % 2 == 0); break;
            case 3: v.set_string("resource_packages/level_with_a_long_name"); break;
            case 4:
                for (u32 k = 0; k < 4; ++k)
                    v.push_back().set_float(f32(k) * 0.25f + 0.1f);
                break;
            }
        }
        ConfigValue &nested = s.member("nested").member("deeper");
        nested.member("enabled").set_bool(true);
        nested.member("size").push_back().set_integer(2048);
        nested.member("size").push_back().set_integer(1024);
    }
}

void write_json(const ConfigValue &v, std::string &out)
{
    char number[32];
    switch (v.kind()) {
    case ConfigKind::Nil: out += "null"; break;
    case ConfigKind::Bool: out += v.to_bool() ? "true" : "false"; break;
    case ConfigKind::Integer: out += std::to_string(v.to_integer()); break;
    case ConfigKind::Float:
        snprintf(number, sizeof number, "%g", v.to_float());
        out += number;
        break;
    case ConfigKind::String:
    case ConfigKind::Data:
        out += '"';
        out += v.to_string(); // the bench strings need no escapes
        out += '"';
        break;
    case ConfigKind::Array: {
        out += '[';
        bool first = true;
        for (const ConfigValue &item : v.items()) {
            out += first ? "" : ",";
            first = false;
            write_json(item, out);
        }
        out += ']';
        break;
    }
    case ConfigKind::Object: {
        out += "{\n";
        bool first = true;
        for (const auto &entry : v.members()) {
            out += first ? "\"" : ",\n\"";
            first = false;
            out += entry.key.c_str();
            out += "\": ";
            write_json(entry.value, out);
        }
        out += "\n}";
        break;
    }
    }
}

struct Inputs {
    std::string config;
    std::string json;
    Inputs()
    {
        ConfigValue *root = create_config_root(default_allocator());
        build_tree(*root);
        StringStream stream(default_allocator());
        write_config_text(*root, stream, true);
        config.assign(stream.bytes().data(), stream.bytes().size());
        write_json(*root, json);
        destroy_config_root(root);
    }
};

const Inputs &inputs()
{
    static Inputs in;
    return in;
}

void config_text_parse(benchmark::State &state)
{
    const std::string &text = inputs().config;
    for (auto _ : state) {
        ConfigValue *root = create_config_root(default_allocator());
        parse_config_text(text.data(), text.data() + text.size(), *root);
        benchmark::DoNotOptimize(root->count());
        destroy_config_root(root);
    }
    state.SetBytesProcessed(i64(state.iterations()) * i64(text.size()));
}
BENCHMARK(config_text_parse)->Name("config_text")->Unit(benchmark::kMillisecond);

void rapidjson_dom_parse(benchmark::State &state)
{
    const std::string &text = inputs().json;
    for (auto _ : state) {
        rapidjson::Document document;
        document.Parse(text.data(), text.size());
        benchmark::DoNotOptimize(document.MemberCount());
    }
    state.SetBytesProcessed(i64(state.iterations()) * i64(text.size()));
}
BENCHMARK(rapidjson_dom_parse)->Name("rapidjson_dom")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    const bench::RatioReporter &runs = program.run();
    const double a = runs.seconds("config_text"), b = runs.seconds("rapidjson_dom");
    if (a > 0 && b > 0) {
        double ma = inputs().config.size() / a / 1e6, mb = inputs().json.size() / b / 1e6;
        std::printf("\nParse throughput of the same tree (%zu bytes of config text, %zu of JSON):\n",
                    inputs().config.size(), inputs().json.size());
        std::printf("  config text %7.1f MB/s, RapidJSON DOM %7.1f MB/s, ratio %5.2f (above 1: config text faster)\n",
                    ma, mb, ma / mb);
        std::printf("  time per tree: config text %.2f ms, RapidJSON %.2f ms\n", a * 1e3, b * 1e3);
    }
    return 0;
}
