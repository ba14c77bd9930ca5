// Nothing frees resource data under the things that read it. The whole program (its
// services over the compiled sample, the headless window and device) runs a small Lua game:
// for each resource type, the one resource under test sits alone in a package, everything
// else it needs in another; a holder of the type (a unit, an effect, a gui, a sound, ...)
// reads it, and at each moment (before the holder's first use, while it is in use, after it
// is gone) the package is unloaded or the resource reloaded as the console does. The game
// must go on without a script error, its holders keep working or end cleanly, and every
// traced allocator is back at zero when the program is gone. Run it under AddressSanitizer
// (./test.sh --sanitize=address) to see that nothing reads freed memory.
#include "application/application.h"
#include "application/application_options.h"
#include "application/engine_setup.h"
#include "application/game_interface.h"
#include "application/my_game.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/memory/memory_globals.h"
#include "platform/d3d11/d3d11_backend.h"
#include "platform/window/window_headless.h"
#include "render/world/deferred_release_queue.h"
#include "resource/exploded_database.h"
#include "resource/resource_writer.h"
#include "script/runtime/lua_environment.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace tallow::test {
namespace {

using namespace platform;

constexpr f32 frame_step = 1.0f / 30.0f;

/// One resource type of the table: the resource alone in its package, and the Lua that
/// makes a holder of it (into `H`) and lets it go.
struct TypeCase {
    const char *label;
    const char *type;
    const char *name;
    const char *make; // may raise cleanly when the resource is not loaded
    const char *drop;
    bool held;        // the holder keeps the data across frames (else it reads it once)
    bool handed;      // a reload hands the new data to live holders
    // Held by another loaded resource throughout (a texture by the materials that name it,
    // from their package's flush until that package goes, after the texture's own package
    // at shutdown): its data is always freed at that holder's release.
    bool held_by_resource = false;
};

// The sample's yard: the crate (physics actors, a material with two textures), the door
// (bones, a state machine, three animations), the weathervane, the sample level, the GUI
// font and material, the sparks and the looping ambience.
const TypeCase types[] = {
    {"unit", "unit", "units/crate", "H = World.spawn_unit(W, 'units/crate', Vector3(0, 0, 2))",
     "World.destroy_unit(W, H)", true, true},
    {"level", "level", "levels/sample", "H = World.load_level(W, 'levels/sample', LevelScript)", "new_world()", true, false},
    {"material", "material", "units/crate", "H = World.spawn_unit(W, 'units/crate', Vector3(0, 0, 2))",
     "World.destroy_unit(W, H)", true, false},
    {"texture", "texture", "textures/crate", "H = World.spawn_unit(W, 'units/crate', Vector3(0, 0, 2))",
     "World.destroy_unit(W, H)", true, true, true},
    {"GUI material", "material", "materials/gui",
     "H = World.create_screen_gui(W, 0, 0, 'material', 'materials/gui')\n"
     "Gui.text(H, 'lifetime', 'fonts/sample', 16, 'gui_text', Vector3(10, 10, 0))",
     "World.destroy_gui(W, H)", true, false},
    {"particles", "particles", "effects/sparks", "H = World.create_particles(W, 'effects/sparks', Vector3(0, 0, 1))",
     "World.destroy_particles(W, H)", true, true},
    {"sound", "wav", "sounds/ambience", "H = World.play_sound(W, 'sounds/ambience', true)", "World.stop_sound(W, H)", true, false},
    {"state machine", "state_machine", "units/door", "H = World.spawn_unit(W, 'units/door', Vector3(3, 0, 0))",
     "World.destroy_unit(W, H)", true, false},
    {"animation", "animation", "animations/vane_spin",
     "H = World.spawn_unit(W, 'units/weathervane', Vector3(-3, 0, 0))\n"
     "Unit.crossfade_animation(H, 'animations/vane_spin', 1, 0.1, true)",
     "World.destroy_unit(W, H)", true, false},
    {"bones", "bones", "units/weathervane", "H = World.spawn_unit(W, 'units/weathervane', Vector3(-3, 0, 0))",
     "World.destroy_unit(W, H)", false, false},
    {"shading environment", "shading_environment", "lifetime/environment",
     "H = World.create_shading_environment(W, 'lifetime/environment')\nE = H",
     "World.destroy_shading_environment(W, H)\nE = nil", true, true},
    {"font", "font", "fonts/sample",
     "H = World.create_screen_gui(W, 0, 0, 'material', 'materials/gui')\n"
     "Gui.text(H, 'lifetime', 'fonts/sample', 16, 'gui_text', Vector3(10, 10, 0))",
     "World.destroy_gui(W, H)", false, false},
    {"physics properties", "physics_properties", "physics/sample",
     "H = World.spawn_unit(W, 'units/crate', Vector3(0, 0, 2))", "World.destroy_unit(W, H)", false, false},
};

enum class Moment { BeforeFirstUse, InUse, AfterHolderGone };
enum class Action { Unload, Reload };

const char *to_string(Moment m)
{
    return m == Moment::BeforeFirstUse ? "before first use" : m == Moment::InUse ? "in use" : "after its holder is gone";
}
const char *to_string(Action a) { return a == Action::Unload ? "package unloaded" : "resource reloaded"; }

// The game: a world rendered every frame (with the environment E when there is one), and
// the packages P (the resource under test) and B (the rest).
constexpr const char *boot_script = R"(
LevelScript = {}
function new_world()
    if W then Application.release_world(W) end
    W = Application.new_world()
    H = nil
    E = nil
end
function load_package(name)
    local p = Application.resource_package(name)
    assert(p, name)
    ResourcePackage.load(p)
    ResourcePackage.flush(p)
    return p
end
function init() end
function update(dt)
    if W then World.update(W, dt) end
end
function render()
    if W then Application.render_world(W, nil, nil, E) end
end
function shutdown()
    if W then Application.release_world(W) end
    W = nil
    if P then Application.release_resource_package(P) end
    if B then Application.release_resource_package(B) end
end
)";

