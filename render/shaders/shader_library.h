#pragma once
// Compiled shader libraries ("shader_library") and their groups ("shader_library_group"):
// the shaders, shader templates and per-pass device programs of one library, read once
// into native records. The ShaderLibraryLoader brings groups in (shader_library_loader.h).
//
//   ShaderLibrary *library = read_shader_library(bytes, size, allocator);   // null: refused (logged)
//   for (const ShaderRecord &s : library->shaders) ...
//   destroy_shader_library(library);
//
// File layout (little-endian; "table of X" is a u32 count, then that many X):
//   u32 version                                    read and ignored (18)
//   table of shaders:
//     u32 name (NameId32), u32 options (kept as stored)
//     table of variables {u32 name, u32 kind (0 value, 1 resource handle), u32 offset}
//     table of constant buffers: table of {u32 type, u32 count, u32 name, u32 offset},
//         then u32 slot, u32 size_bytes (kept as stored; the device reads its buffers from
//         the stage tables below)
//     table of passes {u32 layer name (NameId32; 0 for none)}
//     u32 high_pass                                non-zero: pass numbers go to key bits 52-54
//   table of templates: u32 name, table of slots: u32 slot name, table of options:
//     u32 shader name, u32 length, that many bytes of a flat config object (length 0:
//     no condition; the option matches whatever the capabilities)
//   device data: table with one entry per shader, each a table of programs, one per pass:
//     table of render states {u32 id, u8 first, u32 value, u32 last}
//     table of samplers {u32 name, table of render states}
//     six stages: vertex, hull, domain, geometry, pixel, compute, each:
//       u32 code length, the code bytes (length 0: the stage is absent)
//       table of resource bindings {u32 name, u32 slot, u32 block offset of the handle, u32 0}
//       table of constant buffers {u32 slot, u32 size_bytes (multiple of 16), u32 block offset, u32 0}
//       table of unordered views {u32 block offset of the handle, u32 slot, u32 0, u32 0}
//       table of sampler bindings {u32 name, u32 slot, u32 0}
//
// A shader's constant block is the concatenation of its constant buffers' variables laid out
// by layout_shader_variables (stored offsets are recomputed); its allocated size is the
// larger of that layout and the end of every stage constant buffer, rounded up to 16.
//
// What a library must hold to load (anything else is refused with a log line, nothing
// read past the bytes): every count fits the bytes left; value types 0 to 7; at most 7
// passes per shader; exactly one device-data entry per shader and one program per pass;
// variable entries naming a described variable at its laid-out offset (resource entries:
// type Int); stage buffers, handles and unordered views inside the block; conditions that
// are valid flat config blobs.
//
// Stage code is opaque bytes handed to the device (for this engine, shader source text
// for the OpenGL backend; the headless backend takes any bytes).
//
// Reading is done on the loader thread; the library is read-only afterwards, except for
// the pass keys and program pointers the loader sets while the render thread is idle.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "render/commands/render_context.h"
#include "render/shaders/shader_constant_buffer.h"

