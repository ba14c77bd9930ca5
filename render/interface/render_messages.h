#pragma once
// The messages the game side posts to the "renderer" thread through the render
// interface's ring: one struct per type, shared by the sender and the handler. Each starts
// with RenderMessageHeader {type, size of the whole message}; pointers are native and
// change owner with the message where the handler says so.
//
// Types keep their numbers; a type above the last is ignored, and a message shorter than
// its type's struct is dropped (logged) without being read.

#include "foundation/types.h"

namespace tallow {

class ConfigValue;
class DynamicString;
class Event;
class RenderResourceContext;
class RenderStateQueue;
class RenderWorld;
class Window;
class WorldRenderLink;
struct DeviceSettings;
template <typename T> class Array;

enum class RenderMessageType : u32 {
    Quit = 0,
    InitializeDevice = 1,
    CreateSwapChain = 2,
    ResizeSwapChain = 3,
    AddWorld = 4,
    RemoveWorld = 5,
    RenderWorld = 6,
    UpdateWorld = 7,
    Present = 8,
    ExecuteResourceContexts = 9,
    Fence = 10,
    SetRenderVariable = 11,
    SetFullscreen = 12,
    ResizeTarget = 13,
};
constexpr u32 render_message_type_count = 14;

struct RenderMessageHeader {
    u32 type;
    u32 size; // bytes of the whole message, header included
};

struct QuitMessage {
    RenderMessageHeader header;
    u32 ignored;
};

/// The sender waits on a fence after it, so `settings` and `result` outlive the handling.
struct InitializeDeviceMessage {
    RenderMessageHeader header;
    const DeviceSettings *settings;
    u8 *result; // 1 when the device started
};

/// The sender waits on a fence after it; `result` gets the swap-chain index.
struct CreateSwapChainMessage {
    RenderMessageHeader header;
    Window *window;
    u32 *result;
    u8 show;
};

struct ResizeSwapChainMessage {
    RenderMessageHeader header;
    Window *window;
    u32 width;
    u32 height;
};

struct AddWorldMessage {
    RenderMessageHeader header;
    RenderWorld *render_world;
};

/// The render world and the link pass to the render thread, which frees both.
struct RemoveWorldMessage {
    RenderMessageHeader header;
    RenderWorld *render_world;
    WorldRenderLink *link;
};

struct RenderWorldMessage {
    RenderMessageHeader header;
    RenderWorld *render_world;
    u32 camera;              // render handles in that world
    u32 viewport;
    u32 shading_environment;
    u32 swap_chain;
    f32 aspect_ratio;        // -1: from the output target
};

/// The filled buffer passes to the render thread, which returns it to the world's pool.
struct UpdateWorldMessage {
    RenderMessageHeader header;
    RenderWorld *render_world;
    RenderStateQueue *buffer;
    f32 time;       // accumulated world time, seconds
    f32 delta_time; // seconds
};

struct PresentMessage {
    RenderMessageHeader header;
    u32 swap_chain;
};

/// The array (made from the interface's allocator) passes to the render thread, which
/// signals each context and frees the array.
struct ExecuteResourceContextsMessage {
    RenderMessageHeader header;
    Array<RenderResourceContext *> *contexts;
};

struct FenceMessage {
    RenderMessageHeader header;
    Event *event;
};

/// Typed value of a render variable. Type 1 bool, 2 integer, 3 float, 4 string; any other
/// type changes nothing.
struct RenderVariableValue {
    u32 type = 0;
    bool bool_value = false;
    i32 integer_value = 0;
    f32 float_value = 0;
    const char *text = nullptr; // type 4; copied when the message is posted
};

/// The name, text and typed value are copies made from the interface's allocator; the
/// render thread frees them.
struct SetRenderVariableMessage {
    RenderMessageHeader header;
    DynamicString *name;
    DynamicString *text;             // null: the typed value applies
    RenderVariableValue *typed;      // null: the text applies; its text points into owned_text
    DynamicString *owned_text;       // the typed value's string, or null
    u32 settings;                    // 1 "RenderSettings", 0 "RenderCaps"
};

struct SetFullscreenMessage {
    RenderMessageHeader header;
    Window *window;
    u32 output_index;
    u8 fullscreen;
};

struct ResizeTargetMessage {
    RenderMessageHeader header;
    Window *window;
    u32 width;
    u32 height;
};

/// Bytes of the largest message; the render thread's receive buffer holds any message.
constexpr u32 max_render_message_bytes = 64;
static_assert(sizeof(RenderWorldMessage) <= max_render_message_bytes);
static_assert(sizeof(SetRenderVariableMessage) <= max_render_message_bytes);
static_assert(sizeof(UpdateWorldMessage) <= max_render_message_bytes);

} // namespace tallow
