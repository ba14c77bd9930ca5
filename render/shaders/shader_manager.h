#pragma once
// The shaders of every brought-in library as render resources (type 9), the shader
// templates resolved against the renderer capabilities, and the shader contexts that
// render objects, materials and pipeline passes draw with.
//
//   ShaderManager shaders(device, allocator);
//   shaders.set_render_caps(caps);  shaders.set_render_settings(settings);
//   shaders.add_shader_library(*library);   shaders.update_templates(*library);   // the loader does this
//   ShaderContext context(allocator);
//   if (shaders.find_template(NameId32("mesh").value(), context)) {
//       context.set_scalar(NameId32("alpha").value(), 0.5f);
//       shaders.update_camera_variables(camera);                   // once per camera
//       context.set_matrices(world, view, projection, nullptr);    // per draw
//       context.bind_resources(device, resources);
//       ShaderSlotEntry slot;
//       if (context.slot_entry(render_context.shader_slot_index(), &slot))
//           render_context.render_batch(batch, slot, caller_bits);
//   }
//
// Shaders are never freed before the manager: replacing a library's shader keeps the same
// `Shader` object, and removing a library leaves its shaders unloaded (no record, no device
// object), so contexts and materials never hold a dangling pointer. A shader that changed
// (replaced or removed) carries a new generation; contexts instantiated before the change
// write and draw nothing through it until they are instantiated again.
//
// Template slots: the position of a slot name among all slot names seen so far is its
// index, the same for every template; every template's slot array is as long as the list.
//
// Library changes run while the render thread is idle; contexts, setters and camera
// updates run on the render thread.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "render/commands/render_context.h"
#include "render/d3d11/d3d_shader_desc.h"
#include "render/shaders/auto_variables.h"
#include "render/shaders/shader_library.h"

namespace tallow {

class ConfigValue;
class RenderDevice;
class RenderResourceContext;
class RenderResourceSet;
class ShaderManager;

/// One variable of a shader's map, sorted by name.
struct ShaderVariable {
    u32 name;
    u32 kind;   // shader_variable_kind
    u32 type;   // ShaderValueType
    u32 offset; // in the block
    u32 size_bytes;
};

/// A shader: the type-9 render resource the device makes its object from, its record in
/// its library, its variable map and auto-variable lists.
class Shader {
  public:
    Shader(ShaderManager &manager, u32 name);
    ~Shader();

    /// The device reads this record (update record 6): the header, then the description.
    render::d3d11::ShaderResourceRecord resource;

    u32 name() const { return _name; }
    /// Changes whenever the shader is replaced or removed.
    u32 generation() const { return _generation; }
    /// False once its library was removed.
    bool is_loaded() const { return _record != nullptr; }
    const ShaderRecord *record() const { return _record; }

    /// The variable `name` (NameId32), or null.
    const ShaderVariable *find_variable(u32 name) const;
    const Array<ShaderVariable> &variables() const { return _variables; }
    const Array<ShaderVariableDesc> &constants() const { return _constants; }
    u32 block_size() const { return _block_size; }
    /// The values a new context block starts from: zeros, and invalid_render_handle in
    /// resource variables.
    const u8 *defaults() const { return _defaults.data(); }
    const Array<ShaderPassKeys> &pass_keys() const { return _pass_keys; }
    const Array<ObjectAutoEntry> &object_autos() const { return _object_autos; }
    const Array<CameraAutoEntry> &camera_autos() const { return _camera_autos; }
    /// Offset of "bones", or variable_not_found.
    u32 bones_offset() const { return _bones_offset; }
    ShaderManager &manager() const { return *_manager; }

  private:
    friend class ShaderManager;
    bool bind(const ShaderLibrary *library, const ShaderRecord *record, const render::d3d11::ShaderDesc *desc);
    void unbind();
    void build_camera_list();

