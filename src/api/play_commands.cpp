// The play commands: check the arguments in order, compose the command document, frame it
// and deliver it to the controller registered under the handle.
#include <cstring>
#include <string>
#include <vector>

#include "api/last_outcome.h"
#include "api/wall_table.h"
#include "command/command_document.h"
#include "net/framed_request.h"
#include "ostrel/ostrel.h"
#include "platform/debug_output.h"

namespace ostrel {
namespace {

constexpr std::size_t kVidoutLimit = 64;  // video output texts: fewer than 64 bytes
constexpr std::size_t kUrlLimit = 256;    // URLs: fewer than 256 bytes

// A missing text is refused like an over-long one: nothing sane can be sent for it.
bool TextFits(const char* text, std::size_t limit) {
  return text != nullptr && std::strlen(text) < limit;
}

int Refuse() {
  SetLastOutcome(OSTREL_E_INVALID_ARG);
  return -1;
}

// Reads the handle's slot; false (and the outcome set) when nothing is registered there.
bool RegisteredSlot(int handle, WallSlot* slot) {
  TheWallTable().Read(handle, slot);
  if (slot->inUse == 0) {
    SetLastOutcome(OSTREL_E_NOT_REGISTERED);
    return false;
  }
  return true;
}

// Composes, frames and sends the document; the result of the call does not depend on the
// delivery, the outcome (0 or the reason it failed) is kept for Ostrel_LastErrorCode.
// No exception leaves the library: running out of memory is an outcome like any other.
template <typename Compose>
int Deliver(const WallSlot& slot, Compose compose) {
  try {
    const std::vector<unsigned char> frame = command::FrameDocument(compose());
    int outcome = 0;
    net::SendFramedRequest(slot.address, slot.port, frame.data(),
                           static_cast<std::uint32_t>(frame.size()), nullptr, nullptr, &outcome);
    SetLastOutcome(outcome);
  } catch (...) {
    SetLastOutcome(OSTREL_E_NO_MEMORY);
  }
  return 0;
}

}  // namespace
}  // namespace ostrel

using namespace ostrel;

extern "C" {

OSTREL_API int OSTREL_CALL Ostrel_StartPlay(int handle, const char* vidout, int area,
                                            const char* url) {
  platform::WriteDebugLine("Ostrel_StartPlay");
  if (!IsValidWallHandle(handle) || !TextFits(vidout, kVidoutLimit) || !TextFits(url, kUrlLimit)) {
    return Refuse();
  }
  WallSlot slot;
  if (!RegisteredSlot(handle, &slot)) return 0;
  return Deliver(slot, [&] { return command::ComposeStartPlay(vidout, area, url); });
}

OSTREL_API int OSTREL_CALL Ostrel_StopPlay(int handle, const char* vidout, int area) {
  if (!IsValidWallHandle(handle) || !TextFits(vidout, kVidoutLimit)) return Refuse();
  WallSlot slot;
  if (!RegisteredSlot(handle, &slot)) return 0;
  return Deliver(slot, [&] { return command::ComposeStopPlay(vidout, area); });
}

OSTREL_API int OSTREL_CALL Ostrel_Duplicate(int handle, const char* source_vidout, int source_area,
                                            const char* target_vidout, int target_area) {
  if (!IsValidWallHandle(handle) || !TextFits(source_vidout, kVidoutLimit) ||
      !TextFits(target_vidout, kVidoutLimit)) {
    return Refuse();
  }
  WallSlot slot;
  if (!RegisteredSlot(handle, &slot)) return 0;
  return Deliver(slot, [&] {
    return command::ComposeDuplicate(source_vidout, source_area, target_vidout, target_area);
  });
}

}  // extern "C"