namespace tallow {

namespace render::d3d11 {
struct ShaderDesc;
}

constexpr u32 shader_library_version = 18;
constexpr u32 shader_stage_count = 6; // vertex, hull, domain, geometry, pixel, compute (file order)

namespace shader_variable_kind {
constexpr u32 value = 0;
constexpr u32 resource = 1; // a u32 render resource handle, written by bind_resources
} // namespace shader_variable_kind

/// One entry of a shader's variable map.
struct ShaderVariableEntry {
    u32 name;
    u32 kind;
    u32 offset;
};
static_assert(sizeof(ShaderVariableEntry) == 12);

/// One pass: the layer it draws in and its keys per layer configuration (set by
/// resolve_passes; until then every configuration has bits 0 and mode Nothing).
struct ShaderPassRecord {
    u32 layer; // NameId32, 0 for none
    ShaderPassKeys keys;
};

/// Ranges into the library's pools.
struct PoolRange {
    u32 first = 0;
    u32 count = 0;
};

struct ShaderConstantBufferEntry {
    PoolRange variables; // into ShaderLibrary::constants
    u32 slot;
    u32 size_bytes;
};

struct ShaderRecord {
    u32 name;
    u32 options;
    PoolRange variables; // ShaderLibrary::variables
    PoolRange buffers;   // ShaderLibrary::buffers
    PoolRange constants; // ShaderLibrary::constants, every buffer's variables in order
    PoolRange passes;    // ShaderLibrary::passes
    u32 high_pass;
    u32 block_size;      // allocated constant block bytes (multiple of 16)
    u32 layout_size;     // bytes the variables take
    const render::d3d11::ShaderDesc *programs; // set by the loader when the library is brought in
};

struct TemplateOptionRecord {
    u32 shader;          // NameId32
    PoolRange condition; // bytes in ShaderLibrary::conditions; count 0: no condition
};

struct TemplateSlotRecord {
    u32 name;
    PoolRange options; // ShaderLibrary::options
};

struct TemplateRecord {
    u32 name;
    PoolRange slots; // ShaderLibrary::slots
};

/// One render-state record of a program.
struct ProgramState {
    u32 id;
    u32 first; // stored as a byte
    u32 value;
    u32 last;
};
static_assert(sizeof(ProgramState) == 16);

struct ProgramSampler {
    u32 name;
    PoolRange states; // DeviceData::states
};

/// {a, b, c, d}: resource bindings {name, slot, offset, 0}, constant buffers {slot, size,
/// offset, 0}, unordered views {offset, slot, 0, 0}.
struct ProgramWords4 {
    u32 a, b, c, d;
};
/// Sampler bindings {name, slot, 0}.
struct ProgramWords3 {
    u32 a, b, c;
};

struct ProgramStage {
    PoolRange code; // bytes in DeviceData::code
    PoolRange resources;
    PoolRange buffers;
    PoolRange unordered_views;
    PoolRange samplers;
};

struct ProgramRecord {
    PoolRange states;
    PoolRange samplers;
    ProgramStage stages[shader_stage_count];
};

/// The device-specific part of a library: the compiled programs.
class DeviceData {
  public:
    virtual ~DeviceData() = default;
};

/// The programs of every shader as the Direct3D device takes them: per shader one
/// render::d3d11::ShaderDesc whose passes point into this object's pools.
class DeviceDataWin32 final : public DeviceData {
  public:
    explicit DeviceDataWin32(Allocator &allocator);
    ~DeviceDataWin32() override;

    /// Builds the descriptions after the pools are read; false when memory runs out.
    bool build_descriptions(const Array<ShaderRecord> &shaders);
    /// The description of shader `index` (in library order); null when out of range.
    const render::d3d11::ShaderDesc *description(u32 index) const;

    Array<PoolRange> shader_programs; // per shader: its programs
    Array<ProgramRecord> programs;
    Array<ProgramState> states;
    Array<ProgramSampler> samplers;
    Array<ProgramWords4> words4;
    Array<ProgramWords3> words3;
    Array<u8> code;

  private:
    struct Built;
    Allocator &_allocator;
    Built *_built = nullptr;
};

struct ShaderLibrary {
    explicit ShaderLibrary(Allocator &parent);
    TraceAllocator allocator; // "shader_library"
    u32 version = 0;
    Array<ShaderRecord> shaders;
    Array<ShaderVariableEntry> variables;
    Array<ShaderConstantBufferEntry> buffers;
    Array<ShaderVariableDesc> constants;
    Array<ShaderPassRecord> passes;
    Array<TemplateRecord> templates;
    Array<TemplateSlotRecord> slots;
    Array<TemplateOptionRecord> options;
    Array<u8> conditions;
    DeviceDataWin32 *device_data = nullptr;
};

/// Reads and validates a library; null (logged) when the bytes are refused.
ShaderLibrary *read_shader_library(const u8 *bytes, u64 size_bytes, Allocator &allocator);
/// Frees a library made by read_shader_library; null is ignored.
void destroy_shader_library(ShaderLibrary *library);

/// A group: the "shader_library" resource name ids brought in together.
struct ShaderLibraryGroup {
    explicit ShaderLibraryGroup(Allocator &allocator) : libraries(allocator) {}
    u32 version = 0;
    Array<u64> libraries; // NameId64 values
};

/// Reads a group {u32 version, table of u64}; null (logged) when truncated or longer.
ShaderLibraryGroup *read_shader_library_group(const u8 *bytes, u64 size_bytes, Allocator &allocator);
void destroy_shader_library_group(ShaderLibraryGroup *group);

struct ResourceTypeCallbacks;
/// Load and unload callbacks of the "shader_library" and "shader_library_group" types.
ResourceTypeCallbacks shader_library_callbacks();
ResourceTypeCallbacks shader_library_group_callbacks();

} // namespace tallow
