#include "render/shaders/auto_variables.h"

#include "foundation/config/config_value.h"
#include "foundation/strings/name_id.h"
#include "render/shaders/shader_constant_buffer.h"

#include <algorithm>
#include <cstring>

namespace tallow {

namespace {

struct ObjectName {
    u32 name;
    ObjectAutoCode code;
};

constexpr ObjectName object_names[] = {
    {NameId32("bones").value(), ObjectAutoCode::Bones},
    {NameId32("world").value(), ObjectAutoCode::World},
    {NameId32("inv_world").value(), ObjectAutoCode::InvWorld},
    {NameId32("view").value(), ObjectAutoCode::View},
    {NameId32("proj").value(), ObjectAutoCode::Proj},
    {NameId32("world_view").value(), ObjectAutoCode::WorldView},
    {NameId32("inv_world_view").value(), ObjectAutoCode::InvWorldView},
    {NameId32("view_proj").value(), ObjectAutoCode::ViewProj},
    {NameId32("inv_view_proj").value(), ObjectAutoCode::InvViewProj},
    {NameId32("world_view_proj").value(), ObjectAutoCode::WorldViewProj},
};

struct CameraName {
    u32 name;
    CameraAutoSlot slot;
    ShaderValueType type;
};

constexpr CameraName camera_names[] = {
    {NameId32("camera_world").value(), CameraAutoSlot::World, ShaderValueType::Matrix4x4},
    {NameId32("camera_inv_world").value(), CameraAutoSlot::InvWorld, ShaderValueType::Matrix4x4},
    {NameId32("camera_view").value(), CameraAutoSlot::View, ShaderValueType::Matrix4x4},
    {NameId32("camera_inv_view").value(), CameraAutoSlot::InvView, ShaderValueType::Matrix4x4},
    {NameId32("camera_projection").value(), CameraAutoSlot::Projection, ShaderValueType::Matrix4x4},
    {NameId32("camera_inv_projection").value(), CameraAutoSlot::InvProjection, ShaderValueType::Matrix4x4},
    {NameId32("camera_pos").value(), CameraAutoSlot::Position, ShaderValueType::Vector3},
    {NameId32("camera_unprojection").value(), CameraAutoSlot::Unprojection, ShaderValueType::Vector3},
    {NameId32("camera_near_far").value(), CameraAutoSlot::NearFar, ShaderValueType::Vector3},
    {NameId32("delta_time").value(), CameraAutoSlot::DeltaTime, ShaderValueType::Scalar},
    {NameId32("time").value(), CameraAutoSlot::Time, ShaderValueType::Scalar},
    {NameId32("back_buffer_size").value(), CameraAutoSlot::BackBufferSize, ShaderValueType::Vector2},
};

// The general inverse; zeros for a singular matrix, so no half-eliminated matrix reaches
// a shader.
Matrix4x4 general_inverse(const Matrix4x4 &m)
{
    Matrix4x4 out;
    if (!matrix4x4_inverse(m, out))
        out = Matrix4x4{};
    return out;
}

f32 reciprocal_or_zero(f32 v) { return v != 0.0f ? 1.0f / v : 0.0f; }

} // namespace

void write_transposed(const Matrix4x4 &m, void *out)
{
    f32 t[16];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            t[j * 4 + i] = m.m[i][j];
    memcpy(out, t, sizeof(t));
}

bool object_auto_code(u32 name, ObjectAutoCode *out_code)
{
    for (const ObjectName &n : object_names) {
        if (n.name == name) {
            *out_code = n.code;
            return true;
        }
    }
    return false;
}

void evaluate_object_auto_variables(const ObjectAutoEntry *entries, u32 count, const Matrix4x4 &world,
                                    const Matrix4x4 &view, const Matrix4x4 &projection, u8 *block, u32 block_size)
{
    // Products are shared between entries of one draw, computed when first needed.
    Matrix4x4 world_view, view_proj;
    bool have_world_view = false, have_view_proj = false;
    for (u32 i = 0; i < count; ++i) {
        const ObjectAutoEntry &e = entries[i];
        if (e.code == ObjectAutoCode::Bones || u64(e.offset) + 64 > block_size)
            continue;
        u8 *at = block + e.offset;
        switch (e.code) {
        case ObjectAutoCode::World: write_transposed(world, at); break;
        case ObjectAutoCode::InvWorld: write_transposed(rigid_inverse(world), at); break;
        case ObjectAutoCode::View: write_transposed(view, at); break;
        case ObjectAutoCode::InvView: write_transposed(rigid_inverse(view), at); break;
        case ObjectAutoCode::Proj: write_transposed(projection, at); break;
        case ObjectAutoCode::WorldView:
        case ObjectAutoCode::InvWorldView:
            if (!have_world_view) {
                world_view = world * view;
                have_world_view = true;
            }
            write_transposed(e.code == ObjectAutoCode::WorldView ? world_view : general_inverse(world_view), at);
            break;
        case ObjectAutoCode::ViewProj:
        case ObjectAutoCode::InvViewProj:
            if (!have_view_proj) {
                view_proj = view * projection;
                have_view_proj = true;
            }
            write_transposed(e.code == ObjectAutoCode::ViewProj ? view_proj : general_inverse(view_proj), at);
            break;
        case ObjectAutoCode::WorldViewProj:
            if (!have_view_proj) {
                view_proj = view * projection;
                have_view_proj = true;
            }
            write_transposed(world * view_proj, at);
            break;
        case ObjectAutoCode::Bones: break;
        }
    }
}

bool camera_auto_slot(u32 name, CameraAutoSlot *out_slot, u32 *out_type)
{
    for (const CameraName &n : camera_names) {
        if (n.name == name) {
            *out_slot = n.slot;
            *out_type = u32(n.type);
            return true;
        }
    }
    return false;
}

CameraVariableValues::CameraVariableValues(Allocator &allocator)
    : _setting_names(allocator), _setting_values(allocator)
{
}

void CameraVariableValues::set_settings(const ConfigValue *settings)
{
    _settings = settings;
    _setting_names.clear();
    if (settings && settings->kind() == ConfigKind::Object) {
        for (const auto &member : settings->members()) {
            const ConfigKind k = member.value.kind();
            if (k == ConfigKind::Integer || k == ConfigKind::Float)
                _setting_names.push_back(NameId32(member.key.c_str()).value());
        }
    }
    std::sort(_setting_names.begin(), _setting_names.end());
    _setting_values.resize(_setting_names.size());
    for (f32 &v : _setting_values)
        v = 0.0f;
}

bool CameraVariableValues::setting_index(u32 name, u32 *out_index) const
{
    const u32 *at = std::lower_bound(_setting_names.begin(), _setting_names.end(), name);
    if (at == _setting_names.end() || *at != name)
        return false;
    *out_index = u32(at - _setting_names.begin());
    return true;
}

void CameraVariableValues::update(const CameraInputs &camera)
{
    const Matrix4x4 matrices[6] = {camera.world,      rigid_inverse(camera.world),
                                   camera.view,       rigid_inverse(camera.view),
                                   camera.projection, general_inverse(camera.projection)};
    for (int i = 0; i < 6; ++i)
        write_transposed(matrices[i], _slots.matrices[i]);
    const Vector3 position = translation(camera.world);
    _slots.position[0] = position.x;
    _slots.position[1] = position.y;
    _slots.position[2] = position.z;
    _slots.unprojection[0] = reciprocal_or_zero(camera.projection.m[0][0]);
    _slots.unprojection[1] = 1.0f;
    _slots.unprojection[2] = reciprocal_or_zero(camera.projection.m[2][1]);
    _slots.near_far[0] = camera.near_range;
    _slots.near_far[1] = camera.far_range;
    _slots.near_far[2] = 0.0f;
    _slots.delta_time = camera.delta_time;
    _slots.time = camera.time;
    _slots.back_buffer_size[0] = camera.back_buffer_width;
    _slots.back_buffer_size[1] = camera.back_buffer_height;
    // Settings are read by name every camera: render variables may have changed them, and
    // a setting that is no longer a number reads 0.
    for (f32 &v : _setting_values)
        v = 0.0f;
    if (_settings && _settings->kind() == ConfigKind::Object) {
        for (const auto &member : _settings->members()) {
            const ConfigKind k = member.value.kind();
            u32 index = 0;
            if ((k == ConfigKind::Integer || k == ConfigKind::Float) &&
                setting_index(NameId32(member.key.c_str()).value(), &index))
                _setting_values[index] = member.value.to_float();
        }
    }
}

const u8 *CameraVariableValues::slot_bytes(CameraAutoSlot slot) const
{
    const void *p = nullptr;
    switch (slot) {
    case CameraAutoSlot::World:
    case CameraAutoSlot::InvWorld:
    case CameraAutoSlot::View:
    case CameraAutoSlot::InvView:
    case CameraAutoSlot::Projection:
    case CameraAutoSlot::InvProjection: p = _slots.matrices[u32(slot)]; break;
    case CameraAutoSlot::Position: p = _slots.position; break;
    case CameraAutoSlot::Unprojection: p = _slots.unprojection; break;
    case CameraAutoSlot::NearFar: p = _slots.near_far; break;
    case CameraAutoSlot::DeltaTime: p = &_slots.delta_time; break;
    case CameraAutoSlot::Time: p = &_slots.time; break;
    case CameraAutoSlot::BackBufferSize: p = _slots.back_buffer_size; break;
    case CameraAutoSlot::RenderSetting: break;
    }
    return static_cast<const u8 *>(p);
}

u32 CameraVariableValues::slot_size(CameraAutoSlot slot) const
{
    switch (slot) {
    case CameraAutoSlot::Position:
    case CameraAutoSlot::Unprojection:
    case CameraAutoSlot::NearFar: return 12;
    case CameraAutoSlot::DeltaTime:
    case CameraAutoSlot::Time:
    case CameraAutoSlot::RenderSetting: return 4;
    case CameraAutoSlot::BackBufferSize: return 8;
    default: return 64;
    }
}

void evaluate_camera_auto_variables(const CameraAutoEntry *entries, u32 count, const CameraVariableValues &values,
                                    u8 *block, u32 block_size)
{
    for (u32 i = 0; i < count; ++i) {
        const CameraAutoEntry &e = entries[i];
        const u32 size = values.slot_size(e.slot);
        if (u64(e.offset) + size > block_size)
            continue;
        if (e.slot == CameraAutoSlot::RenderSetting) {
            const f32 v = values.setting_value(e.setting);
            memcpy(block + e.offset, &v, 4);
        } else {
            memcpy(block + e.offset, values.slot_bytes(e.slot), size);
        }
    }
}

} // namespace tallow
