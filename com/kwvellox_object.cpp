#include "kwvellox_object.hpp"

#include <new>
#include <string>
#include <vector>

#include "module.hpp"
#include "text.hpp"
#include "version_info.hpp"

namespace vellox::com {
namespace {

// Lets pending window messages of this thread be processed, so the host's
// windows stay responsive during a long merge. A quit request is posted
// again and ends the pumping, so that the host's own message loop sees it.
void PumpPendingMessages() {
  MSG message{};
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

// Every parameter of _KWVellox is a string passed by reference (BSTR*).
// Hosts pass arguments in other forms that the type library's Invoke does
// not turn into a BSTR* reliably: script hosts pass variables as references
// to VARIANTs, and literals come by value, which Invoke may hand to the
// method as a pointer into the caller's own argument (the method would then
// free and replace the caller's string). Each argument is therefore made a
// VT_BYREF|VT_BSTR here: a reference to a string (or to a VARIANT holding a
// string) reaches the caller's variable; anything else is converted into a
// temporary string owned by this call. Null, Empty, Nothing (a null object)
// and a missing argument read as the empty string.
class StringArguments {
 public:
  StringArguments() = default;
  StringArguments(const StringArguments&) = delete;
  StringArguments& operator=(const StringArguments&) = delete;
  ~StringArguments() {
    for (VARIANT& temporary : temporaries_) ::VariantClear(&temporary);
  }

  // DISP_E_TYPEMISMATCH (with the argument's index) when an argument has
  // no string form (an object, an array).
  HRESULT Prepare(const DISPPARAMS& params, UINT* argumentError) {
    arguments_.assign(params.rgvarg, params.rgvarg + params.cArgs);
    temporaries_.resize(params.cArgs);  // never resized again: pointers into it are handed out
    for (UINT i = 0; i < params.cArgs; ++i) {
      ::VariantInit(&temporaries_[i]);
      const HRESULT hr = Prepare(arguments_[i], temporaries_[i]);
      if (FAILED(hr)) {
        if (argumentError != nullptr) *argumentError = i;
        return hr;
      }
    }
    return S_OK;
  }

  VARIANTARG* Data() { return arguments_.data(); }

 private:
  static HRESULT Prepare(VARIANTARG& argument, VARIANT& temporary) {
    VARIANTARG* source = &argument;
    if (argument.vt == (VT_BYREF | VT_VARIANT) && argument.pvarVal != nullptr) {
      VARIANT* variable = argument.pvarVal;
      if (variable->vt == VT_BSTR) return Refer(argument, &variable->bstrVal);
      if (variable->vt == (VT_BYREF | VT_BSTR)) return Refer(argument, variable->pbstrVal);
      source = variable;
    }
    if (source->vt == (VT_BYREF | VT_BSTR)) return Refer(argument, source->pbstrVal);
    if (ReadsAsEmpty(*source)) {
      temporary.vt = VT_BSTR;
      temporary.bstrVal = ::SysAllocStringLen(L"", 0);
      if (temporary.bstrVal == nullptr) return E_OUTOFMEMORY;
      return Refer(argument, &temporary.bstrVal);
    }
    const HRESULT hr = ::VariantChangeType(&temporary, source, 0, VT_BSTR);
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    return Refer(argument, &temporary.bstrVal);
  }

  // Null and Empty, Nothing (a null object, also by reference) and an
  // argument left out (VT_ERROR with DISP_E_PARAMNOTFOUND).
  static bool ReadsAsEmpty(const VARIANTARG& value) {
    switch (value.vt) {
      case VT_EMPTY:
      case VT_NULL: return true;
      case VT_DISPATCH:
      case VT_UNKNOWN: return value.punkVal == nullptr;
      case VT_BYREF | VT_DISPATCH:
      case VT_BYREF | VT_UNKNOWN: return value.ppunkVal == nullptr || *value.ppunkVal == nullptr;
      case VT_BYREF | VT_NULL: return true;
      case VT_ERROR: return value.scode == DISP_E_PARAMNOTFOUND;
      default: return false;
    }
  }

  static HRESULT Refer(VARIANTARG& argument, BSTR* text) {
    ::VariantInit(&argument);  // the slot holds a copy the caller owns: nothing to clear
    argument.vt = VT_BYREF | VT_BSTR;
    argument.pbstrVal = text;
    return S_OK;
  }

  std::vector<VARIANTARG> arguments_;
  std::vector<VARIANT> temporaries_;
};

// Holds a reference to the object for the length of a call, so that a host
// releasing it from a window message during a merge does not destroy it
// under the merge's feet.
class CallReference {
 public:
  explicit CallReference(IUnknown* object) : object_(object) { object_->AddRef(); }
  ~CallReference() { object_->Release(); }
  CallReference(const CallReference&) = delete;
  CallReference& operator=(const CallReference&) = delete;

 private:
  IUnknown* object_;
};

}  // namespace

HRESULT KWVelloxObject::Create(REFIID iid, void** result) noexcept {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  KWVelloxObject* object = nullptr;
  try {
    object = new KWVelloxObject();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = object->QueryInterface(iid, result);
  object->Release();
  return hr;
}

KWVelloxObject::KWVelloxObject() {
  merger_.SetYieldHook([this] {
    // Looking for messages costs a round trip to the window system (under
    // Wine a request to its server, 0.1 to 2 ms), which at every yield
    // (several per page) made long lists of small files several times
    // slower. Pumping at the first yield and then at most every 20 ms keeps
    // a host window just as responsive.
    const ULONGLONG now = ::GetTickCount64();
    if (pumpedAt_ != 0 && now - pumpedAt_ < kPumpIntervalMs) return;
    pumpedAt_ = now;
    PumpPendingMessages();
  });
  ObjectCreated();
}

KWVelloxObject::~KWVelloxObject() {
  if (functionInfo_ != nullptr) functionInfo_->Release();
  if (dispatchInfo_ != nullptr) dispatchInfo_->Release();
  ObjectDestroyed();
}

// --- IUnknown ---------------------------------------------------------------

HRESULT KWVelloxObject::QueryInterface(REFIID iid, void** result) {
  if (result == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID__KWVellox)) {
    *result = static_cast<_KWVellox*>(this);
    AddRef();
    return S_OK;
  }
  *result = nullptr;
  return E_NOINTERFACE;
}

ULONG KWVelloxObject::AddRef() {
  return ++references_;
}

ULONG KWVelloxObject::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

// --- IDispatch ---------------------------------------------------------------

HRESULT KWVelloxObject::LoadTypeInfo() {
  if (functionInfo_ != nullptr) return S_OK;
  const std::wstring path = ThisModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(::GetLastError());
  ITypeLib* library = nullptr;
  HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  ITypeInfo* dispatchInfo = nullptr;
  hr = library->GetTypeInfoOfGuid(IID__KWVellox, &dispatchInfo);
  library->Release();
  if (FAILED(hr)) return hr;
  // For a dual interface, the implemented type -1 is its table of
  // functions, which Invoke must use to call through the table.
  ITypeInfo* functionInfo = nullptr;
  HREFTYPE reference = 0;
  if (FAILED(dispatchInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference)) ||
      FAILED(dispatchInfo->GetRefTypeInfo(reference, &functionInfo))) {
    functionInfo = dispatchInfo;
    functionInfo->AddRef();
  }
  dispatchInfo_ = dispatchInfo;
  functionInfo_ = functionInfo;
  return S_OK;
}

HRESULT KWVelloxObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT KWVelloxObject::GetTypeInfo(UINT index, LCID /*locale*/, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  const HRESULT hr = LoadTypeInfo();
  if (FAILED(hr)) return hr;
  dispatchInfo_->AddRef();
  *info = dispatchInfo_;
  return S_OK;
}

HRESULT KWVelloxObject::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID /*locale*/, DISPID* ids) {
  if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  const HRESULT hr = LoadTypeInfo();
  if (FAILED(hr)) return hr;
  return ::DispGetIDsOfNames(dispatchInfo_, names, count, ids);
}