    ShaderManager *_manager;
    TraceAllocator _allocator; // "shader_resources"
    u32 _name;
    u32 _generation = 0;
    const ShaderRecord *_record = nullptr;
    Array<ShaderVariable> _variables;
    Array<ShaderVariableDesc> _constants;
    Array<u8> _defaults;
    u32 _block_size = 0;
    Array<ShaderPassKeys> _pass_keys;
    Array<ObjectAutoEntry> _object_autos;
    Array<CameraAutoEntry> _camera_autos;
    u32 _bones_offset = variable_not_found;
};

/// Values collected by shading environments and pipeline passes, written into contexts
/// by set_matrices. Records: kind 0 scalar, 1 vector2, 2 vector3; offset into `values`.
class ShaderVariableBlock {
  public:
    struct Record {
        u32 kind;
        u32 name;
        u32 offset;
    };
    explicit ShaderVariableBlock(Allocator &allocator) : records(allocator), values(allocator) {}
    /// Appends a record and its floats (1 to 3 of them, by kind); false for another kind.
    bool add(u32 kind, u32 name, const f32 *value);

    Array<Record> records;
    Array<u8> values;
};

/// Writes the records of `block` into the same-named value variables `shader` has in
/// `out` (`size` bytes): a variable smaller than its record's value, or past `size`, is left.
void write_variable_block(const ShaderVariableBlock &block, const Shader &shader, u8 *out, u32 size);

/// The per-object state of a draw: per template slot its shader and constant block.
class ShaderContext {
  public:
    explicit ShaderContext(Allocator &allocator);
    ~ShaderContext();
    ShaderContext(const ShaderContext &) = delete;
    ShaderContext &operator=(const ShaderContext &) = delete;

    /// Takes a template's slots: each slot with a loaded shader gets a new block with the
    /// shader's defaults; values of variables with the same name, type and count in the
    /// slot's previous block are carried over. False when memory runs out (the context is
    /// then empty).
    bool instantiate(const Shader *const *slots, u32 slot_count);
    bool is_instantiated() const { return _state != 0; }

    /// Instantiates the context again from the template it was found as when its manager's
    /// shaders or templates changed since (ShaderManager::epoch), carrying the values over
    /// as instantiate does. True when it did; false when nothing changed, the context was
    /// not made by find_template, or the template is gone (the context then draws nothing
    /// through its changed shaders). Render thread, or while the render thread is idle.
    bool refresh();
    /// The template find_template instantiated (NameId32), 0 when none.
    u32 template_name() const { return _template; }

    /// Setters write every slot whose shader has the variable as a value of at least the
    /// written size; other slots are skipped. The matrix is written transposed.
    void set_scalar(u32 name, f32 value);
    void set_vector2(u32 name, f32 x, f32 y);
    void set_vector3(u32 name, f32 x, f32 y, f32 z);
    void set_matrix(u32 name, const Matrix4x4 &value);

    /// Per draw, for every slot: the shader's object list, the camera values of its manager,
    /// then the records of `block` (may be null) for the variables the shader has.
    void set_matrices(const Matrix4x4 &world, const Matrix4x4 &view, const Matrix4x4 &projection,
                      const ShaderVariableBlock *block);

    /// Writes the handle of every resource variable found in `resources`; a render target
    /// template is replaced by its instance for the current window (none: not written).
    void bind_resources(RenderDevice &device, const RenderResourceSet &resources);

    /// Writes `handle` (a texture's, or a render-target instance's) into the resource
    /// variable `name` of every slot whose shader has one; other slots are skipped.
    void set_resource(u32 name, RenderResourceHandle handle);

    /// The slot entry render_batch takes; false when the slot is out of range, has no
    /// shader, or its shader changed since instantiation.
    bool slot_entry(u32 slot_index, ShaderSlotEntry *out) const;

    u32 slot_count() const { return _slots.size(); }
    const Shader *shader(u32 slot_index) const;
    /// The slot's block (null when the slot has none).
    u8 *block(u32 slot_index);
    u32 block_size(u32 slot_index) const;

