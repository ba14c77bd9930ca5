#pragma once
// How an object survives a callback that asks for its end. A service that calls out
// (into a script, into a handler) while one of its objects is on the stack brackets the
// call-out with a scope; a release asked for meanwhile is only marked, and carried out by
// whoever closes the outermost scope.
//
//   DeferredRelease _guard;                        // a member of the object or its owner
//   void Service::update()
//   {
//       _guard.enter();
//       ...                                        // callbacks run here
//       if (_guard.leave())
//           destroy_now();                         // asked for while on the stack
//   }
//   void Service::shutdown()
//   {
//       if (_guard.defer()) return;                // on the stack: done when the scope closes
//       destroy_now();
//   }
//
// Users: a World's flow run (units destroyed and levels replaced by flow, level, query and
// state-machine callbacks), the network manager (its game, connection, lobbies and a
// backend shut down by a network callback) and the script's raycasts (collected by their
// own callback). Not thread-safe: one thread owns the guarded object.

#include "foundation/types.h"

namespace tallow {

class DeferredRelease {
  public:
    /// Enters a call-out of the guarded object.
    void enter() { ++_depth; }
    /// Leaves it. True when this closed the outermost call-out and a release was asked
    /// for meanwhile: the caller carries it out now (the mark is cleared).
    [[nodiscard]] bool leave()
    {
        if (_depth == 0 || --_depth > 0 || !_asked)
            return false;
        _asked = false;
        return true;
    }
    /// True while a call-out of the object is on the stack.
    bool is_on_stack() const { return _depth > 0; }
    /// Asks for the release: true when it must wait (marked for the outermost leave),
    /// false when nothing is on the stack and the caller releases at once.
    bool defer()
    {
        if (_depth == 0)
            return false;
        _asked = true;
        return true;
    }
    /// True when a release waits for the outermost leave.
    bool is_release_asked() const { return _asked; }

  private:
    u32 _depth = 0;
    bool _asked = false;
};

} // namespace tallow
