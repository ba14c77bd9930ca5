// The headless backend's process-wide state: object registry, configuration, fault
// injection, create counters and diagnostics.
#include "platform/d3d11/headless_internal.h"

#include "foundation/log.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace tallow::d3d11 {
namespace {

constexpr u32 kind_count = static_cast<u32>(ObjectKind::count);
constexpr size_t max_diagnostics = 4096;
// Records let go are deleted in batches, so the address caches (base_of) are emptied once
// per batch rather than at every release.
constexpr size_t retire_batch = 256;

// What a program run gets: it never configures the backend, and a journal of every call
// would grow for as long as the program runs. Tests turn the journal on through
// headless_reset() or headless_configure(). For the same reason a program lets the records
// of released objects go.
HeadlessConfig program_config()
{
    HeadlessConfig config = default_headless_config();
    config.journal = false;
    config.keep_released_objects = false;
    return config;
}

std::atomic<bool> records_exiting{false};

struct Globals {
    std::mutex mutex;
    u64 next_id = 1;
    std::unordered_map<const void *, ObjectBase *> by_address;
    std::vector<ObjectBase *> objects; // in id order
    std::vector<ObjectBase *> retired; // let go, not yet deleted
    HeadlessConfig config = program_config();
    u32 fail_next[kind_count] = {};
    u32 create_counts[kind_count] = {};
    std::vector<Diagnostic> diagnostics;
    std::vector<std::string> last_device_leaks;
    DeviceCreationRecord last_creation;

    ~Globals()
    {
        // Objects live until the process ends (see headless_internal.h).
        // Every record goes, in no order that suits what holds what (a context holds objects
        // made after it), so the holds are no longer counted.
        records_exiting.store(true);
        for (ObjectBase *object : objects) delete object;
        for (ObjectBase *object : retired) delete object;
    }
};

Globals &globals()
{
    static Globals instance;
    return instance;
}

std::string describe(const ObjectBase &object)
{
    char line[96];
    std::snprintf(line, sizeof line, "%s #%llu refs %d", to_string(object.kind), (unsigned long long)object.id,
                  object.refs.load());
    return line;
}

} // namespace

ObjectBase::ObjectBase(ObjectKind kind, HeadlessDevice *device) : kind(kind), device(device) {}

std::atomic<u64> record_epoch{0};

namespace {

// Takes an object nothing names any more out of the registry; deletes a batch of them when
// enough have gathered.
void retire(ObjectBase *object)
{
    std::vector<ObjectBase *> batch;
    {
        Globals &g = globals();
        std::lock_guard lock(g.mutex);
        auto found = g.by_address.find(object->self());
        if (found != g.by_address.end() && found->second == object) g.by_address.erase(found);
        auto at = std::lower_bound(g.objects.begin(), g.objects.end(), object->id,
                                   [](const ObjectBase *o, u64 id) { return o->id < id; });
        if (at != g.objects.end() && *at == object) g.objects.erase(at);
        g.retired.push_back(object);
        if (g.retired.size() < retire_batch) return;
        batch.swap(g.retired);
        // Before any address of the batch can be handed out again.
        record_epoch.fetch_add(1, std::memory_order_release);
    }
    // Outside the lock: deleting a view drops its hold on its resource.
    for (ObjectBase *dead : batch) delete dead;
}

} // namespace

