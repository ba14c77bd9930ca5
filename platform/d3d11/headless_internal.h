#pragma once
// Internals shared by the headless backend's files: the object base with its registry entry,
// the process-wide state (configuration, fault injection, counters, diagnostics), the
// resource and view objects the contexts move bytes through, and the byte layout of formats.
//
// At the last Release an object frees its bytes and drops what it holds. Under tests its
// record stays until the process ends, so a release past zero or a pointer the engine kept
// too long is reported instead of touching freed memory. In a program run
// (HeadlessConfig::keep_released_objects off) the record goes once nothing names the object:
// the engine's references count as one hold, and each context binding it, command list
// naming it and view over it holds it too (Held), as a driver keeps what it still uses.

#include "platform/d3d11/d3d11_headless.h"
#include "platform/d3d11/d3d11_validation.h"

#include <atomic>
#include <cstdarg>
#include <mutex>

namespace tallow::d3d11 {

class HeadlessDevice;

class ObjectBase {
public:
    ObjectBase(ObjectKind kind, HeadlessDevice *device);
    virtual ~ObjectBase() = default;

    ULONG add_ref();
    ULONG release();
    /// Internal holds (see Held). The last one gone frees a record the registry lets go.
    void hold() { holds.fetch_add(1, std::memory_order_relaxed); }
    void drop();
    /// The interface address the engine sees (the registry key).
    virtual void *self() = 0;
    /// Frees what the object holds at its last release.
    virtual void on_final_release() {}
    /// QueryInterface: null for interfaces the object lacks (IID_IUnknown is always met).
    virtual void *find_interface(REFIID riid);

    u64 id = 0;
    ObjectKind kind;
    HeadlessDevice *device; // null for DXGI objects without a device
    std::atomic<i32> refs{1};
    std::atomic<bool> owned_by_swap_chain{false}; // back buffers: the swap chain frees the bytes
    std::atomic<i32> holds{1};                     // the engine's references count as one
    std::atomic<bool> engine_hold_dropped{false};
    bool freed_when_unheld = false;                // set at registration (never for back buffers)

