#pragma once
// The process-wide physics SDK: our physics layer (platform/physics/physics_layer.h) with its
// error sink, made once at start-up by the Application's physics step and released at
// shutdown. Worlds get their PhysicsWorld from it (through the World's physics service,
// physics/world_physics_service.h), and cooked meshes are made through it.
//
//   PhysicsSdk *sdk = create_physics_sdk(allocator, thread_pool);  // fatal when it fails
//   PhysicsWorld *world = sdk->create_world(world_params);
//   ...
//   sdk->destroy_world(world);
//   release_physics_sdk(allocator, sdk);                         // every world destroyed
//
// Main thread only. The SDK made last is the current one (current_physics_sdk) until it is
// released.

#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "physics/physics_service.h"
#include "platform/physics/physics_layer.h"

namespace tallow {

class Allocator;
class PhysicsWorld;
class ThreadPool;
class World;

/// What the SDK says through our layer's error sink: code 206 (a debug warning) goes to
/// the log as "PhysX: message file line"; errors are logged too (category "physics") so
/// none is lost; the dynamic-triangle-mesh notice is dropped whatever its code.
class PhysicsOutputStream final : public px::IErrorSink {
  public:
    void report_error(u32 code, const char *message, const char *file, int line) override; // See px::IErrorSink
    u32 errors() const { return _errors; }

  private:
    u32 _errors = 0;
};

class PhysicsSdk final : public IPhysicsService {
  public:
    /// Makes the layer SDK with `make` (given the holder's allocator and error sink);
    /// `has_sdk` tells whether it was made.
    using MakeLayer = px::ISdk *(*)(Allocator &allocator, px::IErrorSink *errors);
    PhysicsSdk(Allocator &allocator, ThreadPool *thread_pool, MakeLayer make);
    ~PhysicsSdk() override;

    bool has_sdk() const { return _sdk != nullptr; }
    px::ISdk &sdk() { return *_sdk; }
    ThreadPool *thread_pool() const { return _thread_pool; }
    PhysicsOutputStream &output() { return _output; }
    Allocator &allocator() { return _allocator; }

    /// A new PhysicsWorld with its scene, for `world` (may be null in tests); null when the
    /// scene cannot be made (logged).
    PhysicsWorld *create_world(World *world);
    void destroy_world(PhysicsWorld *world);

    /// Meshes from our cooked bytes; null when the bytes are broken (logged).
    px::Mesh *create_triangle_mesh(const u8 *bytes, u64 size) { return _sdk->create_triangle_mesh(bytes, size); }
    px::Mesh *create_convex_mesh(const u8 *bytes, u64 size) { return _sdk->create_convex_mesh(bytes, size); }
    void release_mesh(px::Mesh *mesh) { _sdk->release_mesh(mesh); }

  private:
    TraceAllocator _allocator; // "physics_sdk"
    ThreadPool *_thread_pool;
    PhysicsOutputStream _output;
    px::ISdk *_sdk;
};

/// Makes the SDK over Bullet. When the layer cannot be made this ends the program through
/// `fatal_error` with the text the player is shown.
PhysicsSdk *create_physics_sdk(Allocator &allocator, ThreadPool *thread_pool);
/// The same over a layer the caller makes (tests: the recording backend, or a maker that
/// fails to show the fatal error).
PhysicsSdk *create_physics_sdk_with(Allocator &allocator, ThreadPool *thread_pool, PhysicsSdk::MakeLayer make);
void release_physics_sdk(Allocator &allocator, PhysicsSdk *sdk);

/// The SDK worlds are made with, or null.
PhysicsSdk *current_physics_sdk();

constexpr const char *physics_sdk_failed_text =
    "NxCreatePhysicsSDK() failed! Make sure you have the correct PhysX version installed.";

} // namespace tallow
