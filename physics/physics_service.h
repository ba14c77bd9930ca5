#pragma once
// The physics SDK as the Application sees it: made at start-up, handed to every World,
// destroyed at shutdown. Main thread only.

namespace tallow {

/// The physics SDK handed to every World. Its factory ends the program with `fatal_error`
/// when the SDK cannot be created.
class IPhysicsService {
  public:
    virtual ~IPhysicsService() = default;
};

} // namespace tallow
