// Process-wide state of the in-process server: the DLL's own module handle
// and the counts of live objects and server locks that decide whether the
// DLL may be unloaded.
#pragma once

#include <windows.h>

#include <string>

namespace vellox::com {

HMODULE ThisModule() noexcept;

// The full path of this DLL; empty when it cannot be found.
std::wstring ThisModulePath();

void ObjectCreated() noexcept;
void ObjectDestroyed() noexcept;
void LockModule() noexcept;
void UnlockModule() noexcept;
bool ModuleInUse() noexcept;

}  // namespace vellox::com
