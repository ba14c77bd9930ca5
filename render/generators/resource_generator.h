#pragma once
// Resource generators: the configurable passes of the render configuration. Its
// "resource_generators" object names generators; each is an ordered list of modifiers
// (fullscreen passes, compute kernels, branches, loops, and the lighting and shadow steps).
// A layer of a layer configuration that names a generator runs it every frame, into a
// render context of its own.
//
//   ResourceGenerators generators(allocator);                  // the render interface owns it
//   GeneratorLoadParams load{&shader_manager, resource_context, {&settings, &caps}};
//   generators.load(config.member("resource_generators"), load); // clears first
//   ... every frame and view, render thread:
//   generators.execute_for_layers(layer_config, frame);          // generator_frame.h
//   ... on unload:
//   generators.clear(resource_context);                          // releases device resources
//
// Source (config text):
//   resource_generators = {
//       post = { modifiers = [
//           { type = "fullscreen_pass" shader = "tonemap" input = "hdr" output = "back_buffer" }
//           { type = "dynamic_branch" render_settings = { bloom = true }
//             pass_modifiers = [ ... ] fail_modifiers = [ ... ] }
//           { type = "static_branch" platform = "win" render_caps = { deferred = true }
//             pass_modifiers = [ ... ] fail_modifiers = [ ... ] }   // resolved at load, in place
//           { type = "loop" count_variable = "lights" modifiers = [ ... ]
//             indexed_variables = [ { source_array = "light_colors" variable = "light_color" } ] }
//           { type = "compute_kernel" shader = "blur" thread_count_x = "back_buffer" thread_count_divider = 16 }
//       ] }
//   }
// A modifier without a "type" string, with a type no class has, or a generator without a
// "modifiers" array is refused (logged, nothing built for it); load then returns false and
// keeps the rest.
//
// Sort keys: generator run r of a layer files its n-th executed step under the layer's key
// with n in the generators' counter field (sort_key.h, make_generator_key): counters start
// at 1 for the first modifier, each step (children of branches and loops included) takes
// the next one, and a branch or loop takes one more for itself after its children. So
// steps execute in list order, after the layer's own set-up segment, and each step's
// commands stay together. A generator run past the counter's 63 steps drops the steps that
// do not fit (logged once per generator).
//
// Writing a new modifier (the lighting and shadow steps do it this way):
//   1. Derive from resource_generator::ModifierBase with a ModifierType, in
//      namespace resource_generator.
//   2. Give it a `static ModifierBase *create(const ModifierLoadParams &params)` that makes
//      it from params.generator->allocator(), reads params.config and makes its render
//      resources in params.resources (may be null: make none, draw nothing).
//   3. Override execute(const ModifierExecution &run): write commands into run.context,
//      every one under run.key (begin_segment(run.key), update_resource(r, run.key),
//      render_step_batch(batch, slot, run.key)); a step that needs several keys of its own
//      orders them with make_generator_sub_key(run.key, n).
//   4. Override release(generator, context) when it made render resources (release them
//      into the context) or holds children (generator.destroy_modifier on each).
//   5. Add its row to the class table in resource_generator.cpp (type string, id, create).
// A modifier keeps no pointer from the frame past execute. Modifiers are made and
// destroyed while the render thread is idle, and executed on the render thread.
//
// Threads: load and clear run while the render thread is idle (the render configuration
// waits for it); execute_for_layers runs on the render thread. No locks are taken.

#include "foundation/config/const_config_value.h"
#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "render/config/render_branch.h"
#include "render/generators/generator_frame.h"

namespace tallow {

class RenderResourceContext;
class ResourceGenerator;
class ShaderManager;

/// The modifier kinds; the ids are the ones the render configuration's data was made for.
enum class ModifierType : u32 {
    DynamicBranch = 0,        // "dynamic_branch"
    FullscreenPass = 1,       // "fullscreen_pass"
    DeferredShading = 2,      // "deferred_shading"
    CascadedShadowMapping = 3, // "cascaded_shadow_mapping"
    MeshRenderer = 4,         // "mesh_renderer"
    Reserved = 5,             // no type string makes it
    Loop = 6,                 // "loop"
    ComputeKernel = 7,        // "compute_kernel"
    NVStereoParams = 8,       // "nv_stereo_params"
    TiledDeferredShading = 9, // "tiled_deferred_shading"
};
const char *to_string(ModifierType type);

/// What a generator's modifiers are built with; the render configuration fills it.
struct GeneratorLoadParams {
    ShaderManager *shaders = nullptr;           // shader templates by name (null: "shader" keys refused)
    RenderResourceContext *resources = nullptr; // where modifiers create their render resources
    RenderBranchValues values;                  // settings and caps that branches compare with
};

/// What one modifier's load sees.
struct ModifierLoadParams {
    ResourceGenerator *generator = nullptr; // the owner; make the modifier from its allocator
    ConstConfigValue config;                // the modifier's object (lives as long as the loaded configuration)
    const GeneratorLoadParams *load = nullptr;
    u32 depth = 0;                          // nesting of branches and loops (capped)
};

/// One execution of a modifier.
struct ModifierExecution {
    ResourceGenerator *generator = nullptr;
    RenderContext *context = nullptr;     // the generator run's context
    u64 layer_key = 0;                    // the layer's key, without a counter
    u64 key = 0;                          // layer_key with this step's counter: file every command under it
    u32 *counter = nullptr;               // control modifiers run children with it (ResourceGenerator::run_children)
    const GeneratorFrame *frame = nullptr;
};

namespace resource_generator {

/// The base of every modifier. See the header comment for how to write one.
class ModifierBase {
  public:
    explicit ModifierBase(ModifierType type) : _type(type) {}
    virtual ~ModifierBase() = default;
    ModifierBase(const ModifierBase &) = delete;
    ModifierBase &operator=(const ModifierBase &) = delete;