void ObjectBase::drop()
{
    if (records_exiting.load(std::memory_order_relaxed)) return; // this may be deleted already
    if (holds.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (freed_when_unheld) retire(this);
}

ULONG ObjectBase::add_ref() { return static_cast<ULONG>(refs.fetch_add(1) + 1); }

ULONG ObjectBase::release()
{
    i32 left = refs.fetch_sub(1) - 1;
    if (left < 0) {
        refs.fetch_add(1);
        report(Rule::over_release, "%s #%llu released past zero", to_string(kind), (unsigned long long)id);
        return 0;
    }
    if (left == 0 && !owned_by_swap_chain) {
        on_final_release();
        // The record stays (see headless_internal.h), but what only the registry queries of a
        // live object read goes: a program that makes and releases objects all the time
        // keeps a small record of each, not its description and bytecode.
        Globals &g = globals();
        std::lock_guard lock(g.mutex);
        std::vector<u8>().swap(description);
        std::vector<u8>().swap(bytecode);
        std::vector<std::string>().swap(semantics);
    }
    // Once: an object taken back from zero and released again (a misuse reported elsewhere
    // under tests) must not drop the engine's hold twice.
    if (left == 0 && !owned_by_swap_chain && !engine_hold_dropped.exchange(true)) drop();
    return static_cast<ULONG>(left);
}

void *ObjectBase::find_interface(REFIID riid) { return riid == IID_IUnknown ? self() : nullptr; }

void register_object(ObjectBase *object)
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    object->id = g.next_id++;
    // Kinds made a few times a process (and back buffers, which their swap chain reads)
    // keep their records.
    switch (object->kind) {
    case ObjectKind::factory:
    case ObjectKind::adapter:
    case ObjectKind::output:
    case ObjectKind::swap_chain:
    case ObjectKind::device:
    case ObjectKind::immediate_context:
    case ObjectKind::deferred_context:
    case ObjectKind::debug: break;
    default: object->freed_when_unheld = !g.config.keep_released_objects && !object->owned_by_swap_chain;
    }
    g.by_address[object->self()] = object;
    g.objects.push_back(object);
}

ObjectBase *find_object(const void *address)
{
    if (!address) return nullptr;
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    auto it = g.by_address.find(address);
    return it == g.by_address.end() ? nullptr : it->second;
}

u64 object_id(const void *address)
{
    ObjectBase *object = find_object(address);
    return object ? object->id : 0;
}

bool begin_create(ObjectKind kind)
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    u32 k = static_cast<u32>(kind);
    ++g.create_counts[k];
    if (g.fail_next[k] == 0) return true;
    --g.fail_next[k];
    return false;
}

void report(Rule rule, const char *format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    log_message("d3d11", "%s: %s", to_string(rule), message);
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    // A program that breaks a rule every frame would grow the list without end; the first
    // ones say what is wrong, and every one is logged.
    if (g.diagnostics.size() < max_diagnostics)
        g.diagnostics.push_back({rule, message});
}

namespace {
std::atomic<i64> storage_bytes{0};
} // namespace

void count_storage(i64 delta_bytes) { storage_bytes.fetch_add(delta_bytes, std::memory_order_relaxed); }

u64 headless_storage_bytes()
{
    const i64 bytes = storage_bytes.load(std::memory_order_relaxed);
    return bytes > 0 ? u64(bytes) : 0;
}

HeadlessConfig current_config()
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    return g.config;
}

void set_last_device_creation(const DeviceCreationRecord &record)
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    g.last_creation = record;
}

void report_device_leaks(HeadlessDevice *device, u64 device_id)
{
    std::vector<std::string> leaks;
    {
        Globals &g = globals();
        std::lock_guard lock(g.mutex);
        for (ObjectBase *object : g.objects) {
            if (object->device != device || object->id == device_id) continue;
            if (object->refs.load() > 0) leaks.push_back(describe(*object));
        }
        g.last_device_leaks = leaks;
    }
    for (const std::string &line : leaks) log_message("d3d11", "device #%llu released with %s alive",
                                                      (unsigned long long)device_id, line.c_str());
}

