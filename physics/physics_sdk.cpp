#include "physics/physics_sdk.h"

#include "foundation/fatal_error.h"
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "physics/physics_world.h"

#include <cstring>

namespace tallow {

namespace {

PhysicsSdk *g_current = nullptr;

} // namespace

void PhysicsOutputStream::report_error(u32 code, const char *message, const char *file, int line)
{
    if (message && strcmp(message, "createActor: Dynamic triangle mesh instantiated!") == 0)
        return;
    if (code == px::error_debug_warning) {
        log_message("PhysX", "PhysX: %s %s %i", message ? message : "", file ? file : "", line);
        return;
    }
    ++_errors;
    log_message("physics", "physics error %u: %s (%s:%i)", code, message ? message : "", file ? file : "", line);
}

PhysicsSdk::PhysicsSdk(Allocator &allocator, ThreadPool *thread_pool, MakeLayer make)
    : _allocator("physics_sdk", allocator), _thread_pool(thread_pool), _sdk(make(_allocator, &_output))
{
}

PhysicsSdk::~PhysicsSdk()
{
    px::release_sdk(_sdk);
    if (g_current == this)
        g_current = nullptr;
}

PhysicsWorld *PhysicsSdk::create_world(World *world)
{
    PhysicsWorld *w = make_new<PhysicsWorld>(_allocator, _allocator, *this, world);
    if (w && !w->create_scene()) {
        delete_with_allocator(_allocator, w);
        return nullptr;
    }
    return w;
}

void PhysicsSdk::destroy_world(PhysicsWorld *world)
{
    if (world)
        world->destroy_pending();
    delete_with_allocator(_allocator, world);
}

PhysicsSdk *create_physics_sdk_with(Allocator &allocator, ThreadPool *thread_pool, PhysicsSdk::MakeLayer make)
{
    PhysicsSdk *s = make_new<PhysicsSdk>(allocator, allocator, thread_pool, make);
    if (!s || !s->has_sdk()) {
        delete_with_allocator(allocator, s);
        fatal_error("%s", physics_sdk_failed_text);
    }
    g_current = s;
    return s;
}

PhysicsSdk *create_physics_sdk(Allocator &allocator, ThreadPool *thread_pool)
{
    return create_physics_sdk_with(allocator, thread_pool, px::create_bullet_sdk);
}

void release_physics_sdk(Allocator &allocator, PhysicsSdk *sdk) { delete_with_allocator(allocator, sdk); }

PhysicsSdk *current_physics_sdk() { return g_current; }

} // namespace tallow
