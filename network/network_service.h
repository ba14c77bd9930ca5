#pragma once
// The network manager as the Application sees it. Main thread only.

namespace tallow {

/// The network manager.
class INetworkService {
  public:
    virtual ~INetworkService() = default;
};

} // namespace tallow
