// Events that an exchange waits on, which Ostrel_Finalize can set.
//
// The last clean-up of Windows Sockets closes every socket still open, and operations under
// way on them complete as cancelled, but a thread waiting for a closed socket's network events
// is not woken by that: it would sleep on until its own limit. Setting its event ends the wait
// at once; the thread then looks at its socket and learns that it is gone.
#pragma once

#include "platform/winsock.h"

namespace ostrel::net {

class WakeableEvent {
 public:
  // WSA_INVALID_EVENT (with the thread's error set) when the event could not be made.
  WakeableEvent();
  ~WakeableEvent();
  WakeableEvent(const WakeableEvent&) = delete;
  WakeableEvent& operator=(const WakeableEvent&) = delete;

  WSAEVENT get() const { return event_; }

 private:
  WSAEVENT event_;
};

// Sets every wakeable event there is. A wait woken while its socket is still open finds no
// network event and waits on, so this is harmless when the sockets were not closed.
void WakeAllWaits();

}  // namespace ostrel::net
