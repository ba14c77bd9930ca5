#include "resource/resource_types.h"

#include "resource/strings_resource.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"

#include <cstring>

namespace tallow {

namespace {

// ("particles" is read and checked by the render side: Application registers it; so is
// "font": render/gui/font.h.)
const char *const raw_types[] = {"spu_job", "data"};

void *load_package_resource(const ResourceLoadParams &params)
{
    u32 count = 0;
    if (!params.archive.read(count) || u64(count) * 16 > params.archive.bytes_left()) {
        log_message("resource", "package resource %016llx: its count %u is larger than its %llu bytes hold",
                    hex(params.name), count, (unsigned long long)params.size_bytes);
        return nullptr;
    }
    Array<ResourceId> *list = make_new<Array<ResourceId>>(params.allocator, params.allocator);
    if (!list)
        return nullptr;
    list->resize(count);
    if (list->size() != count) {
        delete_with_allocator(params.allocator, list);
        return nullptr;
    }
    for (ResourceId &id : *list) {
        u64 type = 0, name = 0;
        params.archive.read(type);
        params.archive.read(name);
        id = {NameId64::from_value(type), NameId64::from_value(name)};
    }
    if (params.archive.has_failed()) {
        delete_with_allocator(params.allocator, list);
        return nullptr;
    }
    return list;
}

void unload_package_resource(const ResourceUnloadParams &params)
{
    delete_with_allocator(params.allocator, static_cast<Array<ResourceId> *>(params.data));
}

void *load_mouse_cursor(const ResourceLoadParams &params)
{
    u32 header[5] = {};
    for (u32 &field : header)
        params.archive.read(field);
    const u32 width = header[0], height = header[1], byte_count = header[4];
    // In 64 bits: width x height x 4 overflows 32 bits for large lying sizes.
    const u64 expected = u64(width) * height * 4;
    if (params.archive.has_failed() || byte_count < expected || byte_count > params.archive.bytes_left()) {
        log_message("resource", "mouse_cursor %016llx: bad header (%ux%u, hot spot %u,%u, %u pixel bytes of %llu)",
                    hex(params.name), width, height, header[2], header[3], byte_count,
                    (unsigned long long)params.archive.bytes_left());
        return nullptr;
    }
    // The record and its pixels in one block, freed together.
    u8 *block = static_cast<u8 *>(params.allocator.allocate(sizeof(MouseCursor) + expected, alignof(MouseCursor)));
    if (!block)
        return nullptr;
    auto *cursor = new (block) MouseCursor;
    cursor->width = width;
    cursor->height = height;
    cursor->hot_spot_x = header[2];
    cursor->hot_spot_y = header[3];
    cursor->pixels = block + sizeof(MouseCursor);
    if (!params.archive.read(block + sizeof(MouseCursor), expected)) {
        params.allocator.deallocate(block);
        return nullptr;
    }
    return cursor;
}

void unload_mouse_cursor(const ResourceUnloadParams &params)
{
    auto *cursor = static_cast<MouseCursor *>(params.data);
    cursor->~MouseCursor();
    params.allocator.deallocate(cursor);
}

void bring_in_mouse_cursor(void *userdata, void *data)
{
    auto *factory = static_cast<const MouseCursorFactory *>(userdata);
    auto *cursor = static_cast<MouseCursor *>(data);
    if (factory && factory->create)
        cursor->cursor = factory->create(factory->context, *cursor);
}

void bring_out_mouse_cursor(void *userdata, void *data)
{
    auto *factory = static_cast<const MouseCursorFactory *>(userdata);
    auto *cursor = static_cast<MouseCursor *>(data);
    if (cursor->cursor && factory && factory->destroy)
        factory->destroy(factory->context, cursor->cursor);
    cursor->cursor = 0;
}

} // namespace

ResourceTypeCallbacks package_resource_callbacks()
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = &load_package_resource;
    callbacks.unload = &unload_package_resource;
    return callbacks;
}

ResourceTypeCallbacks mouse_cursor_callbacks(const MouseCursorFactory *cursor_factory)
{
    ResourceTypeCallbacks callbacks;
    callbacks.userdata = const_cast<MouseCursorFactory *>(cursor_factory);
    callbacks.load = &load_mouse_cursor;
    callbacks.unload = &unload_mouse_cursor;
    callbacks.bring_in = &bring_in_mouse_cursor;
    callbacks.bring_out = &bring_out_mouse_cursor;
    return callbacks;
}

void register_resource_types(ResourceManager &manager, const MouseCursorFactory *cursor_factory)
{
    for (const char *type : raw_types)
        manager.register_type(NameId64(type), ResourceTypeCallbacks{});
    manager.register_type(package_type, package_resource_callbacks());
    manager.register_type(mouse_cursor_type, mouse_cursor_callbacks(cursor_factory));
    manager.register_type(strings_type, strings_resource_callbacks());
}

} // namespace tallow