FormatLayout format_layout(DXGI_FORMAT format)
{
    switch (format) {
    case DXGI_FORMAT_R32G32B32A32_TYPELESS:
    case DXGI_FORMAT_R32G32B32A32_FLOAT:
    case DXGI_FORMAT_R32G32B32A32_UINT:
    case DXGI_FORMAT_R32G32B32A32_SINT: return {16, 1};
    case DXGI_FORMAT_R32G32B32_TYPELESS:
    case DXGI_FORMAT_R32G32B32_FLOAT:
    case DXGI_FORMAT_R32G32B32_UINT:
    case DXGI_FORMAT_R32G32B32_SINT: return {12, 1};
    case DXGI_FORMAT_R16G16B16A16_TYPELESS:
    case DXGI_FORMAT_R16G16B16A16_FLOAT:
    case DXGI_FORMAT_R16G16B16A16_UNORM:
    case DXGI_FORMAT_R16G16B16A16_UINT:
    case DXGI_FORMAT_R16G16B16A16_SNORM:
    case DXGI_FORMAT_R16G16B16A16_SINT:
    case DXGI_FORMAT_R32G32_TYPELESS:
    case DXGI_FORMAT_R32G32_FLOAT:
    case DXGI_FORMAT_R32G32_UINT:
    case DXGI_FORMAT_R32G32_SINT: return {8, 1};
    case DXGI_FORMAT_R8G8_TYPELESS:
    case DXGI_FORMAT_R8G8_UNORM:
    case DXGI_FORMAT_R8G8_UINT:
    case DXGI_FORMAT_R8G8_SNORM:
    case DXGI_FORMAT_R8G8_SINT:
    case DXGI_FORMAT_R16_TYPELESS:
    case DXGI_FORMAT_R16_FLOAT:
    case DXGI_FORMAT_D16_UNORM:
    case DXGI_FORMAT_R16_UNORM:
    case DXGI_FORMAT_R16_UINT:
    case DXGI_FORMAT_R16_SNORM:
    case DXGI_FORMAT_R16_SINT: return {2, 1};
    case DXGI_FORMAT_R8_TYPELESS:
    case DXGI_FORMAT_R8_UNORM:
    case DXGI_FORMAT_R8_UINT:
    case DXGI_FORMAT_R8_SNORM:
    case DXGI_FORMAT_R8_SINT:
    case DXGI_FORMAT_A8_UNORM: return {1, 1};
    case DXGI_FORMAT_BC1_TYPELESS:
    case DXGI_FORMAT_BC1_UNORM:
    case DXGI_FORMAT_BC1_UNORM_SRGB:
    case DXGI_FORMAT_BC4_TYPELESS:
    case DXGI_FORMAT_BC4_UNORM:
    case DXGI_FORMAT_BC4_SNORM: return {8, 4};
    case DXGI_FORMAT_BC2_TYPELESS:
    case DXGI_FORMAT_BC2_UNORM:
    case DXGI_FORMAT_BC2_UNORM_SRGB:
    case DXGI_FORMAT_BC3_TYPELESS:
    case DXGI_FORMAT_BC3_UNORM:
    case DXGI_FORMAT_BC3_UNORM_SRGB:
    case DXGI_FORMAT_BC5_TYPELESS:
    case DXGI_FORMAT_BC5_UNORM:
    case DXGI_FORMAT_BC5_SNORM: return {16, 4};
    case DXGI_FORMAT_UNKNOWN: return {0, 1};
    default: return {4, 1}; // every other listed format is 32 bits per texel
    }
}

// ---- Public test view -----------------------------------------------------------------

const char *to_string(ObjectKind kind)
{
    static const char *const names[] = {
        "factory", "adapter", "output", "swap_chain", "device", "immediate_context", "deferred_context",
        "command_list", "buffer", "texture2d", "shader_resource_view", "render_target_view",
        "depth_stencil_view", "unordered_access_view", "rasterizer_state", "depth_stencil_state", "blend_state",
        "sampler_state", "vertex_shader", "hull_shader", "domain_shader", "geometry_shader", "pixel_shader",
        "compute_shader", "input_layout", "debug"};
    static_assert(sizeof names / sizeof names[0] == kind_count);
    u32 k = static_cast<u32>(kind);
    return k < kind_count ? names[k] : "unknown";
}

