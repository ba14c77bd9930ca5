#pragma once
// A render device that executes nothing and records everything: it decodes every update
// stream and every sorted command list into plain values tests compare with tables, and
// checks the contracts a real device relies on as it goes (a create names a free handle,
// a release names a live one, every record decodes to its end).
//
//   RecordingRenderDevice device(allocator);
//   device.add_window_targets(0, &back_buffer);
//   RenderContext *c = device.alloc_render_context();
//   ... write commands ...
//   device.dispatch(1, &c);
//   EXPECT_EQ(device.frames().back().commands[0].type, RenderCommand::SetViewports);
//   EXPECT_TRUE(device.errors().empty());
//
// Equal sort keys are shuffled after every sort (RenderDevice::set_shuffle_equal_keys),
// so a test that relies on their order fails. Main thread only.

#include "render/device/render_device.h"

#include <map>
#include <string>
#include <vector>

namespace tallow::test {

/// One resource-update record, decoded.
struct DecodedUpdate {
    ResourceUpdate type;
    RenderResourceType resource_type = RenderResourceType::Texture;
    RenderResourceHandle handle = invalid_render_handle;
    BufferDescription buffer{};            // records 0 and 4
    const void *data = nullptr;            // records 0 and 4
    TextureDescription texture{};          // record 10
    std::vector<const void *> texture_data; // record 10
    RenderTarget *target = nullptr;        // record 8
    const RenderResource *shader = nullptr; // record 6
    u32 channel_count = 0;                 // record 2
};

/// One render command, decoded, with the sort entry it was executed under.
struct DecodedCommand {
    RenderCommand type;
    i64 key = 0;
    bool segment = false;
    u32 entry_index = 0;                 // position of its entry in the sorted list
    CommandSetRenderTarget set_target{}; // 5
    CommandSetDepthStencil depth{};      // 6
    std::vector<Viewport> viewports;     // 7
    std::vector<ScissorRect> scissors;   // 8
    u32 clear_flags = 0;                 // 9
    i32 resolve_count = 0;               // 12
    CommandCopyTarget copy{};            // 4
    UpdateCreateBuffer buffer{};         // 0, 1
    UpdateTexture texture{};             // 3
    DrawBatchRecord draw{};              // 10
    std::vector<GeometryBinding> bindings;
    std::vector<u8> constants;
    std::vector<u8> extra;
};

/// Decodes an update stream; appends a message to `errors` for a record that does not.
std::vector<DecodedUpdate> decode_updates(const CommandBuffer &stream, std::vector<std::string> &errors);
/// Decodes the records of one sort entry.
void decode_entry(const RenderSortEntry &entry, u32 entry_index, std::vector<DecodedCommand> &out,
                  std::vector<std::string> &errors);

class RecordingRenderDevice final : public RenderDevice {
  public:
    struct Frame {
        std::vector<RenderSortEntry> entries; // sorted
        std::vector<DecodedCommand> commands; // in execution order
    };

    explicit RecordingRenderDevice(Allocator &parent, u64 shuffle_seed = 0x9E3779B97F4A7C15ull);

    bool initialize(const DeviceSettings &settings) override; // See RenderDevice
    void present(u32 swap_chain) override;                     // See RenderDevice
    void dispatch(u32 count, RenderContext *const *contexts) override; // See RenderDevice

    /// Every update record executed so far, in order.
    const std::vector<DecodedUpdate> &updates() const { return _updates; }
    void clear_updates() { _updates.clear(); }
    const std::vector<Frame> &frames() const { return _frames; }
    void clear_frames() { _frames.clear(); }
    /// Contract violations seen so far (empty when all is well).
    const std::vector<std::string> &errors() const { return _errors; }
    /// Device objects alive now, by handle.
    const std::map<RenderResourceHandle, RenderResourceType> &objects() const { return _objects; }
    u32 present_count() const { return _presents; }
    /// false: keeps only the sorted entries of each dispatch, not the decoded commands
    /// (long runs such as the steady-state allocation check).
    void set_keep_frames(bool keep) { _keep_frames = keep; }
    /// Gives the device a stereo handle whose reads return `reading` (until cleared).
    void set_stereo(const StereoReading &reading)
    {
        _stereo = reading;
        _has_stereo = true;
    }
    void clear_stereo() { _has_stereo = false; }
    bool read_stereo(StereoReading *out) const override // See RenderDevice
    {
        if (_has_stereo)
            *out = _stereo;
        return _has_stereo;
    }

  protected:
    void execute_resource_updates(u32 count, RenderResourceContext *const *contexts) override; // See RenderDevice

  private:
    std::vector<DecodedUpdate> _updates;
    std::vector<Frame> _frames;
    std::vector<std::string> _errors;
    std::map<RenderResourceHandle, RenderResourceType> _objects;
    Array<RenderSortEntry> _sorted;
    u32 _presents = 0;
    bool _keep_frames = true;
    StereoReading _stereo;
    bool _has_stereo = false;
};

} // namespace tallow::test
