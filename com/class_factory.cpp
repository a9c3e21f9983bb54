// The class factory of KWVellox and the two exports that hand it out and
// tell whether the DLL is still in use.
#include <windows.h>

#include <ole2.h>

#include "Vellox.h"
#include "kwvellox_object.hpp"
#include "module.hpp"

namespace vellox::com {
namespace {

// One factory serves the process. Every reference to it counts as a
// server lock, so the DLL stays loaded while a host holds the factory.
class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
    if (result == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *result = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *result = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    LockModule();
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    UnlockModule();
    return 1;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return KWVelloxObject::Create(iid, result);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }
};

ClassFactory factory;

}  // namespace
}  // namespace vellox::com

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_KWVellox)) return CLASS_E_CLASSNOTAVAILABLE;
  return vellox::com::factory.QueryInterface(iid, result);
}

STDAPI DllCanUnloadNow() {
  return vellox::com::ModuleInUse() ? S_FALSE : S_OK;
}
