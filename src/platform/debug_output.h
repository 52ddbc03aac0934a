// The platform's debug output: OutputDebugStringA on Windows, syslog at LOG_DEBUG elsewhere,
// unless OSTREL_LOG chooses another place (platform/trace.h).
#pragma once

#include <functional>

namespace ostrel::platform {

// Writes one line of text to the debug output.
void WriteDebugLine(const char* text);

// Has the next line look again for a system log to receive the lines (with each reading of the
// trace settings): while none listens, lines to syslog are left out.
void LookForDebugReceiverAgain();

// Test hook: while a sink is set, lines go to it instead of the platform's output.
// Pass an empty function to restore the platform's output.
using DebugSink = std::function<void(const char*)>;
void SetDebugSinkForTesting(DebugSink sink);

}  // namespace ostrel::platform
