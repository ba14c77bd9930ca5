#include "world/world.h"

#include "foundation/log.h"
#include "render/world/render_shading_environment.h"
#include "resource/resource_manager.h"

namespace tallow {

namespace {

constexpr NameId64 shading_environment_type("shading_environment");

/// The loaded resource of `type` and `name`, or null (without a manager too).
const void *loaded(ResourceManager *manager, NameId64 type, NameId64 name)
{
    return manager && !name.is_empty() && manager->can_get(type, name) ? manager->get(type, name) : nullptr;
}

const MaterialResource *environment_material_resource(ResourceManager *manager, const ShadingEnvironmentResource &r)
{
    return static_cast<const MaterialResource *>(loaded(manager, NameId64("material"), NameId64::from_value(r.material)));
}

} // namespace

ShadingEnvironment *World::create_shading_environment(NameId64 name)
{
    const auto *r = static_cast<const ShadingEnvironmentResource *>(loaded(_resource_manager, shading_environment_type, name));
    if (!r) {
        log_message("world", "shading environment %016llx: its \"shading_environment\" resource is not loaded",
                    (unsigned long long)name.value());
        return nullptr;
    }
    ShadingEnvironment *environment = _render->create_shading_environment(r, environment_material_resource(_resource_manager, *r));
    if (!environment) {
        log_message("world", "shading environment %016llx not made: the world has no render world",
                    (unsigned long long)name.value());
        return nullptr;
    }
    if (!add_script_object(ScriptObjectKind::ShadingEnvironment, environment, 0, name.value())) {
        log_message("world", "no memory to file shading environment %016llx", (unsigned long long)name.value());
        _render->destroy_shading_environment(*environment);
        return nullptr;
    }
    hold_environment(*environment, name, r);
    return environment;
}

void World::hold_environment(const ShadingEnvironment &environment, NameId64 name, const void *resource)
{
    if (!_resource_manager)
        return;
    HeldEnvironment *held = nullptr;
    for (HeldEnvironment &h : _held_environments)
        if (h.environment == &environment)
            held = &h;
    if (!held) {
        if (!_held_environments.push_back(HeldEnvironment{&environment, {}, {}})) {
            log_message("world", "no memory to hold the resources of a shading environment");
            return;
        }
        held = &_held_environments.back();
    }
    // The new holds first: the same data held again is never freed in between.
    const auto *r = static_cast<const ShadingEnvironmentResource *>(resource);
    ResourceHold fresh, material;
    fresh.hold_data(*_resource_manager, shading_environment_type, name, r);
    if (const MaterialResource *m = r ? environment_material_resource(_resource_manager, *r) : nullptr)
        material.hold_data(*_resource_manager, NameId64("material"), NameId64::from_value(r->material), m);
    release_after_render(held->resource);
    release_after_render(held->material);
    held->resource = fresh;
    held->material = material;
}

void World::release_environment(const ShadingEnvironment &environment)
{
    for (u32 i = 0; i < _held_environments.size(); ++i)
        if (_held_environments[i].environment == &environment) {
            release_after_render(_held_environments[i].resource);
            release_after_render(_held_environments[i].material);
            _held_environments[i] = _held_environments.back();
            _held_environments.pop_back();
            return;
        }
}

void World::set_shading_environment(ShadingEnvironment &environment, NameId64 name)
{
    if (name.is_empty())
        return;
    const auto *r = static_cast<const ShadingEnvironmentResource *>(loaded(_resource_manager, shading_environment_type, name));
    if (!r) {
        log_message("world", "shading environment %016llx is not loaded; the environment keeps its resource",
                    (unsigned long long)name.value());
        return;
    }
    _render->set_shading_environment(environment, r, environment_material_resource(_resource_manager, *r));
    hold_environment(environment, name, r);
    for (ScriptEntry &e : _script_objects)
        if (e.kind == ScriptObjectKind::ShadingEnvironment && e.object == &environment)
            e.resource = name.value();
}

void World::destroy_shading_environment(ShadingEnvironment &environment)
{
    remove_script_objects(&environment);
    _render->destroy_shading_environment(environment);
    release_environment(environment);
}

void World::reload_shading_environments(const void *old_resource, const void *new_resource)
{
    const auto *fresh = static_cast<const ShadingEnvironmentResource *>(new_resource);
    for (u32 i = 0; i < _render->shading_environment_count(); ++i) {
        ShadingEnvironment *e = _render->shading_environment(i);
        if (e && e->resource() == old_resource) {
            _render->set_shading_environment(*e, fresh, fresh ? environment_material_resource(_resource_manager, *fresh) : nullptr);
            for (const HeldEnvironment &h : _held_environments)
                if (h.environment == e && fresh) {
                    hold_environment(*e, h.resource.name, fresh);
                    break;
                }
        }
    }
}
} // namespace tallow
