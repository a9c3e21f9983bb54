// The automation object KWVellox: the dual interface _KWVellox in front of
// one merger. IDispatch is served from the type library in this DLL.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <atomic>

#include "Vellox.h"
#include "vellox/KWVellox.hpp"

namespace vellox::com {

class KWVelloxObject final : public _KWVellox {
 public:
  // Creates an object and returns its interface `iid` in `result`.
  static HRESULT Create(REFIID iid, void** result) noexcept;

  KWVelloxObject(const KWVelloxObject&) = delete;
  KWVelloxObject& operator=(const KWVelloxObject&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argumentError) override;

  // _KWVellox
  HRESULT STDMETHODCALLTYPE Version(BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE Tiff_Merge(BSTR* FileNamess, BSTR* OutputDir, BSTR* NewFileName, LONG* Result) override;

 private:
  KWVelloxObject();
  ~KWVelloxObject();

  HRESULT LoadTypeInfo();
  std::int32_t Merge(BSTR* FileNamess, BSTR* OutputDir, BSTR* NewFileName);

  static constexpr ULONGLONG kPumpIntervalMs = 20;
  ULONGLONG pumpedAt_ = 0;  // when the yield hook last let messages through (0: not yet in this merge)
  std::atomic<ULONG> references_{1};
  vellox::KWVellox merger_;
  ITypeInfo* dispatchInfo_ = nullptr;  // _KWVellox as a dispatch interface
  ITypeInfo* functionInfo_ = nullptr;  // its table of functions, which Invoke calls
};

}  // namespace vellox::com