/// The boot script, as a "lua" resource's bytes.
class BootScript final : public IScriptSource {
  public:
    BootScript()
    {
        const u32 n = u32(std::strlen(boot_script));
        _bytes.assign(reinterpret_cast<const char *>(&n), 4);
        _bytes += boot_script;
    }
    bool find_script(const char *name, const u8 *&out_data, u64 &out_size) override
    {
        if (std::strcmp(name, "boot") != 0)
            return false;
        out_data = reinterpret_cast<const u8 *>(_bytes.data());
        out_size = _bytes.size();
        return true;
    }

  private:
    std::string _bytes;
};

BootScript *g_scripts = nullptr;
IGame *make_game(Allocator &allocator, Application &application)
{
    return make_new<MyGame>(allocator, application, g_scripts);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

template <typename T> T read_le(const std::string &b, size_t at)
{
    T v{};
    if (at + sizeof v <= b.size())
        std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

/// The compiled sample copied into a directory of its own, with the table's packages
/// added: "lifetime/only_<i>" holds type i's resource alone and "lifetime/rest_<i>" the
/// sample's other resources. A copy of the sample's shading environment stands in for it
/// (the render configuration's package keeps the original loaded throughout).
class LifetimeData {
  public:
    bool build(std::string &error)
    {
        const std::string from = TALLOW_BUILT_DATA_DIR;
        const std::string index = read_file(from + "/" + ExplodedDatabase::index_file_name);
        if (index.size() < 8) {
            error = "no compiled sample at " + from;
            return false;
        }
        DatabaseWriter writer(default_allocator());
        std::map<std::pair<u64, u64>, std::string> bytes; // mask 0 variants, by (type, name)
        const u32 count = read_le<u32>(index, 4);
        const size_t properties_at = 8 + size_t(count) * 24;
        const u32 property_count = read_le<u32>(index, properties_at);
        for (u32 p = 0; p < property_count; ++p)
            writer.add_property(NameId64::from_value(read_le<u64>(index, properties_at + 4 + p * 8)));
        for (u32 i = 0; i < count; ++i) {
            const size_t at = 8 + size_t(i) * 24;
            const ResourceId id{NameId64::from_value(read_le<u64>(index, at)),
                                NameId64::from_value(read_le<u64>(index, at + 8))};
            const u32 mask = read_le<u32>(index, at + 16);
            char file[24];
            ExplodedDatabase::loose_file_name(read_le<u32>(index, at + 20), file);
            const std::string data = read_file(from + "/" + file);
            writer.add_variant(id, mask, data.data(), data.size());
            if (mask == 0)
                bytes[{id.type.value(), id.name.value()}] = data;
        }
        // The sample's content, as its packages list it.
        std::vector<ResourceId> sample;
        for (const char *package : {"sample_units", "sample_animations", "sample_effects", "sample_physics",
                                    "sample_sounds"}) {
            const std::string &listing = bytes[{NameId64("package").value(), NameId64(package).value()}];
            const u32 n = read_le<u32>(listing, 0);
            if (listing.size() != 4 + size_t(n) * 16) {
                error = std::string("the sample package ") + package + " is not as expected";
                return false;
            }
            for (u32 k = 0; k < n; ++k)
                sample.push_back({NameId64::from_value(read_le<u64>(listing, 4 + k * 16)),
                                  NameId64::from_value(read_le<u64>(listing, 12 + k * 16))});
        }
        const std::string &environment =
            bytes[{NameId64("shading_environment").value(), NameId64("shading_environments/default").value()}];
        if (environment.empty()) {
            error = "the sample has no default shading environment";
            return false;
        }
        writer.add_resource({NameId64("shading_environment"), NameId64("lifetime/environment")}, environment.data(),
                            environment.size());
        for (u32 t = 0; t < std::size(types); ++t) {
            const ResourceId tested{NameId64(types[t].type), NameId64(types[t].name)};
            std::vector<ResourceId> rest;
            for (const ResourceId &id : sample)
                if (!(id == tested))
                    rest.push_back(id);
            add_package(writer, "lifetime/only_" + std::to_string(t), {tested});
            add_package(writer, "lifetime/rest_" + std::to_string(t), rest);
        }
        DiskFileSystem files(dir.path(), default_allocator());
        if (!writer.write(files)) {
            error = "cannot write the table's data";
            return false;
        }
        std::ofstream(std::string(dir.path()) + "/settings.ini") << read_file(from + "/settings.ini");
        return true;
    }

    const char *path() const { return dir.path(); }

  private:
    static void add_package(DatabaseWriter &writer, const std::string &name, const std::vector<ResourceId> &ids)
    {
        Array<u8> out(default_allocator());
        build_package_resource(ids.data(), u32(ids.size()), out);
        writer.add_resource({NameId64("package"), NameId64(name.c_str())}, out.data(), out.size());
    }

    TempDirectory dir;
};

/// What one run of a case left behind.
struct CaseRun {
    bool started = false;
    i32 new_data_holders = -1;            // reload while in use: holders of the new data
    bool paused = false;                   // a script error stopped the game
    std::vector<std::string> errors;       // script errors and leaks
    std::vector<std::string> freed_lines;  // "freed at its last holder's release"
};

class ResourceLifetimeTable : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        data = new LifetimeData;
        if (!data->build(data_error)) {
            delete data;
            data = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        delete data;
        data = nullptr;
    }

    /// What a case does with the running program: `lua` runs a snippet in the game's
    /// state, `frames` runs whole frames (stopping at a script error).
    struct Program {
        Application &app;
        MyGame &game;
        void lua(const std::string &code) { game.lua().do_string(code.c_str()); }
        void frames(u32 n)
        {
            for (u32 i = 0; i < n && !game.is_paused(); ++i)
                app.update();
        }
    };

    /// Runs `body` in a fresh program over the table's data; `tested` picks the log lines
    /// of data freed at a holder's release that count.
    template <typename F> CaseRun run_program(NameId64 tested_name, F &&body)
    {
        CaseRun result;
        TempDirectory config_home, data_home;
        setenv("XDG_CONFIG_HOME", config_home.path(), 1);
        setenv("XDG_DATA_HOME", data_home.path(), 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        LogCapture log;
        const d3d11::Backend previous_backend = d3d11::requested_backend();
        d3d11::set_backend(d3d11::Backend::headless);
        BootScript scripts;
        g_scripts = &scripts;
        {
            HeadlessWindowSystem window_system{default_allocator()};
            const char *arguments[] = {"bin/tallow", "-data-dir", data->path()};
            ApplicationOptions options(default_allocator(), 3, arguments);
            ApplicationParams params = engine_params(options, window_system);
            params.game_factory = make_game;
            params.worker_count = 2;
            auto app = std::make_unique<Application>(params);
            app->set_fixed_frame_step(frame_step);
            result.started = app->init();
            auto *game = static_cast<MyGame *>(app->game());
            if (result.started && game) {
                Program program{*app, *game};
                program.frames(2);
                body(program, result);
                result.paused = game->is_paused();
            }
            app.reset();
            release_engine_resource_types();
        }
        g_scripts = nullptr;
        d3d11::set_backend(previous_backend);
        char tested[24];
        std::snprintf(tested, sizeof tested, "%016llx", (unsigned long long)tested_name.value());
        for (const std::string &line : log.lines()) {
            if (line.rfind("memory: allocator", 0) == 0 || line.find("do_string") != std::string::npos ||
                (result.paused && line.find("rror") != std::string::npos))
                result.errors.push_back(line);
            if (line.find("at its last holder's release") != std::string::npos && line.find(tested) != std::string::npos)
                result.freed_lines.push_back(line);
        }
        return result;
    }

    /// Runs case (type t, moment, action) in a fresh program.
    CaseRun run(u32 t, Moment moment, Action action)
    {
        const TypeCase &c = types[t];
        return run_program(NameId64(c.name), [&](Program &p, CaseRun &result) {
            const std::string only = "lifetime/only_" + std::to_string(t);
            const std::string rest = "lifetime/rest_" + std::to_string(t);
            // A material resolves its textures when its package is flushed: a texture
            // goes first so that the crate's material points into it.
            if (std::strcmp(c.type, "texture") == 0)
                p.lua("P = load_package('" + only + "')\nB = load_package('" + rest + "')");
            else
                p.lua("B = load_package('" + rest + "')\nP = load_package('" + only + "')");
            p.lua("new_world()");
            auto act = [&] {
                if (action == Action::Unload)
                    p.lua("ResourcePackage.unload(P)");
                else
                    p.game.reload(NameId64(c.type).value(), NameId64(c.name).value());
            };
            // Without its resource a holder may refuse to be made (a clean script error,
            // caught here); it must not crash or read freed data.
            const std::string make = std::string("made = pcall(function()\n") + c.make + "\nend)\n";
            const std::string drop = std::string("if made and H then\n") + c.drop + "\nend\nH = nil\n";
            switch (moment) {
            case Moment::BeforeFirstUse:
                act();
                p.lua(make);
                p.frames(6);
                p.lua(drop);
                p.frames(3);
                break;
            case Moment::InUse:
                // In the frame the holder is made, before it is first drawn or stepped.
                p.lua(make);
                act();
                if (action == Action::Reload)
                    result.new_data_holders =
                        p.app.resource_manager()->holder_count(NameId64(c.type), NameId64(c.name));
                p.frames(6);
                p.lua(drop);
                p.frames(4);
                break;
            case Moment::AfterHolderGone:
                // Gone: past the frames records of it may still be on their way to the
                // render side, which its data outlives.
                p.lua(make);
                p.frames(4);
                p.lua(drop);
                p.frames(render_handle_release_frames + 2);
                act();
                p.frames(3);
                break;
            }
            // A holder made after the action must work too, or refuse cleanly.
            p.lua(make);
            p.frames(3);
            p.lua(drop);
            p.frames(2);
        });
    }

    static inline LifetimeData *data = nullptr;
    static inline std::string data_error;
};

TEST_F(ResourceLifetimeTable, NoHolderReadsFreedDataAndEverythingIsFreed)
{
    ASSERT_NE(data, nullptr) << data_error;
    const Moment moments[] = {Moment::BeforeFirstUse, Moment::InUse, Moment::AfterHolderGone};
    const Action actions[] = {Action::Unload, Action::Reload};
    for (u32 t = 0; t < std::size(types); ++t)
        for (Moment m : moments)
            for (Action a : actions) {
                SCOPED_TRACE(std::string(types[t].label) + ", " + to_string(m) + ", " + to_string(a));
                const CaseRun r = run(t, m, a);
                ASSERT_TRUE(r.started);
                EXPECT_FALSE(r.paused) << "a script error stopped the game";
                for (const std::string &e : r.errors)
                    ADD_FAILURE() << e;
                // Data a holder kept through the unload or reload is freed at its last
                // release, with one line (a holder handed the new data lets go of the old
                // once the render side is past it).
                const bool line = types[t].held_by_resource || (types[t].held && m == Moment::InUse);
                EXPECT_EQ(r.freed_lines.size(), line ? 1u : 0u)
                    << (r.freed_lines.empty() ? std::string() : r.freed_lines[0]);
                if (m == Moment::InUse && a == Action::Reload) {
                    EXPECT_EQ(r.new_data_holders > 0, types[t].handed) << "holders of the new data";
                }
            }
}

} // namespace
} // namespace tallow::test

