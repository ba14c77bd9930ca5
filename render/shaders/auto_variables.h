#pragma once
// Shader variables the engine fills by name: per-object matrices for every draw, and
// per-camera and global values computed once per camera.
//
//   ObjectAutoEntry list[] = ...;                        // built per shader (Shader)
//   evaluate_object_auto_variables(list, n, world, view, projection, block, block_size);
//   CameraVariableValues camera;                         // one per shader manager
//   camera.update(camera_inputs, render_settings);       // once per rendered camera
//   evaluate_camera_auto_variables(entries, n, camera, block, block_size);
//
// Matrices use the engine's row-vector convention (a point is transformed as p x M) and
// are written transposed, column-major for the shader code. Products follow the order
// the names read: "world_view" is world x view.
//
// Object variables (type Matrix4x4): "world", "inv_world" (rigid inverse), "view", "proj",
// "world_view", "inv_world_view", "view_proj", "inv_view_proj", "world_view_proj", and
// "bones" (only its offset is recorded, for the skinning path). The inverses of products
// that hold a projection, and of world x view, are general 4x4 inverses; a singular
// product writes zeros.
// Camera variables: "camera_world", "camera_inv_world" (rigid), "camera_view",
// "camera_inv_view" (rigid), "camera_projection", "camera_inv_projection" (general
// inverse), "camera_pos", "camera_unprojection", "camera_near_far", "delta_time", "time",
// "back_buffer_size"; and every render setting whose value is a number, as a Scalar named
// by its key.
// A variable whose declared type differs from the table's is left to setters (logged once
// when the list is built). Plain functions; the values object is written on the render
// thread only.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "render/math/camera_math.h" // rigid_inverse
#include "foundation/types.h"

namespace tallow {

class ConfigValue;

/// Codes of the object table; 4 (rigid inverse of the view) has no name of its own.
enum class ObjectAutoCode : u32 {
    Bones = 0,
    World = 1,
    InvWorld = 2,
    View = 3,
    InvView = 4,
    Proj = 5,
    WorldView = 6,
    InvWorldView = 7,
    ViewProj = 8,
    InvViewProj = 9,
    WorldViewProj = 10,
};

struct ObjectAutoEntry {
    u32 offset; // in the block; the entry writes 64 bytes there
    ObjectAutoCode code;
};

/// The object code of a variable name id; false when it is not an object auto variable.
bool object_auto_code(u32 name, ObjectAutoCode *out_code);

/// Runs an object list into `block` (`block_size` bytes); entries that would reach past
/// the block are skipped. Bones entries write nothing.
void evaluate_object_auto_variables(const ObjectAutoEntry *entries, u32 count, const Matrix4x4 &world,
                                    const Matrix4x4 &view, const Matrix4x4 &projection, u8 *block, u32 block_size);

/// Slots of the camera table.
enum class CameraAutoSlot : u32 {
    World = 0,
    InvWorld = 1,
    View = 2,
    InvView = 3,
    Projection = 4,
    InvProjection = 5,
    Position = 6,
    Unprojection = 7,
    NearFar = 8,
    DeltaTime = 9,
    Time = 10,
    RenderSetting = 11,
    BackBufferSize = 12,
};
constexpr u32 camera_auto_slot_count = 13;

/// The slot and value type of a camera variable name id; false when it is not one.
/// Render settings are not in this table (CameraVariableValues::setting_index).
bool camera_auto_slot(u32 name, CameraAutoSlot *out_slot, u32 *out_type);

/// What a rendered camera supplies.
struct CameraInputs {
    Matrix4x4 world = matrix4x4_identity;
    Matrix4x4 view = matrix4x4_identity;
    Matrix4x4 projection = matrix4x4_identity;
    f32 near_range = 0.1f;
    f32 far_range = 1000.0f;
    f32 delta_time = 0.0f; // seconds
    f32 time = 0.0f;       // seconds since start
    f32 back_buffer_width = 0.0f;
    f32 back_buffer_height = 0.0f;
};

struct CameraAutoEntry {
    u32 offset;
    CameraAutoSlot slot;
    u32 setting; // slot RenderSetting: index in CameraVariableValues' settings
};

/// The camera table's values for the current camera, computed once per camera.
class CameraVariableValues {
  public:
    explicit CameraVariableValues(Allocator &allocator);

    /// Takes the names of the numeric members of `settings` (null: none); their values are
    /// read again on every update. Lists built before refer to settings by index, so they
    /// are rebuilt after this.
    void set_settings(const ConfigValue *settings);
    /// Index of the render setting named `name` (NameId32) for a Scalar entry, or false.
    bool setting_index(u32 name, u32 *out_index) const;

    /// Computes every slot for `camera` and re-reads the settings' values.
    void update(const CameraInputs &camera);

    /// Bytes of a slot (transposed matrices, vectors, scalars).
    const u8 *slot_bytes(CameraAutoSlot slot) const;
    u32 slot_size(CameraAutoSlot slot) const;
    f32 setting_value(u32 index) const { return index < _setting_values.size() ? _setting_values[index] : 0.0f; }

  private:
    struct Slots {
        f32 matrices[6][16];
        f32 position[3];
        f32 unprojection[3];
        f32 near_far[3];
        f32 delta_time;
        f32 time;
        f32 back_buffer_size[2];
    };
    Slots _slots{};
    const ConfigValue *_settings = nullptr;
    Array<u32> _setting_names; // NameId32, sorted
    Array<f32> _setting_values;
};

/// Copies the camera values into `block` for every entry that fits.
void evaluate_camera_auto_variables(const CameraAutoEntry *entries, u32 count, const CameraVariableValues &values,
                                    u8 *block, u32 block_size);

/// `m` transposed into 16 floats.
void write_transposed(const Matrix4x4 &m, void *out);

} // namespace tallow
