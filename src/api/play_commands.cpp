// The play commands: check the arguments in order, compose the command document, frame it
// and deliver it to the controller registered under the handle.
#include <cstring>
#include <string>
#include <vector>

#include "api/last_outcome.h"
#include "api/trace.h"
#include "api/wall_table.h"
#include "command/command_document.h"
#include "command/wire_protocol.h"
#include "net/framed_request.h"
#include "ostrel/ostrel.h"
#include "platform/debug_output.h"
#include "platform/winsock.h"

namespace ostrel {
namespace {

// A missing text is refused like an over-long one: nothing sane can be sent for it.
bool TextFits(const char* text, std::size_t limit) {
  return text != nullptr && std::strlen(text) < limit;
}

// Composes, frames and sends the document: OSTREL_OK when delivered, else the reason. No
// exception leaves the library: running out of memory is an outcome like any other.
template <typename Compose>
int Deliver(const WallSlot& slot, Compose compose, std::size_t* frame_size) {
  try {
    const std::vector<unsigned char> frame = command::FrameDocument(compose());
    *frame_size = frame.size();
    if (net::SendFramedRequest(slot.address, slot.port, frame.data(),
                               static_cast<std::uint32_t>(frame.size()), nullptr, nullptr)) {
      return OSTREL_OK;
    }
    return WSAGetLastError();  // read at once: the next socket call would replace it
  } catch (...) {
    return OSTREL_E_NO_MEMORY;
  }
}

// Refuses a bad handle or argument (-1), else delivers to the registered controller (0 whether
// or not that succeeded); the outcome is kept for Ostrel_LastErrorCode and the trace line
// follows whatever happened.
template <typename Compose>
int Run(int handle, bool arguments_fit, CommandTrace& trace, Compose compose) {
  WallSlot slot{};
  std::size_t frame_size = 0;
  const bool refused = !IsValidWallHandle(handle) || !arguments_fit;
  bool registered = false;
  int outcome = OSTREL_E_INVALID_ARG;
  if (!refused) {
    TheWallTable().Read(handle, &slot);
    registered = slot.in_use != 0;
    outcome = registered ? Deliver(slot, compose, &frame_size) : OSTREL_E_NOT_REGISTERED;
  }
  SetLastOutcome(outcome);
  trace.Finish(registered ? &slot : nullptr, handle, frame_size, LastOutcome());
  return refused ? -1 : 0;
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
