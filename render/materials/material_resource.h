#pragma once
// The "material" resource: named materials, each with its shader template, one texture per
// texture channel and its constant values; the render side's RenderMaterial made from an
// entry; the value sets of GUI and particle creation; and the game side's Material handle
// through which scripts set values.
//
//   MaterialResource *m = read_material_resource(bytes, size, allocator);   // null: refused
//   resolve_material_textures(*m, texture_channels, lookup);   // slots per channel
//   const MaterialEntry *e = m->find(NameId32("crate").value());
//   RenderMaterial *rm = make_new<RenderMaterial>(a, a, *e, shader_manager);
//
// Layout (little-endian, tables are a u32 count then the items):
//   u32 version (8; read and ignored)
//   table of materials:
//     u32 name id (NameId32), u32 shader template name id (NameId32)
//     table of texture references: u32 channel name id (NameId32), u32 0, u64 texture name (NameId64)
//     table of values: u32 kind (0 scalar, 1 vector2, 2 vector3), u32 0, u32 variable name id,
//                      u32 byte offset into the value block
//     value block: u32 length, then the bytes (f32 values at the offsets)
//   shader template names (optional, may be absent): u32 count (the material count), then
//     per material in order: u32 length (at most 255), the name's bytes zero-padded to a
//     multiple of 4. Effects build shader variants from the name text ("name:PIVOT").
//
// Refused (logged, null): truncated tables, counts past what the bytes can hold, a value
// kind past 2, a value whose floats do not lie inside its value block. A names block that
// does not match (another count, a length past 255 or past the end) is ignored (logged):
// the materials load without their names. Bytes after it are ignored.
//
// Resolving: a reference whose channel is not one of `texture_channels` is skipped (logged);
// a texture that is not loaded leaves its slot empty.

#include "foundation/containers/array.h"
#include "resource/resource_hold.h"
#include "foundation/strings/name_id.h"
#include "render/config/global_resources.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_object.h"

namespace tallow {

class Texture;
class RenderStateStream;

struct MaterialTextureRef {
    u32 channel = 0;   // NameId32 of the texture channel
    u64 texture = 0;   // NameId64 of the "texture" resource
};

/// One value of a material: its variable and 1 to 3 floats.
struct MaterialValue {
    u32 kind = 0;      // 0 scalar, 1 vector2, 2 vector3
    u32 variable = 0;  // NameId32
    f32 value[3] = {0, 0, 0};
};

struct MaterialEntry {
    explicit MaterialEntry(Allocator &allocator)
        : shader_name(allocator), textures(allocator), values(allocator), slots(allocator)
    {
    }
    u32 name = 0;
    u32 shader_template = 0;
    /// The template's name text (no terminator); empty when the data carries no names.
    Array<char> shader_name;
    Array<MaterialTextureRef> textures;
    Array<MaterialValue> values;
    /// Filled by resolve: one texture per texture channel (null: none).
    Array<const Texture *> slots;
};

class MaterialResource {
  public:
    explicit MaterialResource(Allocator &allocator) : entries(allocator), allocator(&allocator), textures(allocator) {}
    ~MaterialResource();
    const MaterialEntry *find(u32 name) const;
    Array<MaterialEntry *> entries;
    Allocator *allocator;
    bool resolved = false;
    /// The "texture" resources the entries' slots point into, held while the material is
    /// loaded (taken when the manager resolves it, given back when it unloads).
    Array<ResourceHold> textures;
    ResourceManager *texture_holder = nullptr;
};

/// Number of floats of a value kind (0 to 2); 0 past 2.
u32 material_value_floats(u32 kind);

MaterialResource *read_material_resource(const u8 *bytes, u64 size_bytes, Allocator &allocator);
void destroy_material_resource(MaterialResource *material);
/// Gives every entry one slot per channel, filled with the "texture" resources its
/// references name, and marks the resource resolved. Returns the references skipped.
u32 resolve_material_textures(MaterialResource &material, const Array<u32> &texture_channels,
                              const ResourceLookup &resources);

/// Where the "material" type finds the render configuration's texture channels (null
/// channels: no slots) and loaded textures.
struct MaterialResolveContext {
    const Array<u32> *texture_channels = nullptr;
};
ResourceTypeCallbacks material_resource_callbacks(const MaterialResolveContext *context);

/// A texture binding of a render material: the resource type and the device handle.
struct MaterialTextureBinding {
    u32 type = 0;
    u32 handle = 0xFFFFFFFFu;
};

/// The render side of a material (class Material): the shader context of its template,
/// its texture bindings per channel and its values. Render thread.
class RenderMaterial final : public RenderObject {
  public:
    /// `shader_template` (non-zero) stands in for the entry's template, in this and later
    /// set_entry calls: particle emitters draw with a variant of their material's template.
    RenderMaterial(Allocator &allocator, const MaterialEntry &entry, ShaderManager &shaders, u32 shader_template = 0);
    /// Kinds: 0 texture binding {u32 class, u32 handle, u32 channel index, u32 type, u32
    /// handle}; 1 shader template {.., u32 name}; 2, 3, 4 a scalar, vector2, vector3 {..,
    /// u32 variable, floats}; 5 another entry {.., pointer-sized MaterialEntry address}.
    /// Short payloads and channel indices past the bindings are dropped (logged).
    void apply_message(u32 kind, const u8 *payload, u32 payload_bytes) override;
    /// Instantiates the template again and applies the values held. See RenderObject
    void refresh_shaders() override;

