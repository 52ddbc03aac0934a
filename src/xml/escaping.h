// Turning a value into element content: escaped with entity references, or wrapped in CDATA
// sections. Both are pure and cannot fail on any input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel::xml {

// Replaces '<', '&' and '>' (and with kEscapeQuotes 0x100 also the apostrophe and the double
// quote) by entity references. With kKeepReferences 0x08, a reference already in the value
// ("&name;", "&#38;") is copied unchanged. Other flag bits are ignored.
std::string EscapeValue(const char* value, unsigned flags);

// "<![CDATA[" + value + "]]>", with every "]]>" in the value split across two sections.
std::string WrapCData(const char* value);

// The reverse of both, for reading element content back: CDATA sections are unwrapped and the
// five predefined entity references decoded; any other reference is left as it stands.
std::string UnescapeContent(std::string_view content);

namespace detail {
// EscapeValue, also reporting the size its output reservation reached.
std::string EscapeValue(const char* value, unsigned flags, std::size_t* final_reservation);
}  // namespace detail

}  // namespace ostrel::xml