    // Filled at creation, read by the registry queries (never changed afterwards).
    std::vector<u8> description;
    std::vector<u8> bytecode;
    std::vector<std::string> semantics;
};

/// Binds an interface to the object base: AddRef, Release and QueryInterface.
template <class Interface> class Object : public Interface, public ObjectBase {
public:
    Object(ObjectKind kind, HeadlessDevice *device) : ObjectBase(kind, device) {}
    void *self() override { return static_cast<Interface *>(this); }
    HRESULT QueryInterface(REFIID riid, void **out_object) override
    {
        if (!out_object) return E_INVALIDARG;
        *out_object = find_interface(riid);
        if (!*out_object) return E_NOINTERFACE;
        add_ref();
        return S_OK;
    }
    ULONG AddRef() override { return add_ref(); }
    ULONG Release() override { return release(); }
};

/// Device children answer GetDevice.
template <class Interface> class Child : public Object<Interface> {
public:
    Child(ObjectKind kind, HeadlessDevice *device) : Object<Interface>(kind, device) {}
    void GetDevice(ID3D11Device **out_device) override;
};

/// Holds an object for as long as it names it (an internal reference: the engine's count
/// and the leak reports do not see it).
class Held {
public:
    Held() = default;
    Held(ObjectBase *object) : _object(object) { if (_object) _object->hold(); }
    Held(const Held &other) : Held(other._object) {}
    Held(Held &&other) noexcept : _object(other._object) { other._object = nullptr; }
    Held &operator=(const Held &other) { return *this = other._object; }
    Held &operator=(Held &&other) noexcept
    {
        if (this != &other) {
            reset();
            _object = other._object;
            other._object = nullptr;
        }
        return *this;
    }
    Held &operator=(ObjectBase *object)
    {
        if (object == _object) return *this;
        if (object) object->hold();
        reset();
        _object = object;
        return *this;
    }
    ~Held() { reset(); }
    void reset()
    {
        ObjectBase *object = _object;
        _object = nullptr;
        if (object) object->drop();
    }
    ObjectBase *get() const { return _object; }
    operator ObjectBase *() const { return _object; }
    ObjectBase *operator->() const { return _object; }

private:
    ObjectBase *_object = nullptr;
};

/// Registers a new object (assigns its id) under its interface address.
void register_object(ObjectBase *object);
/// Bumped before every record is deleted: a cache of address-to-object finds (base_of) is
/// sound only while the epoch it was filled in is current.
extern std::atomic<u64> record_epoch;
/// The object behind an interface address of this backend; null for null or a foreign one.
ObjectBase *find_object(const void *address);
u64 object_id(const void *address);

/// Counts a creation of `kind`; false when fault injection says it must fail.
bool begin_create(ObjectKind kind);

HeadlessConfig current_config();
void set_last_device_creation(const DeviceCreationRecord &record);
/// Adds to (or, negative, takes from) the count headless_storage_bytes() reports.
void count_storage(i64 delta_bytes);


/// A buffer or a 2D texture, with one byte block per subresource (empty blocks on a device
/// that keeps no texels, and once the resource is released).
class ResourceData {
public:
    struct Subresource {
        u32 width = 0;  // texels (bytes for buffers)
        u32 height = 1;
        u32 row_pitch = 0;
        u32 rows = 1;   // block rows
        std::vector<u8> bytes;
    };
    bool is_buffer = false;
    D3D11_USAGE usage = D3D11_USAGE_DEFAULT;
    u32 bind_flags = 0;
    u32 cpu_access = 0;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
    u32 mip_levels = 1;
    u32 array_size = 1;
    u32 block_size = 1;
    u32 block_bytes = 1;
    u32 sample_count = 1;     // textures: samples per texel
    bool is_cube = false;     // textures made with D3D11_RESOURCE_MISC_TEXTURECUBE
    u32 structure_stride = 0; // structured buffers: bytes per element
    std::vector<Subresource> subresources;
    std::mutex bytes_mutex; // tests read bytes while a context may write them
};

class HeadlessBuffer final : public Child<ID3D11Buffer> {
public:
    HeadlessBuffer(HeadlessDevice *device, const D3D11_BUFFER_DESC &desc);
    void GetType(D3D11_RESOURCE_DIMENSION *out_dimension) override;
    void GetDesc(D3D11_BUFFER_DESC *out_desc) override;
    void *find_interface(REFIID riid) override;
    void on_final_release() override;
    D3D11_BUFFER_DESC desc;
    ResourceData data;
};

class HeadlessTexture2D final : public Child<ID3D11Texture2D> {
public:
    HeadlessTexture2D(HeadlessDevice *device, const D3D11_TEXTURE2D_DESC &desc);
    void GetType(D3D11_RESOURCE_DIMENSION *out_dimension) override;
    void GetDesc(D3D11_TEXTURE2D_DESC *out_desc) override;
    void *find_interface(REFIID riid) override;
    void on_final_release() override;
    D3D11_TEXTURE2D_DESC desc;
    ResourceData data;
};

/// The byte store behind a resource interface or object (null when not a resource of ours).
ResourceData *resource_data(ID3D11Resource *resource);
ResourceData *resource_data_of(ObjectBase *object);
ObjectBase *resource_object(ID3D11Resource *resource);

/// What a view covers: its resource, its first mip and its slices.
struct ViewRange {
    ObjectBase *resource = nullptr;
    ResourceData *data = nullptr;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
    u32 mip = 0;
    u32 first_slice = 0;
    u32 slice_count = 1;
};

/// The four view kinds share one implementation over their interface.
template <class Interface, class Desc> class HeadlessView final : public Child<Interface> {
public:
    HeadlessView(ObjectKind kind, HeadlessDevice *device, const Desc &desc, const ViewRange &range)
        : Child<Interface>(kind, device), desc(desc), range(range)
    {
    }
    void GetDesc(Desc *out_desc) override
    {
        if (out_desc) *out_desc = desc;
    }
    void GetResource(ID3D11Resource **out_resource) override;
    void on_final_release() override;
    Desc desc;
    ViewRange range;
    Held resource_record{range.resource}; // the range is read while the view is bound, even released
};
using HeadlessSrv = HeadlessView<ID3D11ShaderResourceView, D3D11_SHADER_RESOURCE_VIEW_DESC>;
using HeadlessRtv = HeadlessView<ID3D11RenderTargetView, D3D11_RENDER_TARGET_VIEW_DESC>;
using HeadlessDsv = HeadlessView<ID3D11DepthStencilView, D3D11_DEPTH_STENCIL_VIEW_DESC>;
using HeadlessUav = HeadlessView<ID3D11UnorderedAccessView, D3D11_UNORDERED_ACCESS_VIEW_DESC>;

/// The range of any of our views; null for null or another kind of object.
const ViewRange *view_range_of(ObjectBase *object);

/// Creates a 2D texture for a swap chain's back buffer (owned by the swap chain).
HeadlessTexture2D *create_back_buffer(HeadlessDevice *device, const D3D11_TEXTURE2D_DESC &desc);

/// Device side the contexts and swap chains need.
D3D_FEATURE_LEVEL device_feature_level(HeadlessDevice *device);
bool device_journal_enabled(HeadlessDevice *device);
/// False for a device made with keep_texels off (see HeadlessConfig).
bool device_keeps_texels(HeadlessDevice *device);
ID3D11Device *device_interface(HeadlessDevice *device);

/// Makes an immediate or deferred context for `device`.
ID3D11DeviceContext *create_context(HeadlessDevice *device, bool deferred);

/// Backend entry points.
HRESULT headless_create_factory(REFIID riid, void **out_factory);
HRESULT headless_create_device(IDXGIAdapter *adapter, D3D_DRIVER_TYPE driver_type, HMODULE software, UINT flags,
                               const D3D_FEATURE_LEVEL *levels, UINT level_count, UINT sdk_version,
                               ID3D11Device **out_device, D3D_FEATURE_LEVEL *out_level,
                               ID3D11DeviceContext **out_context);

/// Leak report for a device whose last reference went away.
void report_device_leaks(HeadlessDevice *device, u64 device_id);

template <class T> std::vector<u8> bytes_of(const T &value)
{
    const u8 *p = reinterpret_cast<const u8 *>(&value);
    return std::vector<u8>(p, p + sizeof(T));
}

} // namespace tallow::d3d11
