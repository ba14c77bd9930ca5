#pragma once
// The names a source refers to and the names it defines, so the data build can check every
// reference before anything runs: a misspelt texture, physics material, actor template,
// mesh material, shader or animation then fails the build with the file, the line and the
// name as written, where the run would have drawn black, changed friction or logged a hash.
//
//   std::vector<SourceReference> refs;
//   std::vector<SourceDefinition> defs;
//   list_source_names("unit", "units/crate", text, size, refs, defs);
//   // refs: {actor_template "dynamic" line 5}, {physics_material "wood" line 6},
//   //       {"material units/crate" "crate" line 4} ...
//
// A reference is resolved by a definition of the same kind and name. Every resource of the
// build defines itself (kind: its type, such as "texture" or "animation"); a physics
// properties source defines its materials ("physics_material"), shape templates,
// actor templates and collision filters; a material source defines its materials (kind
// "material <resource name>": a unit's meshes and an effect's emitters look theirs up in the
// "material" resource of their own name); a shader library defines its templates ("shader",
// what a material's "shader" names).
//
// What is checked, by source type:
//   unit:   mesh materials (only when the build lists a material resource of the unit's
//           name: without one the meshes draw without materials), actor, shape templates,
//           shape physics materials, the mover's collision filter, the state machine;
//   level:  unit material overrides, trigger actor and shape templates, particle effects;
//   unit and level flow graphs: the effects and sounds their nodes play;
//   material: textures and shaders;
//   particles: emitter materials;
//   state_machine: animations;
//   shading_environment: its material resource and the materials its bindings drive;
//   shader_library_group: shader libraries.
// (Units a level places or a flow graph spawns are checked by the build from the unit and
// level compilers' lists.)
//
// Tool code: single-threaded, allocates freely. The source must already have compiled.

#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

struct SourceReference {
    std::string kind;        // "texture", "physics_material", "material units/crate", ...
    std::string name;        // as written in the source
    std::string what;        // what refers to it, for the message: "mesh 'body'"
    u32 line = 0;            // 1-based line where the name is written; 0 unknown
    bool optional_scope = false; // resolved only when its scope resource exists (mesh materials)
    std::string scope_kind, scope_name; // that resource
};

struct SourceDefinition {
    std::string kind;
    std::string name;
};

/// Appends what a source of `type` named `resource_name` refers to and defines.
void list_source_names(const std::string &type, const std::string &resource_name, const char *text, u64 size,
                       std::vector<SourceReference> &out_references, std::vector<SourceDefinition> &out_definitions);

/// The words the build uses for a reference kind in its message ("texture", "physics
/// material", "material in units/crate.material").
std::string describe_reference_kind(const std::string &kind);

} // namespace tallow
