// tallow_build_data: compiles the sample data's plain sources into the resource sources
// the engine reads.
//
//   tallow_build_data <source directory> <output directory>
//
// Every "<name>.package" in the source directory is config text naming the resources of
// package <name>, by type:
//
//   lua = [ "boot" ]            // data/boot.lua
//   data = [ "levels/one" ]     // data/levels/one.data
//
// A resource <name> of type <type> is compiled from the file "<name>.<type>": "lua"
// resources become a u32 byte length followed by the script text; "strings" sources are
// config text mapping each string id to its text,
//
//   menu_start = "Start game"
//   menu_quit = "Quit"
//
// and become the sorted table the Localizer reads; "unit" and "level" sources are compiled
// by the unit and level compilers (tools/world/unit_compiler.h and tools/world/level_compiler.h document
// their layouts, tools/world/flow_compiler.h the flow graphs inside both); "shader_library" and
// "shader_library_group" sources by the shader library compiler
// (tools/render/shader_library_compiler.h); "physics_properties" sources by the physics properties
// compiler (tools/physics/physics_properties_compiler.h); "animation" sources by the animation
// compiler (tools/animation/animation_compiler.h); "state_machine" and "bones" sources by the state
// machine compiler (tools/animation/state_machine_compiler.h); "wav" resources come from "<name>.wav" or, when there
// is none, "<name>.ogg" through the sound compiler (tools/sound/sound_compiler.h);
// "sound_environment" sources by the sound environment compiler
// (tools/sound/sound_environment_compiler.h); "network_game_config" sources by the network config compiler
// (tools/network/network_config_compiler.h); "texture" resources come from "<name>.png" or, when
// there is none, "<name>.dds" through the texture compiler (tools/render/texture_compiler.h);
// "material" sources through the material compiler (tools/render/material_compiler.h);
// "particles" sources through the particle compiler (tools/render/particle_compiler.h);
// "shading_environment" sources through the shading environment compiler
// (tools/render/shading_environment_compiler.h); "font"
// sources ("<name>.font") through the font compiler (tools/render/font_compiler.h), which also makes
// the "texture" of the same name when no image source of that name exists;
// "render_config" sources are config text (layout in render/config/render_configuration.h)
// flattened into the config blob the engine reads; every other
// type is taken as it is. The output directory receives the loose-file database
// ("exploded_database.db" and its numbered files, with a "package" resource per package)
// and, in "bundles/", one bundle per package named by the 16 hex digits of its name id.
// "*.ini" settings files are copied as they are, to both places. Exit code 0 on success; every problem
// is reported on stderr.
//
// A source the compilers do not fully understand fails the build, reported as
// "<file>:<line>: <what>" (the line where the name it gives is found): a key the layout does
// not have, a value the config text parser could not read, a name that refers to nothing,
// and a unit that a level places or a flow graph spawns when no package of the build lists a
// "unit" source of that name.

#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "animation/animation_resources.h"
#include "animation/state_machine_resource.h"
#include "render/gui/font.h"
#include "render/materials/material_resource.h"
#include "render/shaders/shader_library.h"
#include "render/textures/texture_resource.h"
#include "render/world/render_shading_environment.h"
#include "resource/resource_properties.h"
#include "resource/resource_writer.h"
#include "resource/strings_resource.h"
#include "sound/sound_resource.h"
#include "resource/strings_writer.h"
#include "tools/animation/animation_compiler.h"
#include "tools/render/font_compiler.h"
#include "tools/animation/state_machine_compiler.h"
#include "tools/world/level_compiler.h"
#include "tools/render/material_compiler.h"
#include "tools/render/shading_environment_compiler.h"
#include "tools/render/particle_compiler.h"
#include "tools/network/network_config_compiler.h"
#include "tools/physics/physics_properties_compiler.h"
#include "tools/render/shader_library_compiler.h"
#include "tools/sound/sound_compiler.h"
#include "tools/sound/sound_environment_compiler.h"
#include "tools/source_check.h"
#include "tools/source_references.h"
#include "tools/render/texture_compiler.h"
#include "tools/world/unit_compiler.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace tallow;

