// Counts of the stand-ins' live objects, for tests that look for leaks.
#pragma once

#include <cstddef>

namespace ostrel::wsa::posix {

std::size_t OpenEventCount();
std::size_t OpenSocketCount();

}  // namespace ostrel::wsa::posix
