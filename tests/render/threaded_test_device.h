#pragma once
// A render device for render-interface tests: it records each call it gets (from the
// render thread) and can hold the render thread inside present() until the test lets it
// go. It draws nothing and owns no device objects.
//
//   auto *device = make_new<test::ThreadedTestDevice>(allocator, allocator);
//   device->close();  render.present_frame(0);  device->wait_until_held();
//   ... the render thread is parked; post more ...
//   device->open();
//   EXPECT_EQ(device->calls()[0], "initialize");

#include "foundation/threads/event.h"
#include "render/device/render_device.h"
#include "render/device/render_output.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tallow::test {

class ThreadedTestDevice final : public RenderDevice, public IRenderOutput {
  public:
    explicit ThreadedTestDevice(Allocator &parent) : RenderDevice(parent) { live.fetch_add(1); }
    ~ThreadedTestDevice() override { live.fetch_sub(1); }

    bool initialize(const DeviceSettings &) override { return record("initialize"), start_result; } // See RenderDevice
    void present(u32 swap_chain) override                                                            // See RenderDevice
    {
        record("present " + std::to_string(swap_chain));
        if (!gate.wait_timeout(0)) {
            held.store(true);
            gate.wait();
            held.store(false);
        }
    }
    void dispatch(u32 count, RenderContext *const *) override { record("dispatch " + std::to_string(count)); }
    u32 create_swap_chain(Window &, u32 flags, bool show) override // See IRenderOutput
    {
        record("create_swap_chain " + std::to_string(flags) + (show ? " show" : ""));
        return next_swap_chain++;
    }
    void resize_swap_chain(Window &, u32 width, u32 height) override
    {
        record("resize_swap_chain " + std::to_string(width) + "x" + std::to_string(height));
    }
    void set_fullscreen(Window &, bool fullscreen, u32 output) override
    {
        record(std::string("set_fullscreen ") + (fullscreen ? "on " : "off ") + std::to_string(output));
    }
    void resize_target(Window &, u32 width, u32 height) override
    {
        record("resize_target " + std::to_string(width) + "x" + std::to_string(height));
    }
    void enumerate_display_modes(Array<DisplayOutput> &out_outputs) override
    {
        DisplayOutput output(out_outputs.allocator());
        output.name = DynamicString("test output", out_outputs.allocator());
        output.modes.push_back({1280, 720, 60, 1});
        out_outputs.push_back(std::move(output));
    }

    std::vector<std::string> calls()
    {
        std::lock_guard<std::mutex> guard(_lock);
        return _calls;
    }
    /// Holds the render thread in the next present until open() (manual reset).
    void close() { gate.reset(); }
    void open() { gate.set(); }
    void wait_until_held()
    {
        while (!held.load())
            std::this_thread::yield();
    }

    /// Devices alive in the process.
    static inline std::atomic<i32> live{0};
    bool start_result = true;
    u32 next_swap_chain = 0;
    Event gate{true, true};
    std::atomic<bool> held{false};

  protected:
    void execute_resource_updates(u32 count, RenderResourceContext *const *) override
    {
        record("update_resources " + std::to_string(count));
    }

  private:
    void record(std::string call)
    {
        std::lock_guard<std::mutex> guard(_lock);
        _calls.push_back(std::move(call));
    }
    std::mutex _lock;
    std::vector<std::string> _calls;
};

} // namespace tallow::test
