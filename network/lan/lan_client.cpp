#include "network/lan/lan_client.h"

#include "foundation/math/random_seed.h"

namespace tallow::network {

LanClient::LanClient(Allocator &parent, const LanClientSettings &settings)
    : _transport(settings.port, parent, settings.clock), _browser(parent, settings.targets),
      _own_id(settings.own_id)
{
    // Peer ids cross into scripts as hexadecimal text, and 0 means "nobody".
    while (_own_id == 0)
        _own_id = random_seed64();
}

} // namespace tallow::network
