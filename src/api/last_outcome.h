// The outcome that Ostrel_LastErrorCode reports: per calling thread, 0 after a call that
// succeeded, else a Windows Sockets error code.
#pragma once

namespace ostrel {

void SetLastOutcome(int code);
int LastOutcome();

}  // namespace ostrel
