// The play commands: check the arguments in order, compose the command document, frame it
// and deliver it to the controller registered under the handle.
#include <cstring>
#include <string>
#include <vector>

#include "api/last_outcome.h"
#include "api/trace.h"
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
void Deliver(const WallSlot& slot, Compose compose, std::size_t* frame_size) {
  try {
    const std::vector<unsigned char> frame = command::FrameDocument(compose());
    *frame_size = frame.size();
    int outcome = 0;
    net::SendFramedRequest(slot.address, slot.port, frame.data(),
                           static_cast<std::uint32_t>(frame.size()), nullptr, nullptr, &outcome);
    SetLastOutcome(outcome);
  } catch (...) {
    SetLastOutcome(OSTREL_E_NO_MEMORY);
  }
}

// Refuses a bad handle or argument, else delivers to the registered controller; the trace
// line follows whatever happened.
template <typename Compose>
int Run(int handle, bool arguments_fit, CommandTrace& trace, Compose compose) {
  int result = 0;
  WallSlot slot{};
  bool registered = false;
  std::size_t frame_size = 0;
  if (!IsValidWallHandle(handle) || !arguments_fit) {
    result = Refuse();
  } else if ((registered = RegisteredSlot(handle, &slot))) {
    Deliver(slot, compose, &frame_size);
  }
  trace.Finish(registered ? &slot : nullptr, handle, frame_size, LastOutcome());
  return result;
}

}  // namespace
}  // namespace ostrel

using namespace ostrel;

extern "C" {

OSTREL_API int OSTREL_CALL Ostrel_StartPlay(int handle, const char* vidout, int area,
                                            const char* url) {
  platform::WriteDebugLine("Ostrel_StartPlay");
  CommandTrace trace("StartPlay");
  trace.Text("vidout", vidout).Number("area", area).Text("url", url);
  return Run(handle, TextFits(vidout, kVidoutLimit) && TextFits(url, kUrlLimit), trace,
             [&] { return command::ComposeStartPlay(vidout, area, url); });
}

OSTREL_API int OSTREL_CALL Ostrel_StopPlay(int handle, const char* vidout, int area) {
  CommandTrace trace("StopPlay");
  trace.Text("vidout", vidout).Number("area", area);
  return Run(handle, TextFits(vidout, kVidoutLimit), trace,
             [&] { return command::ComposeStopPlay(vidout, area); });
}

OSTREL_API int OSTREL_CALL Ostrel_Duplicate(int handle, const char* source_vidout, int source_area,
                                            const char* target_vidout, int target_area) {
  CommandTrace trace("Duplicate");
  trace.Text("source_vidout", source_vidout)
      .Number("source_area", source_area)
      .Text("target_vidout", target_vidout)
      .Number("target_area", target_area);
  return Run(handle, TextFits(source_vidout, kVidoutLimit) && TextFits(target_vidout, kVidoutLimit),
             trace, [&] {
               return command::ComposeDuplicate(source_vidout, source_area, target_vidout,
                                                target_area);
             });
}

}  // extern "C"
