// A C++ host of KWVellox.dll, loaded straight from its file (no
// registration): the class factory and DllCanUnloadNow, late-bound calls
// through IDispatch with the argument forms hosts use, vtable calls, a
// Unicode path and the message pumping during a merge.
//
//   dispatch_host_test.exe <path of KWVellox.dll> <empty work folder>
#include "Vellox.h"
#include "win_test.hpp"

namespace {

using vellox::wintest::Bstr;
using vellox::wintest::Checks;
using vellox::wintest::Narrow;

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

constexpr DISPID kVersionId = 0x60030000;
constexpr DISPID kTiffMergeId = 0x60030001;

struct Server {
  HMODULE Module = nullptr;
  GetClassObjectFunction GetClassObject = nullptr;
  CanUnloadNowFunction CanUnloadNow = nullptr;
};

struct Inputs {
  std::wstring Folder;  // ends with "\"
  std::wstring First;   // little-endian, two pages
  std::wstring Second;  // big-endian, one page
  std::wstring List() const { return First + L"," + Second; }
};

template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Calls Tiff_Merge through IDispatch::Invoke with the three given arguments
// (in the caller's order) and returns the result code, or -100 when Invoke
// failed.
long InvokeMerge(IDispatch* object, VARIANTARG first, VARIANTARG second, VARIANTARG third, HRESULT* hrOut = nullptr) {
  VARIANTARG arguments[3] = {third, second, first};  // IDispatch takes them last to first
  DISPPARAMS params{arguments, nullptr, 3, 0};
  VARIANT result;
  ::VariantInit(&result);
  const HRESULT hr =
      object->Invoke(kTiffMergeId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
  if (hrOut != nullptr) *hrOut = hr;
  const long code = SUCCEEDED(hr) && result.vt == VT_I4 ? result.lVal : -100;
  ::VariantClear(&result);
  return code;
}

VARIANTARG ByRefBstr(BSTR* text) {
  VARIANTARG argument;
  ::VariantInit(&argument);
  argument.vt = VT_BYREF | VT_BSTR;
  argument.pbstrVal = text;
  return argument;
}

VARIANTARG ByRefVariant(VARIANT* variable) {
  VARIANTARG argument;
  ::VariantInit(&argument);
  argument.vt = VT_BYREF | VT_VARIANT;
  argument.pvarVal = variable;
  return argument;
}

VARIANTARG ByValue(BSTR text) {
  VARIANTARG argument;
  ::VariantInit(&argument);
  argument.vt = VT_BSTR;
  argument.bstrVal = text;
  return argument;
}

IDispatch* CreateObject(Checks& checks, const Server& server) {
  IClassFactory* factory = nullptr;
  if (FAILED(server.GetClassObject(CLSID_KWVellox, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
    checks.Expect(false, "the class factory");
    return nullptr;
  }
  IDispatch* object = nullptr;
  checks.ExpectHr(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)), S_OK,
                  "the factory creates an object");
  factory->Release();
  return object;
}

void CheckFactoryAndUnloading(Checks& checks, const Server& server) {
  IClassFactory* factory = nullptr;
  checks.ExpectHr(server.GetClassObject(IID__KWVellox, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
                  CLASS_E_CLASSNOTAVAILABLE, "another CLSID is refused");
  checks.ExpectHr(server.CanUnloadNow(), S_OK, "nothing alive at the start: can unload");

  if (!checks.ExpectHr(server.GetClassObject(CLSID_KWVellox, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
                       S_OK, "the class factory"))
    return;
  checks.ExpectHr(server.CanUnloadNow(), S_FALSE, "a held factory keeps the DLL");
  IUnknown* outer = factory;
  void* aggregated = nullptr;
  checks.ExpectHr(factory->CreateInstance(outer, IID_IUnknown, &aggregated), CLASS_E_NOAGGREGATION,
                  "aggregation is refused");
  _KWVellox* object = nullptr;
  checks.ExpectHr(factory->CreateInstance(nullptr, IID__KWVellox, reinterpret_cast<void**>(&object)), S_OK,
                  "an object through the factory");
  factory->Release();
  checks.ExpectHr(server.CanUnloadNow(), S_FALSE, "S_FALSE while an object lives");

  if (object != nullptr) {
    IUnknown* unknown = nullptr;
    void* other = nullptr;
    checks.ExpectHr(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK, "IUnknown");
    checks.ExpectHr(object->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE, "no other interface");
    if (unknown != nullptr) unknown->Release();
    object->Release();
  }
  checks.ExpectHr(server.CanUnloadNow(), S_OK, "S_OK after the last release");

  if (SUCCEEDED(server.GetClassObject(CLSID_KWVellox, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
    factory->LockServer(TRUE);
    factory->Release();
    checks.ExpectHr(server.CanUnloadNow(), S_FALSE, "a server lock keeps the DLL");
    server.GetClassObject(CLSID_KWVellox, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    factory->LockServer(FALSE);
    factory->Release();
    checks.ExpectHr(server.CanUnloadNow(), S_OK, "unlocked: can unload");
  }
}

void CheckNamesAndVersion(Checks& checks, IDispatch* object) {
  UINT count = 0;
  checks.Expect(SUCCEEDED(object->GetTypeInfoCount(&count)) && count == 1, "one type information");

  const wchar_t* names[] = {L"Tiff_Merge", L"FileNamess", L"OutputDir", L"NewFileName"};
  DISPID ids[4] = {};
  checks.ExpectHr(object->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 4, LOCALE_USER_DEFAULT, ids), S_OK,
                  "GetIDsOfNames for Tiff_Merge and its parameters");
  checks.Expect(ids[0] == kTiffMergeId && ids[1] == 0 && ids[2] == 1 && ids[3] == 2,
                "Tiff_Merge is 0x60030001, its parameters 0, 1, 2");
  const wchar_t* version[] = {L"version"};
  checks.Expect(
      SUCCEEDED(object->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(version), 1, 0, ids)) && ids[0] == kVersionId,
      "names are found without regard to case: Version is 0x60030000");
  const wchar_t* unknown[] = {L"Merge"};
  checks.ExpectHr(object->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(unknown), 1, 0, ids), DISP_E_UNKNOWNNAME,
                  "an unknown name");

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  ::VariantInit(&result);
  checks.ExpectHr(
      object->Invoke(kVersionId, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
      S_OK, "Invoke Version");
  checks.Expect(result.vt == VT_BSTR && result.bstrVal != nullptr && std::wstring(result.bstrVal) == L"1.0.4",
                "Version is 1.0.4 through IDispatch");
  ::VariantClear(&result);
  checks.ExpectHr(object->Invoke(0x60030002, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
                  DISP_E_MEMBERNOTFOUND, "an unknown DISPID");
  checks.ExpectHr(object->Invoke(kTiffMergeId, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
                  DISP_E_BADPARAMCOUNT, "Tiff_Merge without arguments");
}

Inputs WriteInputs(Checks& checks, const std::wstring& folder) {
  Inputs inputs{folder, folder + L"first.tif", folder + L"second.tif"};
  checks.Expect(vellox::wintest::WriteBytes(inputs.First, vellox::wintest::SampleTiff(true, 2, 24, 10, 1)) &&
                    vellox::wintest::WriteBytes(inputs.Second, vellox::wintest::SampleTiff(false, 1, 16, 12, 2)),
                "sample inputs written");
  return inputs;
}

// The merge through the vtable gives the reference output for the other
// forms of the call.
std::string CheckVtableMerge(Checks& checks, IDispatch* dispatch, const Inputs& inputs) {
  _KWVellox* object = nullptr;
  dispatch->QueryInterface(IID__KWVellox, reinterpret_cast<void**>(&object));
  if (!checks.Expect(object != nullptr, "the dual interface")) return {};
  Bstr list(inputs.List());
  Bstr folder(inputs.Folder);
  Bstr name(L"vtable.tif");
  LONG code = 0;
  checks.ExpectHr(object->Tiff_Merge(list.Address(), folder.Address(), name.Address(), &code), S_OK,
                  "vtable Tiff_Merge succeeds");
  checks.Expect(code == 1, "vtable merge result 1");
  checks.Expect(list.Text() == inputs.List() + L",", "vtable merge appends \",\" to FileNamess");
  checks.Expect(folder.Text() == inputs.Folder && name.Text() == L"vtable.tif", "the other arguments unchanged");

  Bstr version;
  checks.Expect(SUCCEEDED(object->Version(version.Address())) && version.Text() == L"1.0.4",
                "Version is 1.0.4 after a merge");
  object->Release();
  const std::string output = vellox::wintest::ReadBytes(inputs.Folder + L"vtable.tif");
  checks.Expect(output.size() > 8, "the vtable merge wrote its output");
  return output;
}

void CheckInvokeForms(Checks& checks, IDispatch* object, const Inputs& inputs, const std::string& reference) {
  // Three BSTRs by reference, as compiled hosts pass variables.
  {
    Bstr list(inputs.List());
    Bstr folder(inputs.Folder);
    Bstr name(L"byref.tif");
    HRESULT hr = S_OK;
    const long code =
        InvokeMerge(object, ByRefBstr(list.Address()), ByRefBstr(folder.Address()), ByRefBstr(name.Address()), &hr);
    checks.ExpectHr(hr, S_OK, "Invoke with VT_BYREF|VT_BSTR arguments");
    checks.Expect(code == 1, "by-reference merge result 1");
    checks.Expect(list.Text() == inputs.List() + L",", "the caller's FileNamess ends with \",\"");
    checks.Expect(vellox::wintest::ReadBytes(inputs.Folder + L"byref.tif") == reference,
                  "by-reference output equals the vtable output");
  }
  // References to VARIANT variables, as script hosts pass them.
  {
    VARIANT list;
    VARIANT folder;
    VARIANT name;
    list.vt = folder.vt = name.vt = VT_BSTR;
    list.bstrVal = ::SysAllocString(inputs.List().c_str());
    folder.bstrVal = ::SysAllocString(inputs.Folder.c_str());
    name.bstrVal = ::SysAllocString(L"byvariant.tif");
    HRESULT hr = S_OK;
    const long code = InvokeMerge(object, ByRefVariant(&list), ByRefVariant(&folder), ByRefVariant(&name), &hr);
    checks.ExpectHr(hr, S_OK, "Invoke with VT_BYREF|VT_VARIANT arguments");
    checks.Expect(code == 1, "script-style merge result 1");
    checks.Expect(list.vt == VT_BSTR && std::wstring(list.bstrVal) == inputs.List() + L",",
                  "the script variable ends with \",\"");
    checks.Expect(vellox::wintest::ReadBytes(inputs.Folder + L"byvariant.tif") == reference,
                  "script-style output equals the vtable output");
    ::VariantClear(&list);
    ::VariantClear(&folder);
    ::VariantClear(&name);
  }
  // Values (literals): the same result, the caller's text untouched.
  {
    Bstr list(inputs.List());
    Bstr folder(inputs.Folder);
    Bstr name(L"byvalue.tif");
    HRESULT hr = S_OK;
    const long code = InvokeMerge(object, ByValue(list.Get()), ByValue(folder.Get()), ByValue(name.Get()), &hr);
    checks.ExpectHr(hr, S_OK, "Invoke with VT_BSTR values");
    checks.Expect(code == 1, "by-value merge result 1");
    checks.Expect(list.Text() == inputs.List(), "a value argument is not changed");
    checks.Expect(vellox::wintest::ReadBytes(inputs.Folder + L"byvalue.tif") == reference,
                  "by-value output equals the vtable output");
  }
  // A variable holding a number is converted for the call and keeps its
  // type; a live object (no string form) is refused with its index.
  {
    Bstr list(inputs.List());
    Bstr folder(inputs.Folder);
    VARIANT number;
    number.vt = VT_I4;
    number.lVal = 42;
    const long code =
        InvokeMerge(object, ByRefBstr(list.Address()), ByRefBstr(folder.Address()), ByRefVariant(&number));
    checks.Expect(code == 1 && number.vt == VT_I4 && number.lVal == 42,
                  "a numeric name is converted, the variable kept");
    checks.Expect(vellox::wintest::ReadBytes(inputs.Folder + L"42") == reference, "the numeric name names the output");

    VARIANTARG arguments[3] = {ByRefBstr(folder.Address()), ByRefBstr(folder.Address()), ByRefBstr(list.Address())};
    arguments[1].vt = VT_DISPATCH;
    arguments[1].pdispVal = object;
    DISPPARAMS params{arguments, nullptr, 3, 0};
    VARIANT result;
    ::VariantInit(&result);
    UINT argumentError = 99;
    checks.ExpectHr(
        object->Invoke(kTiffMergeId, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, &argumentError),
        DISP_E_TYPEMISMATCH, "an object argument is a type mismatch");
    checks.Expect(argumentError == 1, "the mismatch names argument 1");
  }
  // A list that already ends with "," is left as the caller's own BSTR.
  {
    Bstr list(inputs.List() + L",");
    Bstr folder(inputs.Folder);
    Bstr name(L"comma.tif");
    const BSTR before = list.Get();
    const long code =
        InvokeMerge(object, ByRefBstr(list.Address()), ByRefBstr(folder.Address()), ByRefBstr(name.Address()));
    checks.Expect(code == 1 && list.Get() == before && list.Text() == inputs.List() + L",",
                  "an unchanged FileNamess is not rewritten");
  }
}

// Null, Empty, Nothing and a left-out argument read as the empty string:
// the call succeeds and returns what the merge makes of that.
void CheckEmptyArguments(Checks& checks, IDispatch* object, const Inputs& inputs) {
  VARIANTARG null, empty, nothing, missing;
  ::VariantInit(&null);
  ::VariantInit(&empty);
  ::VariantInit(&nothing);
  ::VariantInit(&missing);
  null.vt = VT_NULL;
  nothing.vt = VT_DISPATCH;
  nothing.pdispVal = nullptr;
  missing.vt = VT_ERROR;
  missing.scode = DISP_E_PARAMNOTFOUND;
  Bstr list(inputs.List());
  Bstr folder(inputs.Folder);
  Bstr name(L"empty-arguments.tif");
  struct Case {
    VARIANTARG First, Second, Third;
    const char* What;
  };
  const Case cases[] = {
      {null, ByRefBstr(folder.Address()), ByRefBstr(name.Address()), "a Null list: an empty entry, -1"},
      {nothing, ByRefBstr(folder.Address()), ByRefBstr(name.Address()), "Nothing as the list: -1"},
      {ByValue(list.Get()), ByRefBstr(folder.Address()), empty, "an Empty name: no file to write, -1"},
      {ByValue(list.Get()), ByRefBstr(folder.Address()), missing, "a left-out name: -1"},
  };
  for (const Case& test : cases) {
    HRESULT hr = E_FAIL;
    const long code = InvokeMerge(object, test.First, test.Second, test.Third, &hr);
    checks.Expect(hr == S_OK && code == -1, std::string(test.What) + " (got " + std::to_string(code) + ")");
  }
  // A script variable holding Null is passed by reference and stays Null.
  VARIANT variable;
  variable.vt = VT_NULL;
  HRESULT hr = E_FAIL;
  const long code = InvokeMerge(object, ByRefVariant(&variable), ByRefBstr(folder.Address()),
                                ByRefBstr(name.Address()), &hr);
  checks.Expect(hr == S_OK && code == -1 && variable.vt == VT_NULL, "a variable holding Null: -1, still Null");
  checks.Expect(!vellox::wintest::FileExists(inputs.Folder + L"empty-arguments.tif"), "none of them wrote a file");
}

void CheckResultCodes(Checks& checks, IDispatch* object, const Inputs& inputs) {
  struct Case {
    std::wstring List;
    std::wstring Folder;
    long Expected;
    const char* What;
  };
  const std::wstring notTiff = inputs.Folder + L"not-a-tiff.txt";
  vellox::wintest::WriteBytes(notTiff, "plain text, no TIFF header");
  const Case cases[] = {
      {inputs.Folder + L"absent.tif", inputs.Folder, 0, "only a missing file: 0"},
      {L"Z:\\no\\such\\folder\\a.tif", inputs.Folder, -1, "a file in a missing folder: -1"},
      {notTiff + L"," + inputs.First, inputs.Folder, -2, "first file not a TIFF: -2"},
      {inputs.List(), inputs.Folder + L"missing-output\\", -3, "missing output folder: -3"},
      // A lone surrogate has no UTF-8 form and names no file that can be opened.
      {std::wstring(L"Z:\\bad\xD800.tif,") + inputs.First, inputs.Folder, -1, "a lone surrogate: -1"},
      // A NUL inside a name would end it early and name another file.
      {inputs.First + std::wstring(1, L'\0') + L".txt," + inputs.Second, inputs.Folder, -1, "a NUL inside a path: -1"},
  };
  for (const Case& test : cases) {
    Bstr list(test.List);
    Bstr folder(test.Folder);
    Bstr name(L"codes.tif");
    HRESULT hr = E_FAIL;
    const long code =
        InvokeMerge(object, ByRefBstr(list.Address()), ByRefBstr(folder.Address()), ByRefBstr(name.Address()), &hr);
    checks.Expect(SUCCEEDED(hr) && code == test.Expected,
                  std::string(test.What) + " (got " + std::to_string(code) + ")");
  }
}

void CheckUnicodePaths(Checks& checks, IDispatch* dispatch, const Inputs& inputs, const std::string& reference) {
  const std::wstring folder = inputs.Folder + L"\u00DCn\u00EFc\u00F8d\u00E9 \u65E5\u672C\u8A9E\\";
  vellox::wintest::MakeDirectories(folder.substr(0, folder.size() - 1));
  const std::wstring first = folder + L"\u00E9t\u00E9 \u9875.tif";
  const std::wstring second = folder + L"\u0434\u0432\u0430 \U0001F4C4.tif";
  vellox::wintest::WriteBytes(first, vellox::wintest::ReadBytes(inputs.First));
  vellox::wintest::WriteBytes(second, vellox::wintest::ReadBytes(inputs.Second));

  _KWVellox* object = nullptr;
  dispatch->QueryInterface(IID__KWVellox, reinterpret_cast<void**>(&object));
  if (object == nullptr) return;
  Bstr list(first + L"," + second);
  Bstr outputFolder(folder);
  Bstr name(L"r\u00E9sultat \u51FA\u529B.tif");
  LONG code = 0;
  object->Tiff_Merge(list.Address(), outputFolder.Address(), name.Address(), &code);
  object->Release();
  checks.Expect(code == 1, "a merge of Unicode paths: result 1 (got " + std::to_string(code) + ")");
  checks.Expect(list.Text() == first + L"," + second + L",", "the Unicode list comes back intact with its \",\"");
  bool found = false;
  const std::string output = vellox::wintest::ReadBytes(folder + name.Text(), &found);
  checks.Expect(found, "the output has its Unicode name");
  checks.Expect(output == reference, "Unicode paths give the same bytes");
}

// Message pumping during a merge: a message posted before the call is
// dispatched by the merge itself, a quit request survives it, and a
// window procedure that calls back into the busy object gets -1.
struct PumpProbe {
  int Dispatched = 0;
  _KWVellox* Object = nullptr;
  LONG NestedResult = 99;
  const Inputs* Files = nullptr;
};
PumpProbe probe;

constexpr UINT kProbeMessage = WM_APP + 1;

LRESULT CALLBACK ProbeWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kProbeMessage) return ::DefWindowProcW(window, message, wParam, lParam);
  ++probe.Dispatched;
  if (probe.Object != nullptr && probe.Files != nullptr) {
    Bstr list(probe.Files->List());
    Bstr folder(probe.Files->Folder);
    Bstr name(L"nested.tif");
    probe.Object->Tiff_Merge(list.Address(), folder.Address(), name.Address(), &probe.NestedResult);
  }
  return 0;
}

void CheckMessagePumping(Checks& checks, IDispatch* dispatch, const Inputs& inputs, const std::string& reference) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = ProbeWindow;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"VelloxPumpProbe";
  ::RegisterClassW(&windowClass);
  const HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        windowClass.hInstance, nullptr);
  if (!checks.Expect(window != nullptr, "a message window")) return;

  _KWVellox* object = nullptr;
  dispatch->QueryInterface(IID__KWVellox, reinterpret_cast<void**>(&object));
  if (object == nullptr) return;
  probe = PumpProbe{0, object, 99, &inputs};
  ::PostMessageW(window, kProbeMessage, 0, 0);
  ::PostQuitMessage(7);

  Bstr list(inputs.List());
  Bstr folder(inputs.Folder);
  Bstr name(L"pumped.tif");
  LONG code = 0;
  object->Tiff_Merge(list.Address(), folder.Address(), name.Address(), &code);
  checks.Expect(code == 1, "a merge that pumps messages: result 1");
  checks.Expect(probe.Dispatched == 1, "the pending message was dispatched during the merge");
  checks.Expect(probe.NestedResult == -1, "a nested call on the busy object returns -1");
  checks.Expect(vellox::wintest::ReadBytes(inputs.Folder + L"pumped.tif") == reference,
                "the pumped merge's output equals the others");
  checks.Expect(!vellox::wintest::FileExists(inputs.Folder + L"nested.tif"), "the nested call wrote nothing");

  MSG message{};
  bool quitSeen = false;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) quitSeen = message.wParam == 7;
  }
  checks.Expect(quitSeen, "the quit request is still there for the host's own loop");
  probe = PumpProbe{};
  object->Release();
  ::DestroyWindow(window);
}

}  // namespace

