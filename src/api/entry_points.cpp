// The exported functions: start-up, version, last outcome and the wall table.
#include <cstring>

#include "api/last_outcome.h"
#include "api/trace.h"
#include "api/wall_table.h"
#include "net/outcome.h"
#include "net/wakeable_event.h"
#include "ostrel/ostrel.h"
#include "platform/debug_output.h"
#include "platform/winsock.h"

namespace ostrel {
namespace {

thread_local int last_outcome = 0;

// True when the text, with its NUL, fits a slot's address field.
bool FitsAddressField(const char* address) {
  return std::memchr(address, '\0', kWallAddressSize) != nullptr;
}

}  // namespace

// Only codes listed in ostrel.h ever reach a host.
void SetLastOutcome(int code) { last_outcome = net::ListedOutcome(code); }
int LastOutcome() { return last_outcome; }

}  // namespace ostrel

using namespace ostrel;

extern "C" {

OSTREL_API const char* OSTREL_CALL Ostrel_Version(void) { return "V2.0"; }

OSTREL_API int OSTREL_CALL Ostrel_LastErrorCode(void) { return LastOutcome(); }

OSTREL_API int OSTREL_CALL Ostrel_Initialize(void) {
  ConfigureTrace();
  TheWallTable().Clear();
  WSADATA data;
  // The outcome is deliberately not examined: a failed start-up shows as failed deliveries.
  (void)WSAStartup(MAKEWORD(2, 2), &data);
  platform::WriteDebugLine("Ostrel_Initialize");
  return 0;
}

OSTREL_API int OSTREL_CALL Ostrel_Finalize(void) {
  // The last clean-up closes every socket; commands waiting on one are then woken, find it
  // gone and end with OSTREL_E_FINALIZED.
  (void)WSACleanup();
  net::WakeAllWaits();
  platform::WriteDebugLine("Ostrel_Finalize");
  return 0;
}

OSTREL_API int OSTREL_CALL Ostrel_OpenTvWall(const char* address, int port, int* handle) {
  // Refused rather than cut: a cut address would send commands to some other controller.
  int outcome = OSTREL_E_INVALID_ARG;
  if (address != nullptr && handle != nullptr && FitsAddressField(address)) {
    const int slot = TheWallTable().Open(address, port);
    outcome = slot < 0 ? OSTREL_E_TABLE_FULL : OSTREL_OK;
    if (slot >= 0) *handle = slot;
  }
  SetLastOutcome(outcome);
  if (outcome != OSTREL_OK) return -1;
  platform::WriteDebugLine("Ostrel_OpenTvWall");
  return 0;
}

OSTREL_API int OSTREL_CALL Ostrel_CloseTvWall(int handle) {
  const int outcome = TheWallTable().Close(handle) ? OSTREL_OK : OSTREL_E_INVALID_ARG;
  SetLastOutcome(outcome);
  return outcome == OSTREL_OK ? 0 : -1;
}

}  // extern "C"
