// On Windows the stand-ins are the real interfaces (ws2_32); nothing to implement here
// beyond what <winsock2.h> declares. This unit keeps the platform library non-empty.
#include "platform/winsock.h"

namespace ostrel::platform {

// Linked into every build so that ws2_32 is pulled in even by a test that links only this part.
int WindowsSocketsLinked() { return 1; }

}  // namespace ostrel::platform
