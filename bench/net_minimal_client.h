// The plainest way to deliver one frame: a blocking POSIX client (socket, connect, send,
// close), the yardstick for the library's event-driven delivery.
#pragma once

#include <cstddef>

namespace ostrel::bench {

// True when the connection was made and every byte handed to the system.
bool MinimalBlockingDelivery(int port, const unsigned char* frame, std::size_t size);

}  // namespace ostrel::bench
