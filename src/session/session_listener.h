#pragma once
// The one listener a session tells what happens: the device communication's events, the
// method runner's, and the session's own. A front end implements it: the GUI routes each
// event to the window that shows it, quorvel-run prints it. Every member has a default
// that ignores the event; each says which thread calls it.

#include "comm/comm_events.h"
#include "method/method_events.h"

namespace quorvel {

class SessionListener : public CommEvents, public MethodEvents {
  public:
    // The start-up has woken a pump: the front end starts its initialisation when it can.
    // The thread that runs the start-up.
    virtual void initialisation_requested() {}
    // First thing in the shutdown: from now on nothing may wait for the front end (a thread
    // waiting in initialisation_advanced returns). Any thread.
    virtual void shutting_down() {}
};

}  // namespace quorvel
