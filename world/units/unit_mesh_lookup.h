#pragma once
// Lets the render pipeline's steps (deferred shading's light proxies, the mesh renderer)
// find meshes of loaded "unit" resources by resource and mesh name.
//
//   register_unit_mesh_lookup(resource_manager);   // start-up, before the render configuration loads
//
// A step copies the mesh when its render configuration loads, so the unit resource only
// has to be loaded then (its package before the render configuration's). Main thread,
// while the render thread is idle (render configurations load then).

namespace tallow {

class ResourceManager;

/// Installs the lookup over `manager`, which must outlive every later load of a render
/// configuration. A mesh the resource lacks, or a resource not loaded, is not found.
void register_unit_mesh_lookup(ResourceManager &manager);
/// Removes the lookup and frees what it holds; at shutdown, once no render configuration
/// loads any more. Harmless when none is installed.
void unregister_unit_mesh_lookup();

} // namespace tallow
