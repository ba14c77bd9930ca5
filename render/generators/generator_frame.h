#pragma once
// What one run of the render pipeline generators sees of the frame: the device, the
// frame's list of render contexts, the named render resources, the layer configuration,
// the camera, the render world, the viewport rectangle, the shading environment and the
// viewport's variable overrides. The render world's render operation fills one per view
// and hands it to ResourceGenerators::execute_for_layers (resource_generator.h).
//
//   GeneratorFrame frame;
//   frame.device = &device;  frame.contexts = &frame_contexts;
//   frame.resources = &global_resources;  frame.layer_config = &layer_config;
//   frame.viewport = viewport.device_rect();  frame.shading = &environment;
//   frame.overrides = &viewport_overrides;  frame.frame_index = frame_number;
//   generators.execute_for_layers(layer_config, frame);
//   device.dispatch(frame_contexts.size(), frame_contexts.data());
//
// Everything it points at belongs to the caller and lives for the run; modifiers keep no
// pointer from it past the run. Render thread.

#include "foundation/containers/array.h"
#include "foundation/types.h"
#include "render/commands/render_records.h"

namespace tallow {

class RenderCamera;
class RenderContext;
class RenderDevice;
class RenderResourceSet;
class RenderWorld;
class ShaderContext;
class ShaderVariableBlock;
class VariableOverrideMap;
struct LayerConfig;

/// One variable of a shading environment as the generators read it: its kind, element
/// count, id and where its value starts in the environment's value block.
struct ShadingVariable {
    u32 kind = 0;          // shading_variable_kind
    u32 element_count = 0; // 1 for plain values
    u32 id = 0;            // NameId32
    u32 offset = 0;        // bytes into value_block()
};

namespace shading_variable_kind {
constexpr u32 scalar = 0;
constexpr u32 vector2 = 1;
constexpr u32 vector3 = 2;
constexpr u32 matrix4x4 = 3;
constexpr u32 scalar_array = 4;  // 4-byte elements
constexpr u32 vector2_array = 5; // 8-byte elements
constexpr u32 vector3_array = 6; // 12-byte elements
} // namespace shading_variable_kind

/// What the generators need of the frame's shading environment. The render front end's
/// shading environment implements it.
///
/// A new implementation provides: find_variable, value_block, value_block_size,
/// material_context and environment_values. Render thread only.
class IGeneratorShading {
  public:
    virtual ~IGeneratorShading() = default;
    /// The variable `id` (NameId32), or null when the environment has none.
    virtual const ShadingVariable *find_variable(u32 id) const = 0;
    /// The environment's values; variables' offsets point into it. Valid for the frame.
    virtual const u8 *value_block() const = 0;
    virtual u32 value_block_size() const = 0;
    /// The shader context of the environment's material `id` (NameId32), or null.
    virtual ShaderContext *material_context(u32 id) = 0;
    /// The environment's values as set_matrices takes them (may be null).
    virtual const ShaderVariableBlock *environment_values() const = 0;
};

struct GeneratorFrame {
    RenderDevice *device = nullptr;
    Array<RenderContext *> *contexts = nullptr;  // each generator run appends its context
    const RenderResourceSet *resources = nullptr; // render targets and textures by name
    const LayerConfig *layer_config = nullptr;
    const RenderCamera *camera = nullptr;         // null when the view has none
    const RenderWorld *render_world = nullptr;
    Viewport viewport{0, 0, 1, 1, 0, 1};          // the view's rectangle, fractions of the target
    IGeneratorShading *shading = nullptr;         // null: no environment (materials and loops find nothing)
    VariableOverrideMap *overrides = nullptr;     // the view's shader-variable overrides (loops write them)
    u32 frame_index = 0;                          // the same for every view of one frame
};

} // namespace tallow