  private:
    struct Slot {
        const Shader *shader = nullptr;
        u32 generation = 0;
        u8 *block = nullptr;
        u32 size = 0;
        Array<ShaderVariableDesc> *layout = nullptr; // what the block was laid out for
    };
    bool is_live(const Slot &slot) const;
    void write(u32 name, const void *value, u32 size);
    void free_slots(Array<Slot> &slots);

    friend class ShaderManager;
    Allocator &_allocator;
    Array<Slot> _slots;
    u32 _state = 0; // 1 once instantiated
    ShaderManager *_manager = nullptr; // set by find_template
    u32 _template = 0;                 // the template find_template instantiated
    u32 _epoch = 0;                    // the manager's epoch at that time
};

class ShaderManager {
  public:
    /// Everything is allocated from a TraceAllocator "ShaderManager" over `parent`.
    ShaderManager(RenderDevice &device, Allocator &parent);
    /// Releases every shader's device object and frees all shaders.
    ~ShaderManager();
    ShaderManager(const ShaderManager &) = delete;
    ShaderManager &operator=(const ShaderManager &) = delete;

    /// The capabilities templates are resolved against (null: only unconditional options).
    void set_render_caps(const ConfigValue *caps) { _caps = caps; }
    /// The settings offered as auto variables; rebuilds every shader's camera list.
    void set_render_settings(const ConfigValue *settings);

    /// Adds or replaces (same name, same Shader object) the library's shaders and creates
    /// their device objects. The library must outlive its shaders' use (until
    /// remove_shader_library). False when memory runs out.
    bool add_shader_library(const ShaderLibrary &library);
    /// Releases the device objects of the library's shaders that still come from it and
    /// leaves those shaders unloaded.
    void remove_shader_library(const ShaderLibrary &library);
    /// Resolves each template of the library: per slot, the first option whose condition
    /// is empty or matches the caps; its shader (null when no option matches or the shader
    /// is unknown).
    void update_templates(const ShaderLibrary &library);
    /// Removes the library's templates.
    void remove_templates(const ShaderLibrary &library);

    /// Instantiates template `name` into `context`. False with the warning
    /// "Can't find shader template: %s" (the id in hex) when the template is unknown.
    bool find_template(u32 name, ShaderContext &context);
    /// The same for a template known by its name text, which the warning names.
    bool find_template(const char *name, ShaderContext &context);
    /// The same without a warning, for templates a configuration may leave out (a shader's
    /// ":SHADOW_MAPPING" variant): false when `name` is unknown.
    bool find_optional_template(u32 name, ShaderContext &context);
    /// Advances whenever a library or a template is added, replaced or removed.
    u32 epoch() const { return _epoch; }

    /// Computes the camera values once per rendered camera.
    void update_camera_variables(const CameraInputs &camera) { _camera.update(camera); }
    const CameraVariableValues &camera_values() const { return _camera; }

    /// The shader named `name`, or null.
    Shader *find_shader(u32 name) const;
    /// The index of a template slot name, or variable_not_found.
    u32 slot_index(u32 slot_name) const;
    u32 slot_name_count() const { return _slot_names.size(); }
    u32 shader_count() const { return _shaders.size(); }
    u32 template_count() const { return _templates.size(); }
    /// The resolved slots of template `name` (null when unknown), slot_name_count() long.
    const Shader *const *template_slots(u32 name) const;
    RenderDevice &device() { return _device; }
    TraceAllocator &allocator() { return _allocator; }

  private:
    struct Template {
        explicit Template(Allocator &allocator) : slots(allocator) {}
        u32 name;
        Array<Shader *> slots;
    };
    Template *find_template_entry(u32 name) const;
    bool instantiate_template(const Template &entry, ShaderContext &context);
    void submit(RenderResourceContext *context);

    TraceAllocator _allocator;
    RenderDevice &_device;
    const ConfigValue *_caps = nullptr;
    const ConfigValue *_settings = nullptr;
    Array<Shader *> _shaders; // sorted by name
    Array<u32> _slot_names;
    Array<Template *> _templates; // sorted by name
    CameraVariableValues _camera;
    u32 _epoch = 1;
};

} // namespace tallow