namespace {

struct SourceResource {
    std::string type;
    std::string name;
    std::vector<u8> bytes;
    std::string file_name;                    // the source file, for messages
    std::vector<u8> source;                   // its text, for the lines of messages
    std::vector<std::string> unit_references; // unit resources it places or spawns
    std::vector<SourceReference> references;  // every other name it refers to
};

struct Package {
    std::string name;
    std::vector<SourceResource> resources;
};

bool ends_with(const std::string &s, const char *suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool read_file(const DiskFileSystem &files, const std::string &name, std::vector<u8> &out)
{
    if (!files.exists(name.c_str())) {
        log_message("build_data", "missing source file '%s/%s'", files.root(), name.c_str());
        return false;
    }
    InputArchive archive(files.open_input(name.c_str(), default_allocator(), false));
    out.resize(archive.size());
    if (!archive.read(out.data(), out.size())) {
        log_message("build_data", "cannot read '%s/%s'", files.root(), name.c_str());
        return false;
    }
    return true;
}

// "<file>:<line>: <what>": the compilers start a message with its line when they found one;
// otherwise the line of the first name the message quotes, when the source holds it.
void report_compile_error(const std::string &file_name, const std::vector<u8> &source, const std::string &error)
{
    const char *text = reinterpret_cast<const char *>(source.data());
    const bool has_line = !error.empty() && error[0] >= '0' && error[0] <= '9';
    std::string message = has_line ? error : with_source_line(text, source.size(), error);
    bool found = !message.empty() && message[0] >= '0' && message[0] <= '9';
    if (!found) {
        // A message that starts with where it is ("object_types.ball[0]: ...") names its
        // innermost key: its line is the line the message is about.
        const std::string where = error.substr(0, error.find(':'));
        size_t end = where.find_last_of('[');
        std::string key = where.substr(0, end == std::string::npos ? where.size() : end);
        key = key.substr(key.find_last_of('.') == std::string::npos ? 0 : key.find_last_of('.') + 1);
        if (u32 line = key.empty() || where.size() == error.size() ? 0 : find_key_line(text, source.size(), key)) {
            message = std::to_string(line) + ": " + error;
            found = true;
        }
    }
    log_message("build_data", "%s:%s%s", file_name.c_str(), found ? "" : " ", message.c_str());
}

// A "strings" source: config text whose members are string ids with their texts.
bool compile_strings(const std::string &file_name, const std::vector<u8> &source, Array<u8> &out)
{
    const char *begin = reinterpret_cast<const char *>(source.data());
    std::string error;
    ConfigValue *root = parse_source_text(begin, source.size(), error);
    if (!root) {
        log_message("build_data", "%s:%s", file_name.c_str(), error.c_str());
        return false;
    }
    std::vector<StringsEntry> entries;
    bool ok = true;
    for (auto &member : root->members()) {
        if (member.value.kind() != ConfigKind::String) {
            log_message("build_data", "%s:%u: the text of '%s' is not a string", file_name.c_str(),
                        find_key_line(begin, source.size(), member.key.c_str()), member.key.c_str());
            ok = false;
            continue;
        }
        entries.push_back({member.key.c_str(), member.value.to_string()});
    }
    ok = ok && build_strings_resource(entries.data(), u32(entries.size()), out);
    destroy_config_root(root);
    return ok;
}

// A "render_config" source: config text, flattened into the blob the engine reads as it is.
bool compile_render_config(const std::string &file_name, const std::vector<u8> &source, Array<u8> &out)
{
    const char *text = reinterpret_cast<const char *>(source.data());
    std::string word, key;
    u32 line = 0;
    if (find_unreadable_word(text, source.size(), word, line)) {
        log_message("build_data", "%s:%u: '%s' is not a value config text reads", file_name.c_str(), line, word.c_str());
        return false;
    }
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + source.size(), *root);
    bool ok = !find_unreadable_value(*root, key);
    if (!ok)
        log_message("build_data", "%s:%u: the value of '%s' cannot be read", file_name.c_str(),
                    find_key_line(text, source.size(), key), key.c_str());
    u32 size = 0;
    void *blob = ok ? flatten_config(*root, default_allocator(), &size) : nullptr;
    destroy_config_root(root);
    if (!blob)
        return false;
    append_bytes(out, static_cast<const u8 *>(blob), size);
    default_allocator().deallocate(blob);
    return true;
}

// The source directory (fonts name their TrueType files relative to their own directory).
std::string g_source_directory;

// A font source into its font or its texture.
bool compile_font(const std::string &file_name, const std::vector<u8> &source, bool texture, std::vector<u8> &out)
{
    std::string directory = g_source_directory;
    if (size_t slash = file_name.rfind('/'); slash != std::string::npos)
        directory.append("/").append(file_name, 0, slash);
    CompiledFont compiled;
    std::string error;
    if (!compile_font_source(reinterpret_cast<const char *>(source.data()), source.size(), directory, compiled, error)) {
        report_compile_error(file_name, source, error);
        return false;
    }
    out = texture ? compiled.texture : compiled.font;
    return true;
}

// A sound, with the default bus an optional "<name>.sound" beside it names (bus = "...").
bool compile_sound(const std::string &file_name, const std::vector<u8> &source, std::vector<u8> &out)
{
    const std::string settings_name = file_name.substr(0, file_name.rfind('.')) + ".sound";
    u32 bus = 0;
    std::ifstream settings(g_source_directory + "/" + settings_name, std::ios::binary);
    if (settings) {
        const std::string text((std::istreambuf_iterator<char>(settings)), std::istreambuf_iterator<char>());
        std::string error;
        ConfigValue *root = parse_source_text(text.data(), text.size(), error);
        const ConfigValue *name = root ? root->find("bus") : nullptr;
        const char *unknown = root ? unknown_key(*root, {"bus"}) : nullptr;
        if (root && !error.size() && (unknown || !name || name->kind() != ConfigKind::String || !*name->to_string()))
            error = unknown ? with_source_line(text.data(), text.size(), "unknown key '" + std::string(unknown) + "'")
                            : "1: a sound's settings name its default bus: bus = \"name\"";
        if (name && error.empty())
            bus = NameId32(name->to_string()).value();
        if (root)
            destroy_config_root(root);
        if (!error.empty()) {
            log_message("build_data", "%s:%s", settings_name.c_str(), error.c_str());
            return false;
        }
    }
    return compile_sound_source(file_name, source, out, bus);
}

// Turns a source file into the resource's compiled bytes; false (logged) for a bad source.
bool compile(const std::string &type, const std::string &file_name, const std::vector<u8> &source,
             std::vector<u8> &out, std::vector<std::string> &out_unit_references)
{
    if (type == "font" || (type == "texture" && ends_with(file_name, ".font")))
        return compile_font(file_name, source, type == "texture", out);
    if (type == "unit" || type == "level" || type == "shader_library" || type == "shader_library_group" ||
        type == "animation" || type == "network_game_config" || type == "material" || type == "texture" ||
        type == "state_machine" || type == "bones" || type == "particles" || type == "shading_environment" ||
        type == "sound_environment") {
        std::string error;
        const char *text = reinterpret_cast<const char *>(source.data());
        const bool compiled =
            type == "unit"             ? compile_unit_source(text, source.size(), out, error, &out_unit_references)
            : type == "level"          ? compile_level_source(text, source.size(), out, error, &out_unit_references)
            : type == "shader_library" ? compile_shader_library_source(text, source.size(), out, error)
            : type == "animation"      ? compile_animation_source(text, source.size(), out, error)
            : type == "state_machine"  ? compile_state_machine_source(text, source.size(), out, error)
            : type == "bones"          ? compile_bones_source(text, source.size(), out, error)
            : type == "material"       ? compile_material_source(text, source.size(), out, error)
            : type == "texture"        ? compile_texture_source(file_name, source, out, error)
            : type == "particles"      ? compile_particle_source(text, source.size(), out, error)
            : type == "shading_environment" ? compile_shading_environment_source(text, source.size(), out, error)
            : type == "sound_environment" ? compile_sound_environment_source(text, source.size(), out, error)
            : type == "network_game_config"
                ? compile_network_config_source(text, source.size(), out, error)
                : compile_shader_library_group_source(text, source.size(), out, error);
        if (compiled)
            return true;
        // The compilers start a message with its line when they found one.
        report_compile_error(file_name, source, error);
        return false;
    }
    if (type == "wav")
        return compile_sound(file_name, source, out);
    if (type == "physics_properties") {
        std::string error;
        if (compile_physics_properties_source(reinterpret_cast<const char *>(source.data()), source.size(), out, error))
            return true;
        report_compile_error(file_name, source, error);
        return false;
    }
    Array<u8> bytes(default_allocator());
    if (type == "lua") {
        append_u32(bytes, u32(source.size()));
        append_bytes(bytes, source.data(), source.size());
    } else if (type == "render_config") {
        if (!compile_render_config(file_name, source, bytes))
            return false;
    } else if (type == "strings") {
        if (!compile_strings(file_name, source, bytes))
            return false;
    } else {
        out = source;
        return true;
    }
    out.assign(bytes.begin(), bytes.end());
    return true;
}

// Reads compiled bytes back through the engine's own reader, once: a resource the engine
// would refuse fails the build, not the run. (Units, levels, particle effects and network
// configs are read back by their compilers; the reader logs its reason. Physics properties
// are checked by their compiler against the same writer.)
bool engine_reads(const std::string &type, const std::vector<u8> &bytes)
{
    Allocator &a = default_allocator();
    const u8 *b = bytes.data();
    const u64 n = bytes.size();
    if (type == "material") {
        MaterialResource *r = read_material_resource(b, n, a);
        if (r)
            destroy_material_resource(r);
        return r != nullptr;
    }
    if (type == "texture") {
        TextureImage *r = read_texture_image(b, n, a);
        if (r)
            destroy_texture_image(r);
        return r != nullptr;
    }
    if (type == "shader_library") {
        ShaderLibrary *r = read_shader_library(b, n, a);
        if (r)
            destroy_shader_library(r);
        return r != nullptr;
    }
    if (type == "shader_library_group") {
        ShaderLibraryGroup *r = read_shader_library_group(b, n, a);
        if (r)
            destroy_shader_library_group(r);
        return r != nullptr;
    }
    if (type == "shading_environment") {
        ShadingEnvironmentResource *r = read_shading_environment(b, n, a);
        if (r)
            destroy_shading_environment(r, a);
        return r != nullptr;
    }
    if (type == "state_machine") {
        StateMachineResource *r = read_state_machine(b, n, a);
        if (r)
            destroy_state_machine_resource(r, a);
        return r != nullptr;
    }
    if (type == "font") {
        Font font;
        return read_font(b, n, font);
    }
    if (type == "strings") {
        const char *reason = nullptr;
        if (validate_strings_resource(b, n, &reason))
            return true;
        log_message("build_data", "strings refused: %s", reason ? reason : "?");
        return false;
    }
    if (type == "wav") {
        SoundData data;
        const char *reason = nullptr;
        if (read_sound_data({b, n}, data, &reason))
            return true;
        log_message("build_data", "sound refused: %s", reason ? reason : "?");
        return false;
    }
    if (type == "animation") {
        AnimationResource *r = read_animation_resource(b, n, a);
        if (r)
            a.deallocate(r);
        return r != nullptr;
    }
    if (type == "bones") {
        BonesResource *r = read_bones(b, n, a);
        if (r)
            delete_with_allocator(a, r);
        return r != nullptr;
    }
    return true;
}

bool read_package(const DiskFileSystem &sources, const std::string &file_name, Package &out,
                  std::vector<SourceDefinition> &out_definitions)
{
    std::vector<u8> text;
    if (!read_file(sources, file_name, text))
        return false;
    out.name = file_name.substr(0, file_name.size() - strlen(".package"));
    const char *begin = reinterpret_cast<const char *>(text.data());
    std::string error;
    ConfigValue *root = parse_source_text(begin, text.size(), error);
    if (!root) {
        log_message("build_data", "%s:%s", file_name.c_str(), error.c_str());
        return false;
    }
    bool ok = true;
    for (auto &member : root->members()) {
        std::string type = member.key.c_str();
        const ConfigValue &names = member.value;
        const u32 type_line = find_key_line(begin, text.size(), type);
        if (names.kind() != ConfigKind::Array) {
            log_message("build_data", "%s:%u: '%s' must be an array of resource names", file_name.c_str(), type_line,
                        type.c_str());
            ok = false;
            continue;
        }
        for (const ConfigValue &name : names.items()) {
            if (name.kind() != ConfigKind::String) {
                log_message("build_data", "%s:%u: a name under '%s' is not a string", file_name.c_str(), type_line,
                            type.c_str());
                ok = false;
                continue;
            }
            SourceResource r{type, name.to_string(), {}, {}, {}, {}, {}};
            r.file_name = r.name + "." + type;
            // A sound's source is a WAVE or an Ogg Vorbis file.
            const char *alternatives = nullptr;
            if (type == "wav") {
                alternatives = ".wav or .ogg";
                if (!sources.exists(r.file_name.c_str()))
                    r.file_name = r.name + ".ogg";
            }
            if (type == "texture") {
                alternatives = ".png, .dds or .font";
                r.file_name = sources.exists((r.name + ".png").c_str()) ? r.name + ".png" : r.name + ".dds";
                // A font's texture comes from the font source.
                if (!sources.exists(r.file_name.c_str()) && sources.exists((r.name + ".font").c_str()))
                    r.file_name = r.name + ".font";
            }
            // A resource with several possible sources: name them all, not the last one tried.
            if (!sources.exists(r.file_name.c_str())) {
                const u32 line = find_string_line(begin, text.size(), r.name);
                if (alternatives)
                    log_message("build_data", "%s:%u: no source file for %s '%s' (%s%s)", file_name.c_str(), line,
                                type.c_str(), r.name.c_str(), r.name.c_str(), alternatives);
                else
                    log_message("build_data", "%s:%u: no source file for %s '%s' (%s)", file_name.c_str(), line,
                                type.c_str(), r.name.c_str(), r.file_name.c_str());
                ok = false;
                continue;
            }
            if (!read_file(sources, r.file_name, r.source) ||
                !compile(type, r.file_name, r.source, r.bytes, r.unit_references)) {
                ok = false;
                continue;
            }
            if (!engine_reads(type, r.bytes)) {
                log_message("build_data", "%s: the engine's reader refuses the compiled %s (its reason is logged "
                            "above)", r.file_name.c_str(), type.c_str());
                ok = false;
                continue;
            }
            list_source_names(type, r.name, reinterpret_cast<const char *>(r.source.data()), r.source.size(),
                              r.references, out_definitions);
            out.resources.push_back(std::move(r));
        }
    }
    destroy_config_root(root);
    return ok;
}

bool is_defined(const std::vector<SourceDefinition> &definitions, const std::string &kind, const std::string &name)
{
    for (const SourceDefinition &d : definitions)
        if (d.kind == kind && d.name == name)
            return true;
    return false;
}

// Every name a source refers to must be defined by some source of the build; a misspelt one
// would otherwise be found, if at all, by a run that draws black or logs a hash.
bool check_references(const std::vector<Package> &packages, const std::vector<SourceDefinition> &definitions)
{
    bool ok = true;
    for (const Package &p : packages) {
        for (const SourceResource &r : p.resources) {
            for (const SourceReference &ref : r.references) {
                if (is_defined(definitions, ref.kind, ref.name))
                    continue;
                const bool scope_listed = !ref.scope_kind.empty() && is_defined(definitions, ref.scope_kind, ref.scope_name);
                if (ref.optional_scope && !scope_listed)
                    continue; // no material resource of the unit's name: its meshes draw without one
                const char *file = r.file_name.c_str();
                const std::string what = describe_reference_kind(ref.kind);
                if (!ref.scope_kind.empty() && !scope_listed)
                    log_message("build_data", "%s:%u: %s names the material '%s', but no package lists a material "
                                "source named '%s' (%s.material)", file, ref.line, ref.what.c_str(), ref.name.c_str(),
                                ref.scope_name.c_str(), ref.scope_name.c_str());
                else if (!ref.scope_kind.empty())
                    log_message("build_data", "%s:%u: %s names the material '%s', which %s.material does not define",
                                file, ref.line, ref.what.c_str(), ref.name.c_str(), ref.scope_name.c_str());
                else if (ref.kind == "physics_material" || ref.kind == "actor_template" ||
                         ref.kind == "shape_template" || ref.kind == "collision_filter")
                    log_message("build_data", "%s:%u: %s names the %s '%s', which no physics_properties source "
                                "defines", file, ref.line, ref.what.c_str(), what.c_str(), ref.name.c_str());
                else if (ref.kind == "shader")
                    log_message("build_data", "%s:%u: %s names the shader '%s', which no shader library defines "
                                "as a template", file, ref.line, ref.what.c_str(), ref.name.c_str());
                else
                    log_message("build_data", "%s:%u: %s names the %s '%s', which no package lists", file, ref.line,
                                ref.what.c_str(), what.c_str(), ref.name.c_str());
                ok = false;
            }
        }
    }
    return ok;
}

bool build(const char *source_directory, const char *output_directory)
{
    g_source_directory = source_directory;
    DiskFileSystem sources(source_directory, default_allocator());
    DiskFileSystem output(output_directory, default_allocator());
    Array<DynamicString> names(default_allocator());
    if (!sources.list_files("", names))
        return false;
    std::vector<std::string> files;
    for (const DynamicString &n : names)
        files.push_back(n.c_str());
    std::sort(files.begin(), files.end()); // file ids must not depend on directory order

    std::vector<Package> packages;
    std::vector<SourceDefinition> definitions;
    bool ok = true;
    for (const std::string &f : files) {
        if (ends_with(f, ".package")) {
            packages.push_back({});
            ok = read_package(sources, f, packages.back(), definitions) && ok;
        }
    }
    if (!ok)
        return false;
    // A unit no source defines would be skipped at run time with only its name hash logged.
    std::vector<std::string> units;
    for (const Package &p : packages)
        for (const SourceResource &r : p.resources)
            if (r.type == "unit")
                units.push_back(r.name);
    for (const Package &p : packages) {
        for (const SourceResource &r : p.resources) {
            for (const std::string &unit : r.unit_references) {
                if (std::find(units.begin(), units.end(), unit) != units.end())
                    continue;
                u32 line = find_string_line(reinterpret_cast<const char *>(r.source.data()), r.source.size(), unit);
                log_message("build_data", "%s:%u: no package lists a unit source named '%s' (%s.unit)",
                            r.file_name.c_str(), line, unit.c_str(), unit.c_str());
                ok = false;
            }
        }
    }
    ok = check_references(packages, definitions) && ok;
    if (!ok)
        return false;

    if (!output.create_directory("bundles"))
        return false;
    DatabaseWriter database(default_allocator());
    std::vector<std::pair<std::string, std::string>> in_database;
    for (const Package &p : packages) {
        BundleWriter bundle(default_allocator());
        std::vector<ResourceId> listing;
        for (const SourceResource &r : p.resources) {
            ResourceId id{NameId64(r.type.c_str()), NameId64(r.name.c_str())};
            bundle.add_resource(id, r.bytes.data(), r.bytes.size());
            listing.push_back(id);
            if (std::find(in_database.begin(), in_database.end(), std::make_pair(r.type, r.name)) ==
                in_database.end()) {
                database.add_resource(id, r.bytes.data(), r.bytes.size());
                in_database.push_back({r.type, r.name});
            }
        }
        Array<u8> package_bytes(default_allocator());
        build_package_resource(listing.data(), u32(listing.size()), package_bytes);
        database.add_resource({NameId64("package"), NameId64(p.name.c_str())}, package_bytes.data(),
                              package_bytes.size());
        char hex[17];
        hex64(NameId64(p.name.c_str()).value(), hex);
        std::string bundle_name = std::string("bundles/") + hex;
        if (!bundle.write_file(output, bundle_name.c_str()))
            return false;
        printf("package %s: %zu resources, bundle %s\n", p.name.c_str(), p.resources.size(), bundle_name.c_str());
    }
    if (!database.write(output))
        return false;
    for (const std::string &f : files) {
        if (!ends_with(f, ".ini"))
            continue;
        // Beside the database and beside the bundles: a run with "-bundle-dir" reads its
        // settings from the bundle directory.
        std::vector<u8> bytes;
        std::string in_bundles = "bundles/" + f;
        if (!read_file(sources, f, bytes) || !write_file_bytes(output, f.c_str(), bytes.data(), bytes.size()) ||
            !write_file_bytes(output, in_bundles.c_str(), bytes.data(), bytes.size()))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tallow_build_data <source directory> <output directory>\n");
        return 2;
    }
    memory_globals_init();
    bool ok = build(argv[1], argv[2]);
    memory_globals_shutdown();
    if (!ok)
        fprintf(stderr, "tallow_build_data: failed\n");
    return ok ? 0 : 1;
}
