#pragma once
// Named render resources (global targets and textures of a render configuration), sorted
// by NameId32 and looked up by binary search.
//
//   RenderResourceSet set(allocator);
//   set.add(NameId32("hdr0"), target, true, false);
//   set.create_all(*context);
//   RenderResource *r = set.find(NameId32("hdr0").value());
//   ...
//   set.destroy_all(*context); set.release();
//
// The set owns the records it made (created-here flag without the external flag) and
// destroys them in release(); records made elsewhere stay with their owner. Not
// thread-safe: the render interface owns it.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "render/resources/render_resource.h"

namespace tallow {

class RenderResourceContext;

class RenderResourceSet {
  public:
    struct Entry {
        u32 name;               // NameId32 value
        RenderResource *resource;
        u8 created_here;        // made for this set; create_all/destroy_all/release act on it
        u8 external;            // owned elsewhere (a loaded texture resource)
    };

    explicit RenderResourceSet(Allocator &parent);
    /// Releases (and destroys) what the set still owns.
    ~RenderResourceSet();

    /// The allocator records owned by the set are made with.
    Allocator &allocator() { return _allocator; }

    /// Adds an entry, keeping the entries sorted by name. A name already present is
    /// replaced (logged).
    void add(u32 name, RenderResource *resource, bool created_here = false, bool external = false);
    /// The resource under `name`, or null.
    RenderResource *find(u32 name) const;

    /// Creates (destroys), in entry order, every created-here, non-external resource.
    void create_all(RenderResourceContext &context);
    void destroy_all(RenderResourceContext &context);
    /// Removes every created-here entry, destroying the non-external records.
    void release();

    const Array<Entry> &entries() const { return _entries; }

  private:
    TraceAllocator _allocator;
    Array<Entry> _entries;
};

/// Destroys a render resource record made on `allocator` by its type: textures and
/// render targets through their virtual destructor, buffers and declarations by freeing
/// the record. Shaders are not owned by records and are left alone.
void destroy_render_resource(Allocator &allocator, RenderResource *resource);

} // namespace tallow
