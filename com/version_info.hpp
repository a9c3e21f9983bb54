// The component's version text, read from the DLL's own version resource.
#pragma once

#include <windows.h>

#include <string>

namespace vellox::com {

// Sets `text` to "major.minor.revision" of the fixed file version, where
// the revision is the version's fourth part (1.0.0.4 gives "1.0.4").
HRESULT ReadVersionText(std::wstring& text);

}  // namespace vellox::com