HRESULT KWVelloxObject::Invoke(DISPID id, REFIID iid, LCID /*locale*/, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* exception, UINT* argumentError) {
  if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr)) return E_INVALIDARG;
  try {
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    CallReference hold(this);
    StringArguments arguments;
    const HRESULT prepared = arguments.Prepare(*params, argumentError);
    if (FAILED(prepared)) return prepared;
    DISPPARAMS forwarded = *params;
    forwarded.rgvarg = arguments.Data();
    return functionInfo_->Invoke(static_cast<_KWVellox*>(this), id, flags, &forwarded, result, exception,
                                 argumentError);
  } catch (...) {
    return E_OUTOFMEMORY;  // only the copies of the arguments can throw
  }
}

// --- _KWVellox ---------------------------------------------------------------

HRESULT KWVelloxObject::Version(BSTR* Result) {
  if (Result == nullptr) return E_POINTER;
  *Result = nullptr;
  try {
    std::wstring text;
    const HRESULT hr = ReadVersionText(text);
    if (FAILED(hr)) return hr;
    *Result = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *Result != nullptr ? S_OK : E_OUTOFMEMORY;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT KWVelloxObject::Tiff_Merge(BSTR* FileNamess, BSTR* OutputDir, BSTR* NewFileName, LONG* Result) {
  if (Result == nullptr) return E_POINTER;
  CallReference hold(this);
  std::int32_t code = vellox::kFailed;
  try {
    code = Merge(FileNamess, OutputDir, NewFileName);
  } catch (...) {
    code = vellox::kFailed;
  }
  *Result = code;
  return S_OK;
}

std::int32_t KWVelloxObject::Merge(BSTR* FileNamess, BSTR* OutputDir, BSTR* NewFileName) {
  std::optional<std::string> files = BstrToUtf8(FileNamess != nullptr ? *FileNamess : nullptr);
  const std::optional<std::string> directory = BstrToUtf8(OutputDir != nullptr ? *OutputDir : nullptr);
  const std::optional<std::string> name = BstrToUtf8(NewFileName != nullptr ? *NewFileName : nullptr);
  // A path that cannot be written as UTF-8 names no file the merger could
  // open; guessing another name for it would be worse than failing.
  if (!files || !directory || !name) return vellox::kFailed;

  const std::string listBefore = *files;
  pumpedAt_ = 0;  // the first yield of every merge pumps
  std::string outputDir = *directory;
  std::string newFileName = *name;
  const std::int32_t code = merger_.Tiff_Merge(*files, outputDir, newFileName);

  if (FileNamess != nullptr && *files != listBefore) {
    BSTR changed = Utf8ToBstr(*files);
    if (changed != nullptr) {
      ::SysFreeString(*FileNamess);
      *FileNamess = changed;
    }
  }
  return code;
}

}  // namespace vellox::com
