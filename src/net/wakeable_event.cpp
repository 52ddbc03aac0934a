#include "net/wakeable_event.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace ostrel::net {
namespace {

struct WaitList {
  std::mutex mutex;
  std::vector<WSAEVENT> events;
};

WaitList& Waits() {
  // Never destroyed: a host thread may still wait while static objects go away.
  static WaitList* waits = new WaitList;
  return *waits;
}

}  // namespace

WakeableEvent::WakeableEvent() : event_(WSACreateEvent()) {
  if (event_ == WSA_INVALID_EVENT) {
    return;
  }
  WaitList& waits = Waits();
  std::lock_guard<std::mutex> lock(waits.mutex);
  try {
    waits.events.push_back(event_);
  } catch (...) {
    WSACloseEvent(event_);
    throw;
  }
}

// Taken off the list before it is closed, so that WakeAllWaits never sets a closed event.
WakeableEvent::~WakeableEvent() {
  if (event_ == WSA_INVALID_EVENT) {
    return;
  }
  {
    WaitList& waits = Waits();
    std::lock_guard<std::mutex> lock(waits.mutex);
    waits.events.erase(std::find(waits.events.begin(), waits.events.end(), event_));
  }
  WSACloseEvent(event_);
}

void WakeAllWaits() {
  WaitList& waits = Waits();
  std::lock_guard<std::mutex> lock(waits.mutex);
  for (WSAEVENT event : waits.events) {
    WSASetEvent(event);
  }
}

}  // namespace ostrel::net