const char *to_string(Rule rule)
{
    switch (rule) {
    case Rule::over_release: return "over_release";
    case Rule::input_bound_as_output: return "input_bound_as_output";
    case Rule::target_size_mismatch: return "target_size_mismatch";
    case Rule::no_overwrite_before_discard: return "no_overwrite_before_discard";
    case Rule::map_not_dynamic: return "map_not_dynamic";
    case Rule::update_dynamic: return "update_dynamic";
    case Rule::copy_out_of_range: return "copy_out_of_range";
    case Rule::view_without_bind_flag: return "view_without_bind_flag";
    case Rule::view_out_of_range: return "view_out_of_range";
    case Rule::view_dimension_mismatch: return "view_dimension_mismatch";
    case Rule::resize_with_references: return "resize_with_references";
    case Rule::concurrent_context_use: return "concurrent_context_use";
    case Rule::feature_level: return "feature_level";
    case Rule::invalid_call: return "invalid_call";
    }
    return "unknown";
}

HeadlessConfig default_headless_config()
{
    HeadlessConfig config;
    HeadlessAdapter adapter;
    adapter.name = "Headless Adapter";
    HeadlessOutput output;
    output.name = "\\\\.\\DISPLAY1";
    for (u32 i = 0; i < 2; ++i) {
        DXGI_MODE_DESC mode{};
        mode.Width = i == 0 ? 1280 : 1920;
        mode.Height = i == 0 ? 720 : 1080;
        mode.RefreshRate = {60, 1};
        mode.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        output.modes.push_back(mode);
    }
    adapter.outputs.push_back(output);
    config.adapters.push_back(adapter);
    return config;
}

void headless_configure(const HeadlessConfig &config)
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    g.config = config;
}

void headless_reset()
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    g.config = default_headless_config();
    for (u32 k = 0; k < kind_count; ++k) g.fail_next[k] = g.create_counts[k] = 0;
    g.diagnostics.clear();
    g.last_device_leaks.clear();
    g.last_creation = {};
}

void headless_fail_next(ObjectKind kind, u32 count)
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    if (static_cast<u32>(kind) < kind_count) g.fail_next[static_cast<u32>(kind)] = count;
}

u32 headless_create_count(ObjectKind kind)
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    return static_cast<u32>(kind) < kind_count ? g.create_counts[static_cast<u32>(kind)] : 0;
}

DeviceCreationRecord headless_last_device_creation()
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    return g.last_creation;
}

u64 headless_object_id(const void *object) { return object_id(object); }

u32 headless_ref_count(const void *object)
{
    ObjectBase *base = find_object(object);
    return base ? static_cast<u32>(base->refs.load()) : 0;
}

u32 headless_record_count()
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    return static_cast<u32>(g.objects.size() + g.retired.size());
}

u32 headless_live_count(ObjectKind kind)
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    u32 count = 0;
    for (ObjectBase *object : g.objects)
        if (object->kind == kind && object->refs.load() > 0) ++count;
    return count;
}

bool headless_object_info(const void *object, ObjectInfo &out_info)
{
    ObjectBase *base = find_object(object);
    if (!base || base->refs.load() <= 0) return false;
    const u64 device = base->device ? object_id(device_interface(base->device)) : 0;
    Globals &g = globals();
    std::lock_guard lock(g.mutex); // a release on another thread drops the description
    if (base->refs.load() <= 0) return false;
    out_info.id = base->id;
    out_info.kind = base->kind;
    out_info.refs = static_cast<u32>(base->refs.load());
    out_info.device = device;
    out_info.description = base->description;
    out_info.bytecode = base->bytecode;
    out_info.semantics = base->semantics;
    return true;
}

std::vector<std::string> headless_leaks()
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    std::vector<std::string> leaks;
    for (ObjectBase *object : g.objects)
        if (object->refs.load() > 0) leaks.push_back(describe(*object));
    return leaks;
}

std::vector<std::string> headless_last_device_leaks()
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    return g.last_device_leaks;
}

std::vector<Diagnostic> headless_diagnostics()
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    return g.diagnostics;
}

void headless_clear_diagnostics()
{
    Globals &g = globals();
    std::lock_guard lock(g.mutex);
    g.diagnostics.clear();
}

} // namespace tallow::d3d11
