#pragma once
// Shadow-map geometry of the lighting steps: cube-face cameras of omni lights, the spot
// light's shadow matrix and the light box of one cascade of the sun's shadow map.
//
//   Matrix4x4 face = cube_face_view_projection(2, light_position, range);     // +Y face
//   Matrix4x4 spot = spot_shadow_matrix(light_world, spot_angle_end, range);  // into texture space
//   CascadeSliceFit fit;
//   if (fit_cascade_slice(camera, slice, &fit)) ... fit.world_to_shadow_map ...
//
// Everything follows render/math/camera_math.h: row vectors, z up, a camera looks along its
// pose's y axis with x to the right and z up; a projection sends x to screen x, z to screen
// y and y to depth (0 at the near plane). Texture space has (0, 0) at the top left, so the
// texture mappings below flip screen y.
//
// Cube faces, in the order the cube texture holds them (+X, -X, +Y, -Y, +Z, -Z), are seen
// with the texture's own orientation: face f has screen right and screen up as listed in
// cube_face_axes, which makes right = up x direction for every face. That basis is a
// mirror (determinant -1) of the camera convention; it is what lets a lookup of the cube
// with the light-to-point vector land on the texel the face's camera drew.
//
// Plain functions, reentrant, allocate nothing.

#include "foundation/math/matrix4x4.h"
#include "render/math/camera_math.h"

namespace tallow {

/// Near plane of every shadow camera (omni faces, spot lights, cascades).
constexpr f32 shadow_near_range = 0.1f;
constexpr u32 cube_face_count = 6;

/// A cube face's direction, screen right and screen up (world axes).
struct CubeFaceAxes {
    Vector3 direction;
    Vector3 right;
    Vector3 up;
};
/// The axes of face 0 to 5 (+X, -X, +Y, -Y, +Z, -Z); a face past 5 gives face 5's.
CubeFaceAxes cube_face_axes(u32 face);
/// The pose of the face's camera at `position`: rows right, direction, up, position.
Matrix4x4 cube_face_pose(u32 face, Vector3 position);
/// The face's view-projection: a 90-degree square perspective from shadow_near_range to
/// `range` (a range at or below the near plane gives a thin but finite one).
Matrix4x4 cube_face_view_projection(u32 face, Vector3 position, f32 range);

/// The clip-to-texture mapping of the rectangle (x, y, width, height), fractions of the
/// target: x' = (width / 2) x + (x + width / 2) w, y' = -(height / 2) y + (y + height / 2) w,
/// depth and w unchanged.
Matrix4x4 viewport_texture_mapping(f32 x, f32 y, f32 width, f32 height);

/// The shadow matrix of a spot light whose world transform is `light_world` (its y axis is
/// the cone's axis; scale in the transform is ignored): a square perspective of field of
/// view `spot_angle_end` (the full cone angle, radians) from shadow_near_range to `range`,
/// then the mapping into the whole texture. Points on the cone's axis land on (0.5, 0.5).
/// The spot light's shadow camera pose: `light_world` made orthonormal (y the cone's axis).
Matrix4x4 spot_shadow_pose(const Matrix4x4 &light_world);
Matrix4x4 spot_shadow_view_projection(const Matrix4x4 &light_world, f32 spot_angle_end, f32 range);
Matrix4x4 spot_shadow_matrix(const Matrix4x4 &light_world, f32 spot_angle_end, f32 range);

/// What a cascade slice is fitted around: the frame camera.
struct CascadeCamera {
    Matrix4x4 pose = matrix4x4_identity; // the camera's world transform (no scale)
    bool perspective = true;
    f32 vertical_fov = 1.22f;            // radians, perspective
    f32 aspect = 1.0f;                   // width / height
    f32 ortho_left = -1, ortho_right = 1, ortho_bottom = -1, ortho_top = 1; // orthographic
};

/// One slice: its view-depth range, the light's direction and where it lands in its target.
struct CascadeSliceInput {
    f32 depth_start = 0;
    f32 depth_end = 10;
    Vector3 light_direction{0, 0, -1}; // normalised here; shorter than 0.0001 means no light
    f32 target_width = 1024;           // texels of the slice's output
    f32 target_height = 1024;
    f32 viewport[4] = {0, 0, 1, 1};    // x, y, width, height (fractions)
};

/// The fitted light box of a slice.
struct CascadeSliceFit {
    Vector3 corners[8];                      // the camera's view volume between the depths, world space
    Vector3 centre{};                        // m: middle of the corners' view-space box, in world space
    f32 radius = 0;                          // r: half the diagonal of their view-space box
    f32 far_range = 0;                       // of the light's projection
    Matrix4x4 light_pose = matrix4x4_identity; // rows right, forward (the light direction), up, snapped position
    Matrix4x4 view_projection = matrix4x4_identity;
    Matrix4x4 world_to_shadow_map = matrix4x4_identity; // view_projection, then the slice's viewport
};

/// Fits the slice. False when the light direction is (nearly) zero: there is no light to
/// fit a box for (out is left with the corners only).
///
/// The light sits 250 units back from the slice's centre along its direction, moved by the
/// part along the light of (r - |camera position - m|) times the camera's forward axis (the
/// part across the light would push the box off the slice); its up axis is world X made
/// orthogonal to the direction (world Z when the direction is parallel to X); the position
/// is snapped to whole texels of 2r / target size along right and up, so the box moves in
/// texel steps as the camera moves.
bool fit_cascade_slice(const CascadeCamera &camera, const CascadeSliceInput &slice, CascadeSliceFit *out);

} // namespace tallow
