// Talking to a controller through the public library interface, with readable outcomes.
#pragma once

#include <string>

namespace ostrel::cli {

// "127.0.0.1:5000" -> address and port; false with a reason when it is not that shape.
bool ParseEndpoint(const std::string& text, std::string* address, int* port, std::string* why);

// Words for the outcome of a command: "delivered", or the library's text for the code.
std::string OutcomeText(int code);

// Shows the bytes of a frame: its length field, then the document line by line with CR, LF,
// tabs and other control or high bytes made visible.
std::string VisibleFrame(const std::string& frame);

}  // namespace ostrel::cli
