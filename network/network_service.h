#pragma once
// The network manager as the Application sees it. Main thread only.

namespace tallow {

/// The network manager (network/network_manager.h), as the Application creates and
/// destroys it; scripts reach its operations through the network script tables.
class INetworkService {
  public:
    virtual ~INetworkService() = default;
};

} // namespace tallow