    ModifierType type() const { return _type; }
    /// True for modifiers that run child lists (branch, loop): they get no key of their
    /// own and are run even when their counter no longer fits a key.
    virtual bool holds_children() const { return false; }
    /// One frame's work, on the render thread.
    virtual void execute(const ModifierExecution &run) = 0;
    /// Before destruction: release render resources into `context` (may be null: the
    /// device is gone, forget them) and destroy children through `generator`.
    virtual void release(ResourceGenerator &generator, RenderResourceContext *context)
    {
        (void)generator;
        (void)context;
    }

  private:
    ModifierType _type;
};

/// A row of the class table: the "type" string, the id and the factory.
struct ModifierClass {
    const char *type_name;
    ModifierType type;
    ModifierBase *(*create)(const ModifierLoadParams &params); // null (logged) when refused
};

/// The class table (every modifier kind built so far), for tests and tools.
const ModifierClass *modifier_classes(u32 *out_count);

} // namespace resource_generator

using resource_generator::ModifierBase;

/// One named generator: its modifiers in execution order.
class ResourceGenerator {
  public:
    explicit ResourceGenerator(Allocator &allocator);
    /// Destroys the modifiers that are left, releasing nothing on the device (clear
    /// releases first).
    ~ResourceGenerator();
    ResourceGenerator(const ResourceGenerator &) = delete;
    ResourceGenerator &operator=(const ResourceGenerator &) = delete;

    /// Builds the "modifiers" array of `generator_config` into the list. False (logged)
    /// when the array is missing or a modifier was refused; what was built stays.
    bool create_modifiers(ConstConfigValue generator_config, const GeneratorLoadParams &params);
    /// Builds one modifier object into `list` (a static_branch: its chosen modifiers, in
    /// place). False (logged) when refused. Branches and loops call it for their children.
    bool create_modifier(Array<ModifierBase *> &list, ConstConfigValue config, const GeneratorLoadParams &params,
                         u32 depth);
    /// Builds every element of an array of modifier objects into `list`; a missing array
    /// (nil) builds nothing. False when something was refused.
    bool create_modifier_list(Array<ModifierBase *> &list, ConstConfigValue array, const GeneratorLoadParams &params,
                              u32 depth);
    /// Releases, destroys and frees one modifier.
    void destroy_modifier(ModifierBase *modifier, RenderResourceContext *context);
    /// Destroys every modifier of the list and empties it.
    void destroy_modifiers(Array<ModifierBase *> &list, RenderResourceContext *context);
    /// Destroys every modifier of the generator (their resources released into `context`).
    void destroy_all(RenderResourceContext *context) { destroy_modifiers(_modifiers, context); }

    /// One run: a new context from the frame's device (appended to the frame's list), then
    /// every modifier in order with counters from 1. Render thread.
    void execute(u64 layer_key, const GeneratorFrame &frame);
    /// Runs one modifier under `counter` (its key: make_generator_key(layer_key, counter)).
    void execute_modifier(ModifierBase &modifier, RenderContext &context, u64 layer_key, u32 &counter,
                          const GeneratorFrame &frame);
    /// Runs a child list for a branch or loop: each child, then the counter advances.
    void run_children(const Array<ModifierBase *> &children, const ModifierExecution &run);

    const Array<ModifierBase *> &modifiers() const { return _modifiers; }
    Allocator &allocator() { return _allocator; }

  private:
    Allocator &_allocator;
    Array<ModifierBase *> _modifiers;
    bool _reported_overflow = false;
};

/// Every generator of the loaded render configuration, by name.
class ResourceGenerators {
  public:
    /// Everything is allocated from a TraceAllocator "ResourceGenerator" over `parent`.
    explicit ResourceGenerators(Allocator &parent);
    /// Destroys what is left without releasing device resources; clear first.
    ~ResourceGenerators();
    ResourceGenerators(const ResourceGenerators &) = delete;
    ResourceGenerators &operator=(const ResourceGenerators &) = delete;

    /// Clears (into params.resources), then builds one generator per member of `section`
    /// (the "resource_generators" object; nil builds none). False (logged) when something
    /// was refused; the rest is built. Two members with one name are both kept, and a
    /// lookup finds one of them.
    bool load(ConstConfigValue section, const GeneratorLoadParams &params);
    /// Releases every generator's render resources into `context` (null: forgotten) and
    /// destroys every generator.
    void clear(RenderResourceContext *context);

    /// Runs, for each layer of `config` that names a generator, that generator with the
    /// layer's key, in layer order. Clears the frame's overrides first. A name with no
    /// generator runs nothing (logged once per name until the next load).
    void execute_for_layers(const LayerConfig &config, const GeneratorFrame &frame);

    /// The generator named `name` (NameId32), or null.
    ResourceGenerator *find(u32 name) const;
    u32 count() const { return _generators.size(); }
    u32 name_at(u32 i) const { return _generators[i].name; }
    TraceAllocator &allocator() { return _allocator; }

  private:
    struct Entry {
        u32 name;
        ResourceGenerator *generator;
    };

    TraceAllocator _allocator; // "ResourceGenerator"
    Array<Entry> _generators;  // sorted by name, ascending
    Array<u32> _reported_missing;
};

} // namespace tallow
