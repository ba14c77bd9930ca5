// The render interface's message path and the render world's state application, each
// against the obvious outside alternative in the same run:
//   - a fence round trip (post, the render thread sets the event, the poster wakes) and the
//     throughput of 1000 small messages through the interface's ring, against a thread fed
//     by a mutex-guarded std::deque of 64-byte records with a condition variable;
//   - applying 10k scene-graph update records spread over 8 update streams on the thread
//     pool, against applying the same streams on one thread.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/event.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "render/device/render_device.h"
#include "render/interface/render_interface.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 burst_messages = 1000;

// Executes nothing; counts presents.
class NullDevice final : public RenderDevice, public IRenderOutput {
  public:
    explicit NullDevice(Allocator &a) : RenderDevice(a) {}
    bool initialize(const DeviceSettings &) override { return true; }
    void present(u32) override { presents.fetch_add(1, std::memory_order_relaxed); }
    void dispatch(u32, RenderContext *const *) override {}
    u32 create_swap_chain(Window &, u32, bool) override { return 0; }
    void resize_swap_chain(Window &, u32, u32) override {}
    void set_fullscreen(Window &, bool, u32) override {}
    void resize_target(Window &, u32, u32) override {}
    void enumerate_display_modes(Array<DisplayOutput> &) override {}
    std::atomic<u64> presents{0};

  protected:
    void execute_resource_updates(u32, RenderResourceContext *const *) override {}
};

struct Interface {
    Interface()
    {
        RenderInterfaceParams params;
        params.allocator = &default_allocator();
        params.thread_registry = &registry;
        device = make_new<NullDevice>(default_allocator(), default_allocator());
        params.device = device;
        params.output = device;
        render = make_new<RenderInterface>(default_allocator(), params);
    }
    ~Interface() { delete_with_allocator(default_allocator(), render); }
    ThreadRegistry registry{default_allocator(), "main"};
    NullDevice *device;
    RenderInterface *render;
};

// The outside alternative: a render thread fed through std::deque under one mutex.
class DequeRenderThread {
  public:
    using Record = std::array<u8, 64>;
    DequeRenderThread() : _thread([this] { loop(); }) {}
    ~DequeRenderThread()
    {
        post(RenderMessageType::Quit, nullptr);
        _thread.join();
    }
    void post(RenderMessageType type, Event *event)
    {
        Record record{};
        FenceMessage message = {{u32(type), sizeof(FenceMessage)}, event};
        memcpy(record.data(), &message, sizeof message);
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _records.push_back(record);
        }
        _ready.notify_one();
    }
    std::atomic<u64> presents{0};

  private:
    void loop()
    {
        for (;;) {
            Record record;
            {
                std::unique_lock<std::mutex> lock(_mutex);
                _ready.wait(lock, [this] { return !_records.empty(); });
                record = _records.front();
                _records.pop_front();
            }
            FenceMessage message;
            memcpy(&message, record.data(), sizeof message);
            switch (RenderMessageType(message.header.type)) {
            case RenderMessageType::Quit: return;
            case RenderMessageType::Fence: message.event->set(); break;
            case RenderMessageType::Present: presents.fetch_add(1, std::memory_order_relaxed); break;
            default: break;
            }
        }
    }
    std::mutex _mutex;
    std::condition_variable _ready;
    std::deque<Record> _records;
    std::thread _thread;
};

void round_trip_interface(benchmark::State &state)
{
    Interface i;
    for (auto _ : state)
        i.render->wait_fence(i.render->add_fence());
}

void round_trip_deque(benchmark::State &state)
{
    DequeRenderThread thread;
    Event fence(false, false);
    for (auto _ : state) {
        thread.post(RenderMessageType::Fence, &fence);
        fence.wait();
    }
}

void throughput_interface(benchmark::State &state)
{
    Interface i;
    for (auto _ : state) {
        for (u32 m = 0; m < burst_messages; ++m)
            i.render->present_frame(0);
        i.render->wait_fence(i.render->add_fence());
    }
    state.SetItemsProcessed(state.iterations() * burst_messages);
}

