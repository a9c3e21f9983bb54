// Conversions between the BSTRs of automation (UTF-16) and the UTF-8 text
// of the merger.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <optional>
#include <string>

namespace vellox::com {

// The BSTR's text (all SysStringLen characters) as UTF-8; a null BSTR is
// the empty text. Nothing when the text holds a lone surrogate, which has
// no UTF-8 form.
std::optional<std::string> BstrToUtf8(BSTR text);

// A new BSTR holding the UTF-8 text; null when memory runs out or the
// text is not valid UTF-8.
BSTR Utf8ToBstr(const std::string& text);

}  // namespace vellox::com
