#pragma once
// Shading environments: the "shading_environment" resource (a world's global shading
// variables, their named settings and the material values they drive), the game side's
// ShadingEnvironment and its render twin RenderShadingEnvironment, whose values the mesh
// draws and the resource generators' steps (fullscreen passes, compute kernels, lights,
// mesh renderers, shadow casters) write into every shader variable of the same name.
//
//   auto *r = read_shading_environment(bytes, size, allocator);      // null: refused
//   ShadingEnvironment env(allocator);
//   env.set_resource(r, material_resource, render_world, link);      // main thread
//   env.update();                                 // the "default" setting's values
//   env.apply_variables();                        // before each Application.render_world
//   env.release_render_objects(render_world, link);
//
// Resource layout (little-endian):
//   u64 material resource name (NameId64)
//   u32 n; n x {u32 type, u32 element count, u32 word, u32 byte offset in a settings block}
//       type 0/4 scalar (4 bytes), 1/5 vector2 (8), 2/6 vector3 (12); other types 0 bytes
//   u32 n; n x {u32 setting name (NameId32), u32 length, length bytes}: a whole value block
//   u32 n; n x {u32 value-set id (a material name), u32 parameter id, u32 variable index}
//   u32 n; n x {u32 variable index, u32 variable id (NameId32 the shaders use), u32 word}
// Refused (logged, null): truncation, counts past the bytes, a variable index out of range,
// and a variable whose value does not fit in every settings block (so no value is ever read
// past a block). Trailing bytes are ignored.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "render/generators/generator_frame.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_object.h"

namespace tallow {

class MaterialResource;
class RenderWorld;
class Shader;
class WorldRenderLink;
struct ResourceTypeCallbacks;

/// Bytes of one element of a variable type (see the layout above).
u32 shading_element_bytes(u32 type);

struct ShadingVariableDesc {
    u32 type = 0;
    u32 element_count = 0;
    u32 word = 0;
    u32 offset = 0;
    u32 size_bytes = 0; // element_count x shading_element_bytes(type)
};

struct ShadingSetting {
    u32 name = 0;
    u32 offset = 0; // in the resource's settings bytes
    u32 size_bytes = 0;
};

struct ShadingMaterialBinding {
    u32 value_set = 0;
    u32 parameter = 0;
    u32 variable = 0;
};

struct ShadingRenderVariable {
    u32 variable = 0;
    u32 id = 0;
    u32 word = 0;
};

class ShadingEnvironmentResource {
  public:
    explicit ShadingEnvironmentResource(Allocator &allocator)
        : variables(allocator), settings(allocator), bindings(allocator), render_variables(allocator),
          setting_bytes(allocator)
    {
    }
    /// The setting named `name`, or null.
    const ShadingSetting *find_setting(u32 name) const;

    u64 material = 0;
    Array<ShadingVariableDesc> variables;
    Array<ShadingSetting> settings;
    Array<ShadingMaterialBinding> bindings;
    Array<ShadingRenderVariable> render_variables;
    Array<u8> setting_bytes;
};

ShadingEnvironmentResource *read_shading_environment(const u8 *bytes, u64 size_bytes, Allocator &allocator);
void destroy_shading_environment(ShadingEnvironmentResource *resource, Allocator &allocator);
/// Load and unload callbacks of "shading_environment".
ResourceTypeCallbacks shading_environment_callbacks();

/// Record kinds addressed to a RenderShadingEnvironment.
namespace shading_record {
constexpr u32 materials = 0; // ShadingMaterialsRecord, then count x {u32 id, u32 handle}
constexpr u32 variable = 1;  // ShadingValueRecord: one variable by id
constexpr u32 block = 2;     // ShadingBlockRecord: the whole value block
} // namespace shading_record

struct ShadingMaterialsRecord {
    u32 class_id = u32(RenderObjectClass::ShadingEnvironment);
    u32 handle = 0;
    u32 remove = 0;
    u32 list_offset = sizeof(ShadingMaterialsRecord); // from the payload start
    u32 count = 0;
};
struct ShadingValueRecord {
    u32 class_id = u32(RenderObjectClass::ShadingEnvironment);
    u32 handle = 0;
    u32 data_offset = sizeof(ShadingValueRecord); // 20
    u32 size_bytes = 0;
    u32 id = 0;
};
static_assert(sizeof(ShadingValueRecord) == 20);
struct ShadingBlockRecord {
    u32 class_id = u32(RenderObjectClass::ShadingEnvironment);
    u32 handle = 0;
    u32 data_offset = sizeof(ShadingBlockRecord); // 16
    u32 size_bytes = 0;
};
static_assert(sizeof(ShadingBlockRecord) == 16);

/// The render twin, which the resource generators read as the frame's shading
/// (IGeneratorShading: its variables by id, its values, its value sets' materials).
class RenderShadingEnvironment final : public RenderObject, public IGeneratorShading {
  public:
    struct MaterialEntry {
        u32 id;
        u32 handle;
        RenderObject *object;
    };

