#pragma once
// The save system as the Application sees it: made at start-up when a save directory is
// configured, updated once per frame, destroyed at shutdown. Main thread only.

namespace tallow {

/// The save system; exists only when a save directory is configured. Its destructor stops
/// and joins the "save_system" thread.
class ISaveService {
  public:
    virtual ~ISaveService() = default;
    virtual void update() = 0;
};

} // namespace tallow
