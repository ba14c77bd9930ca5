#pragma once
// The constant block of a shader context slot: variable records {type, count, name, offset}
// laid out one after another, and the block of bytes they describe. Draw commands copy the
// block (render_records.h); setters, auto variables and resource binding write into it.
//
//   ShaderVariableDesc vars[] = {{3, 1, NameId32("world").value(), 0}, {0, 1, NameId32("alpha").value(), 0}};
//   ShaderConstantBuffer block(allocator);
//   block.set_description(vars, 2);                 // offsets 0 and 64, 68 bytes
//   block.allocate(block.layout_size());
//   u32 at = block.find_variable(NameId32("alpha").value());   // 64
//   if (at != variable_not_found) ...
//
// Decision on a variable that is not found: every lookup by name in this engine (here, in
// shader variable maps and in contexts) answers `variable_not_found` (0xFFFFFFFF) as an
// offset, or null as a pointer. An offset of 0 is the first variable, so 0 cannot mean
// "absent".
//
// Not thread-safe; a block belongs to its owner.

#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {

/// Value types of shader variables; all are 4-byte aligned. 4 to 7 hold 32-bit integers
/// (4 also the u32 handle of a bound resource).
enum class ShaderValueType : u32 {
    Scalar = 0,    // 4 bytes
    Vector2 = 1,   // 8
    Vector3 = 2,   // 12
    Matrix4x4 = 3, // 64
    Int = 4,       // 4
    Int2 = 5,      // 8
    Int3 = 6,      // 12
    Int4x4 = 7,    // 64
};
constexpr u32 shader_value_type_count = 8;

/// Bytes of one element of `type`; 0 for a type outside 0 to 7.
u32 shader_value_size(u32 type);

/// The one answer of a lookup that finds nothing (see the decision above).
constexpr u32 variable_not_found = 0xFFFFFFFFu;

/// Largest block a shader may describe; larger descriptions are refused.
constexpr u32 max_constant_block_bytes = 1u << 20;

/// One variable of a block.
struct ShaderVariableDesc {
    u32 type;   // ShaderValueType
    u32 count;  // elements; 0 counts as 1
    u32 name;   // NameId32
    u32 offset; // bytes from the block start; set by layout
};
static_assert(sizeof(ShaderVariableDesc) == 16);

/// Bytes a variable takes: type size x count, a count of 0 counting as 1. 0 for an unknown
/// type; saturates instead of wrapping.
u64 shader_variable_bytes(const ShaderVariableDesc &variable);

/// Lays variables out in order: each offset is the running size rounded up to 4, and the
/// running size then grows by the variable's bytes. Returns the block size, or
/// variable_not_found for an unknown type or a block past max_constant_block_bytes (the
/// offsets are then not all set).
u32 layout_shader_variables(ShaderVariableDesc *variables, u32 count);

class ShaderConstantBuffer {
  public:
    /// The description and the block are allocated from `allocator`.
    explicit ShaderConstantBuffer(Allocator &allocator);
    ~ShaderConstantBuffer();
    ShaderConstantBuffer(const ShaderConstantBuffer &) = delete;
    ShaderConstantBuffer &operator=(const ShaderConstantBuffer &) = delete;

    /// Copies the records and lays them out (`layout`). False (description emptied) when the
    /// layout refuses them. The block is not touched; call allocate.
    bool set_description(const ShaderVariableDesc *variables, u32 count);
    /// Recomputes the offsets; returns the size (variable_not_found when refused).
    u32 layout();
    /// The size the description needs.
    u32 layout_size() const { return _layout_size; }
    /// (Re)allocates the block with `size_bytes` (at least layout_size) zero bytes, alignment 4.
    bool allocate(u32 size_bytes);

    /// The offset of the variable `name` (NameId32), or variable_not_found; linear search.
    u32 find_variable(u32 name) const;
    /// The same by the variable's name text (hashed to its NameId32).
    u32 find_variable(const char *name) const;
    /// Address of the variable at record `index`; null when out of range or outside the block.
    void *value_ptr(u32 index);
    /// Writes a u32 to the variable `name` (a resource handle, an index such as "rt_index").
    /// False when the variable is absent or smaller than 4 bytes.
    bool set_by_id(u32 name, u32 value);
    /// Copies each variable of `source` whose type, count and name match one here (its
    /// bytes, from source's block to this block).
    void copy_defaults(const ShaderConstantBuffer &source);

    const Array<ShaderVariableDesc> &variables() const { return _variables; }
    u8 *data() { return _block; }
    const u8 *data() const { return _block; }
    u32 size() const { return _size; }

  private:
    Allocator &_allocator;
    Array<ShaderVariableDesc> _variables;
    u32 _layout_size = 0;
    u8 *_block = nullptr;
    u32 _size = 0;
};

/// Copies the bytes of every variable of `from_vars` whose type, count and name match a
/// variable of `to_vars`, between blocks of `from_size` and `to_size` bytes; variables that
/// would reach past either block are skipped. Used for defaults and for carrying a
/// context's values over to a new instance.
void copy_matching_variables(const ShaderVariableDesc *from_vars, u32 from_count, const u8 *from_block, u32 from_size,
                             const ShaderVariableDesc *to_vars, u32 to_count, u8 *to_block, u32 to_size);

} // namespace tallow
