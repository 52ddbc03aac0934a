// The play commands. Delivery arrives with the command composer; until then they refuse.
#include "api/last_outcome.h"
#include "ostrel/ostrel.h"
#include "platform/debug_output.h"

using namespace ostrel;

extern "C" {

OSTREL_API int OSTREL_CALL Ostrel_StartPlay(int, const char*, int, const char*) {
  platform::WriteDebugLine("Ostrel_StartPlay");
  SetLastOutcome(OSTREL_E_INVALID_ARG);
  return -1;
}

OSTREL_API int OSTREL_CALL Ostrel_StopPlay(int, const char*, int) {
  SetLastOutcome(OSTREL_E_INVALID_ARG);
  return -1;
}

OSTREL_API int OSTREL_CALL Ostrel_Duplicate(int, const char*, int, const char*, int) {
  SetLastOutcome(OSTREL_E_INVALID_ARG);
  return -1;
}

}  // extern "C"
