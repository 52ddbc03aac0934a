// Composing the three command documents and framing them for the wire.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::command {

// The document text of each command, built with the XML document class so that the line
// layout and the escaping follow from it.
std::string ComposeStartPlay(const char* vidout, int area, const char* url);
std::string ComposeStopPlay(const char* vidout, int area);
std::string ComposeDuplicate(const char* source_vidout, int source_area, const char* target_vidout,
                             int target_area);

// The wire unit: a 4-byte little-endian total length (document length + 4), then the document
// without its terminating NUL.
std::vector<unsigned char> FrameDocument(const std::string& document);

}  // namespace ostrel::command