    /// Instantiates the template and applies the entry's values and textures.
    void set_entry(const MaterialEntry &entry);
    const ShaderContext &context() const { return _context; }
    ShaderContext &context() { return _context; }
    const Array<MaterialTextureBinding> &textures() const { return _textures; }
    const Array<MaterialValue> &values() const { return _values; }
    u32 shader_template() const { return _template; }

  private:
    void set_template(u32 name, const Array<char> *text = nullptr);
    void apply_value(const MaterialValue &value);

    ShaderManager *_shaders;
    u32 _variant = 0; // the template that stands in for the entry's; 0: none
    ShaderContext _context;
    Array<MaterialTextureBinding> _textures;
    Array<MaterialValue> _values;
    u32 _template = 0;
};

/// The values GUI and particle creation hand over with a shader: copying takes the shader
/// name, the values and the last two words and resets the first three words.
struct MaterialValueSet {
    explicit MaterialValueSet(Allocator &allocator) : values(allocator) {}
    MaterialValueSet(const MaterialValueSet &other) : values(other.values) { copy_from(other); }
    MaterialValueSet &operator=(const MaterialValueSet &other);
    u32 reserved = 0;
    u32 handle = 0xFFFFFFFFu;
    u32 flags = 0;
    u32 shader = 0;
    Array<MaterialValue> values;
    u32 extra[2] = {0, 0};

  private:
    void copy_from(const MaterialValueSet &other);
};

/// Payload of the material value records (kinds 2, 3, 4) in a world's update stream.
struct MaterialValueRecord {
    u32 class_id = u32(RenderObjectClass::Material);
    u32 handle = 0;
    u32 variable = 0;
    f32 value[3] = {0, 0, 0};
};
constexpr u32 material_record_kind_scalar = 2;

/// The game side of a material: the values scripts set go to its render twin as state
/// records. Without a stream or a handle nothing is sent.
class Material {
  public:
    Material(RenderStateStream *stream, u32 handle) : _stream(stream), _handle(handle) {}
    void set_scalar(u32 variable, f32 value);
    void set_vector2(u32 variable, f32 x, f32 y);
    void set_vector3(u32 variable, f32 x, f32 y, f32 z);
    void set_handle(u32 handle) { _handle = handle; }

  private:
    void send(u32 floats, u32 variable, const f32 *value);
    RenderStateStream *_stream;
    u32 _handle;
};

} // namespace tallow
