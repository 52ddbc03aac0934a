// The outcome codes a host can be given: those listed in ostrel.h.
#pragma once

namespace ostrel::net {

// The listed code for a Windows Sockets error: a listed code unchanged, any other one mapped to
// the listed code that means the same to a host.
int ListedOutcome(int error);

}  // namespace ostrel::net