int main(int argc, char** argv) {
  Checks checks("dispatch_host_test");
  if (argc != 3) {
    std::printf("usage: dispatch_host_test <KWVellox.dll> <work folder>\n");
    return 2;
  }
  std::wstring work = vellox::wintest::Widen(argv[2]);
  if (work.back() != L'\\') work.push_back(L'\\');
  vellox::wintest::MakeDirectories(work.substr(0, work.size() - 1));

  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Server server;
  server.Module = ::LoadLibraryW(vellox::wintest::Widen(argv[1]).c_str());
  if (!checks.Expect(server.Module != nullptr, "KWVellox.dll loads")) return checks.Finish();
  server.GetClassObject = Export<GetClassObjectFunction>(server.Module, "DllGetClassObject");
  server.CanUnloadNow = Export<CanUnloadNowFunction>(server.Module, "DllCanUnloadNow");
  if (!checks.Expect(server.GetClassObject != nullptr && server.CanUnloadNow != nullptr, "the exports resolve"))
    return checks.Finish();

  CheckFactoryAndUnloading(checks, server);
  IDispatch* object = CreateObject(checks, server);
  if (object != nullptr) {
    CheckNamesAndVersion(checks, object);
    const Inputs inputs = WriteInputs(checks, work);
    const std::string reference = CheckVtableMerge(checks, object, inputs);
    CheckInvokeForms(checks, object, inputs, reference);
    CheckResultCodes(checks, object, inputs);
    CheckEmptyArguments(checks, object, inputs);
    CheckUnicodePaths(checks, object, inputs, reference);
    CheckMessagePumping(checks, object, inputs, reference);
    object->Release();
  }
  checks.ExpectHr(server.CanUnloadNow(), S_OK, "every object released: can unload");
  ::CoUninitialize();
  return checks.Finish();
}