namespace tallow::test {
namespace {

// The faults as they were first seen: whole sample packages unloaded while what reads
// them lives (the door and weathervane with their state machines and animations, a GUI
// text drawn with the sample font before its first draw, the sparks, the looping
// ambience), then every holder let go of.
TEST_F(ResourceLifetimeTable, SamplePackagesUnloadedUnderTheirHolders)
{
    ASSERT_NE(data, nullptr) << data_error;
    const CaseRun r = run_program(NameId64("units/door"), [](Program &p, CaseRun &) {
        p.lua("packages = {}\n"
              "for _, name in ipairs({'sample_physics', 'sample_animations', 'sample_effects', 'sample_sounds',\n"
              "                       'sample_units'}) do\n"
              "  packages[name] = load_package(name)\n"
              "end\n"
              "new_world()\n"
              "door = World.spawn_unit(W, 'units/door', Vector3(3, 0, 0))\n"
              "vane = World.spawn_unit(W, 'units/weathervane', Vector3(-3, 0, 0))\n"
              "Unit.crossfade_animation(vane, 'animations/vane_spin', 1, 0.1, true)\n"
              "crate = World.spawn_unit(W, 'units/crate', Vector3(0, 0, 2))\n"
              "sparks = World.create_particles(W, 'effects/sparks', Vector3(0, 0, 1))\n"
              "sound = World.play_sound(W, 'sounds/ambience', true)\n"
              "gui = World.create_screen_gui(W, 0, 0, 'material', 'materials/gui')\n"
              "Gui.text(gui, 'status', 'fonts/sample', 16, 'gui_text', Vector3(10, 10, 0))\n"
              "ResourcePackage.unload(packages.sample_units)\n");
        p.frames(3);
        p.lua("ResourcePackage.unload(packages.sample_effects)\n"
              "ResourcePackage.unload(packages.sample_animations)\n"
              "ResourcePackage.unload(packages.sample_sounds)\n");
        p.frames(10);
        p.lua("World.destroy_unit(W, door)\n"
              "World.destroy_unit(W, vane)\n"
              "World.destroy_unit(W, crate)\n"
              "World.stop_sound(W, sound)\n"
              "World.destroy_gui(W, gui)\n");
        p.frames(render_handle_release_frames + 2);
        p.lua("for _, package in pairs(packages) do Application.release_resource_package(package) end\n"
              "packages = {}\n");
        p.frames(2);
    });
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.paused) << "a script error stopped the game";
    for (const std::string &e : r.errors)
        ADD_FAILURE() << e;
    EXPECT_EQ(r.freed_lines.size(), 3u) << "the door's unit, material and state machine, each at its last release";
}

} // namespace
} // namespace tallow::test
