// The DLL entry point and the module-wide counts.
#include "module.hpp"

#include <atomic>

namespace vellox::com {
namespace {

HMODULE thisModule = nullptr;
std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

}  // namespace

HMODULE ThisModule() noexcept {
  return thisModule;
}

std::wstring ThisModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(thisModule, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    // A full buffer means the path may have been cut short: grow and retry.
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

void ObjectCreated() noexcept {
  ++liveObjects;
}
void ObjectDestroyed() noexcept {
  --liveObjects;
}
void LockModule() noexcept {
  ++serverLocks;
}
void UnlockModule() noexcept {
  --serverLocks;
}
bool ModuleInUse() noexcept {
  return liveObjects.load() != 0 || serverLocks.load() != 0;
}

}  // namespace vellox::com

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    vellox::com::thisModule = instance;
    // The component keeps no per-thread state.
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