void throughput_deque(benchmark::State &state)
{
    DequeRenderThread thread;
    Event fence(false, false);
    for (auto _ : state) {
        for (u32 m = 0; m < burst_messages; ++m)
            thread.post(RenderMessageType::Present, nullptr);
        thread.post(RenderMessageType::Fence, &fence);
        fence.wait();
    }
    state.SetItemsProcessed(state.iterations() * burst_messages);
}

// 10k change records of 16 nodes each, over 8 update streams; each stream addresses its
// own scene graphs, as the World's reflection batches do.
struct StateScene {
    static constexpr u32 streams = 8, records = 10000, graphs_per_stream = 64, nodes = 32, changed = 16;

    explicit StateScene(ThreadPool *pool) : world(default_allocator(), pool), link(default_allocator(), world.acquire_state_buffer())
    {
        std::vector<Matrix4x4> start(nodes, matrix4x4_identity);
        std::vector<u32> handles;
        for (u32 g = 0; g < streams * graphs_per_stream; ++g) {
            u32 field = no_render_handle;
            handles.push_back(world.create_scene_graph(link, field, start.data(), nodes));
        }
        RenderStateQueue *creates = link.swap_state(world.acquire_state_buffer());
        world.update_state(*creates, nullptr);
        world.release_state_buffer(creates);

        for (u32 s = 1; s < streams; ++s)
            link.state()->add_update_stream();
        std::vector<u8> payload(sizeof(SceneGraphChangeHeader) + changed * sizeof(SceneGraphChangeEntry));
        for (u32 r = 0; r < records; ++r) {
            u32 s = r % streams;
            u32 handle = handles[s * graphs_per_stream + (r / streams) % graphs_per_stream];
            SceneGraphChangeHeader header = {u32(RenderObjectClass::SceneGraph), handle, changed, sizeof header};
            memcpy(payload.data(), &header, sizeof header);
            for (u32 e = 0; e < changed; ++e) {
                SceneGraphChangeEntry entry = {matrix4x4_identity, (r + e) % nodes};
                entry.world.m[3][0] = f32(r);
                memcpy(payload.data() + sizeof header + e * sizeof entry, &entry, sizeof entry);
            }
            link.state()->update_stream(s).write(0, payload.data(), u32(payload.size()));
        }
        filled = link.state();
    }

    RenderWorld world;
    WorldRenderLink link;
    RenderStateQueue *filled;
};

void update_state_streams(benchmark::State &state)
{
    ThreadRegistry registry(default_allocator(), "main");
    {
        ThreadPool pool(default_allocator(), 7, registry);
        pool.add_worker(current_thread_id());
        pool.set_wait_without_helping(false);
        StateScene scene(&pool);
        for (auto _ : state)
            scene.world.update_state(*scene.filled, nullptr);
        state.SetItemsProcessed(state.iterations() * StateScene::records);
    }
}

void update_state_one_thread(benchmark::State &state)
{
    StateScene scene(nullptr);
    for (auto _ : state)
        scene.world.update_state(*scene.filled, nullptr);
    state.SetItemsProcessed(state.iterations() * StateScene::records);
}

BENCHMARK(round_trip_interface)->Name("round_trip/RenderInterface")->UseRealTime();
BENCHMARK(round_trip_deque)->Name("round_trip/mutex_deque")->UseRealTime();
BENCHMARK(throughput_interface)->Name("throughput/RenderInterface")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(throughput_deque)->Name("throughput/mutex_deque")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(update_state_streams)->Name("update_state/8_streams_on_the_pool")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(update_state_one_thread)->Name("update_state/one_thread")->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    tallow::bench::BenchProgram program(argc, argv);
    const tallow::bench::RatioReporter &runs = program.run();
    const tallow::bench::TimeRatio messages[] = {
        {"fence round trip", "round_trip/RenderInterface", "round_trip/mutex_deque"},
        {"1000 messages and a fence", "throughput/RenderInterface", "throughput/mutex_deque"}};
    tallow::bench::print_time_ratios(runs, "RenderInterface time / mutex_deque time (below 1: the ring is faster)",
                                     messages);
    const tallow::bench::TimeRatio state_ratios[] = {
        {"10k records, 8 streams", "update_state/8_streams_on_the_pool", "update_state/one_thread"}};
    tallow::bench::print_time_ratios(runs, "pooled update_state time / one thread (below 1: the jobs pay off)",
                                     state_ratios);
    return 0;
}
