// The reference parse that tests and fuzz targets hold SetText against: the same document built
// with every node read by the scanner's byte-by-byte machine instead of the parse's own reading.
#pragma once

#include "xml/scanner.h"
#include "xml/xml_document.h"

namespace ostrel::xml::testing {

inline bool SetTextByteByByte(XmlDocument& document, const char* text) {
  return detail::SetTextScannedBy(document, text, &detail::ScanNodeGeneral);
}

}  // namespace ostrel::xml::testing