    /// Lays its constants out from the resource's render variables.
    RenderShadingEnvironment(Allocator &allocator, const ShadingEnvironmentResource &resource);

    /// Applies the records above: a value never grows past its variable's size, a list
    /// that does not fit the payload is dropped (logged). Render thread.
    void apply(const RenderWorld &world, u32 kind, const u8 *payload, u32 payload_bytes);

    /// The variable `id` (its kind is the resource's type code), or null. See IGeneratorShading
    const ShadingVariable *find_variable(u32 id) const override;
    /// Bytes of variable `id`'s value (0 for none).
    u32 variable_size(u32 id) const;
    const u8 *value_block() const override { return _values.values.data(); } // See IGeneratorShading
    u32 value_block_size() const override { return _values.values.size(); } // See IGeneratorShading
    /// The shader context of value set `id`'s material, or null. See IGeneratorShading
    ShaderContext *material_context(u32 id) override;
    /// The plain values (scalars, vector2s and vector3s; arrays are reached through
    /// find_variable and value_block) by id. See IGeneratorShading
    const ShaderVariableBlock *environment_values() const override { return &_values; }
    const u8 *values() const { return _values.values.data(); }
    const Array<u8> &raw_block() const { return _raw; }
    const Array<MaterialEntry> &materials() const { return _materials; }
    /// Writes every variable into the same-named value variable of `shader` in `block`
    /// (the smaller of the two sizes).
    void write_constants(const Shader &shader, u8 *block, u32 block_size) const;

  private:
    u32 index_of(u32 id) const;

    Array<ShadingVariable> _variables;
    Array<u32> _sizes; // bytes of each variable's value
    ShaderVariableBlock _values; // every variable's value at its offset; records for the plain ones
    Array<MaterialEntry> _materials; // sorted by id
    Array<u8> _raw;
};

/// The game side of an environment. Main thread.
class ShadingEnvironment {
  public:
    explicit ShadingEnvironment(Allocator &allocator);

    /// Takes `resource` (with `material`, the "material" resource its first field names;
    /// may be null): releases the previous twin and value-set materials, makes the new
    /// twin and one RenderMaterial per material of `material`, and sends their list.
    void set_resource(const ShadingEnvironmentResource *resource, const MaterialResource *material,
                      RenderWorld &world, WorldRenderLink &link);
    /// Copies the "default" setting into the values; false (values kept) without one.
    bool update();
    /// Sends the values: the material bindings as material value records, one record per
    /// render variable, then the whole block. Nothing before set_resource.
    void apply_variables();
    /// Releases the twin and the value-set materials.
    void release_render_objects(RenderWorld &world, WorldRenderLink &link);

    const ShadingEnvironmentResource *resource() const { return _resource; }
    const Array<u8> &values() const { return _values; }
    u32 handle() const { return _handle; }
    /// The RenderMaterial handle of value set `id`, or 0xFFFFFFFF.
    u32 value_set(u32 id) const;

  private:
    struct ValueSet {
        u32 id;
        u32 handle;
    };
    TraceAllocator _allocator; // "ShadingEnvironment"
    const ShadingEnvironmentResource *_resource = nullptr;
    Array<u8> _values;
    Array<ValueSet> _value_sets; // sorted by id
    u32 _handle = 0xFFFFFFFFu;
    WorldRenderLink *_link = nullptr;
};

} // namespace tallow
