// Texts from commands in JSON. A host sends bytes in its own code page (Latin-1, Shift-JIS,
// UTF-8, ...), so a text need not be UTF-8, and JSON strings must be. A text that is valid
// UTF-8 is written as it is. Any other text is written as its bytes read as Latin-1 (one
// character per byte, so it stays readable and never fails), and a sibling member named
// "<name>Hex" holds the exact bytes in hex; a reader that finds it takes it as the value.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ostrel::wallsim {

bool IsValidUtf8(std::string_view bytes);

// Each byte as the Unicode character of the same number, in UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);

// Sets object[name] (and object[name + "Hex"] when the bytes are not UTF-8) as described above.
void PutText(nlohmann::json& object, const std::string& name, std::string_view bytes);

// Writes the value as JSON text; never throws on odd strings (they are replaced, which
// PutText makes unreachable).
std::string DumpJson(const nlohmann::json& value, int indent = -1);

}  // namespace ostrel::wallsim
