// What KWVellox.dll shows without being registered: its exports and their
// ordinals, its version resource and its type library.
//
//   dll_surface_test.exe <path of KWVellox.dll>
#include <cstring>
#include <map>

#include "Vellox.h"
#include "win_test.hpp"

namespace {

using vellox::wintest::Checks;

// The named exports of a loaded module, read from its export directory,
// with their ordinals; `functions` is the number of exported addresses.
std::map<std::string, DWORD> NamedExports(HMODULE module, DWORD& functions) {
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const auto* directory = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
  const auto* ordinals = reinterpret_cast<const WORD*>(base + directory->AddressOfNameOrdinals);
  functions = directory->NumberOfFunctions;
  std::map<std::string, DWORD> exports;
  for (DWORD i = 0; i < directory->NumberOfNames; ++i)
    exports[reinterpret_cast<const char*>(base + names[i])] = directory->Base + ordinals[i];
  return exports;
}

void CheckExports(Checks& checks, const std::wstring& dll) {
  const HMODULE module = ::LoadLibraryW(dll.c_str());
  if (!checks.Expect(module != nullptr, "the DLL loads")) return;
  DWORD functions = 0;
  const std::map<std::string, DWORD> exports = NamedExports(module, functions);
  checks.Expect(functions == 4 && exports.size() == 4, "exactly four exports");
  const std::pair<const char*, WORD> expected[] = {
      {"DllCanUnloadNow", 1}, {"DllGetClassObject", 2}, {"DllRegisterServer", 3}, {"DllUnregisterServer", 4}};
  for (const auto& [name, ordinal] : expected) {
    const auto found = exports.find(name);
    checks.Expect(found != exports.end() && found->second == ordinal,
                  std::string(name) + " is exported at ordinal " + std::to_string(ordinal));
    const FARPROC byName = ::GetProcAddress(module, name);
    const FARPROC byOrdinal = ::GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal)));
    checks.Expect(byName != nullptr && byName == byOrdinal, std::string(name) + " resolves by name and by ordinal");
  }
  ::FreeLibrary(module);
}

std::wstring StringValue(const std::vector<unsigned char>& block, const std::wstring& name, bool& present) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
  present = ::VerQueryValueW(block.data(), query.c_str(), &value, &length) != 0;
  if (!present || value == nullptr || length == 0) return {};
  return std::wstring(static_cast<const wchar_t*>(value));
}

void CheckVersionResource(Checks& checks, const std::wstring& dll) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(dll.c_str(), &ignored);
  if (!checks.Expect(size > 0, "the DLL has a version resource")) return;
  std::vector<unsigned char> block(size);
  if (!checks.Expect(::GetFileVersionInfoW(dll.c_str(), 0, size, block.data()) != 0, "the version resource reads"))
    return;

  void* value = nullptr;
  UINT length = 0;
  if (checks.Expect(::VerQueryValueW(block.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO),
                    "fixed file information")) {
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    checks.Expect(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00000004, "file version 1.0.0.4");
    checks.Expect(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00000004,
                  "product version 1.0.0.4");
    checks.Expect(fixed->dwFileType == VFT_DLL, "file type DLL");
  }
  if (checks.Expect(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) && length >= 4,
                    "translation table")) {
    const auto* translation = static_cast<const WORD*>(value);
    checks.Expect(translation[0] == 0x0409 && translation[1] == 0x04B0, "language 0x0409, code page 0x04B0");
  }

  const std::pair<const wchar_t*, const wchar_t*> strings[] = {{L"FileVersion", L"1.00.0004"},
                                                               {L"ProductVersion", L"1.00.0004"},
                                                               {L"InternalName", L"KWVellox"},
                                                               {L"OriginalFilename", L"KWVellox.dll"},
                                                               {L"OLESelfRegister", L""}};
  for (const auto& [name, text] : strings) {
    bool present = false;
    const std::wstring found = StringValue(block, name, present);
    checks.Expect(present && found == text, vellox::wintest::Narrow(name) + " is \"" + vellox::wintest::Narrow(text) +
                                                "\" (got \"" + vellox::wintest::Narrow(found) + "\")");
  }
  bool present = false;
  checks.Expect(!StringValue(block, L"ProductName", present).empty(), "a product name");
}

std::wstring Name(ITypeInfo* info, MEMBERID member = MEMBERID_NIL) {
  BSTR name = nullptr;
  if (FAILED(info->GetDocumentation(member, &name, nullptr, nullptr, nullptr))) return {};
  std::wstring text = name != nullptr ? name : L"";
  ::SysFreeString(name);
  return text;
}

struct ParameterShape {
  VARTYPE PointsTo;  // the parameters are all pointers; the type they point to
  USHORT Flags;
};

struct MethodShape {
  MEMBERID Id;
  const wchar_t* Name;
  std::vector<ParameterShape> Parameters;
  std::vector<const wchar_t*> ParameterNames;
};

const MethodShape kMethods[] = {
    {0x60030000, L"Version", {{VT_BSTR, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}, {}},
    {0x60030001,
     L"Tiff_Merge",
     {{VT_BSTR, PARAMFLAG_FIN | PARAMFLAG_FOUT},
      {VT_BSTR, PARAMFLAG_FIN | PARAMFLAG_FOUT},
      {VT_BSTR, PARAMFLAG_FIN | PARAMFLAG_FOUT},
      {VT_I4, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}},
     {L"FileNamess", L"OutputDir", L"NewFileName"}},
};

// The table-of-functions view: both methods after the seven of IDispatch,
// returning HRESULT, with the value in a last retval parameter.
void CheckFunctionTable(Checks& checks, ITypeInfo* info) {
  TYPEATTR* attributes = nullptr;
  if (FAILED(info->GetTypeAttr(&attributes))) return;
  checks.Expect(attributes->typekind == TKIND_INTERFACE, "the dual interface has a function table");
  const WORD required = TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;
  checks.Expect((attributes->wTypeFlags & required) == required,
                "function table flags: dual, hidden, nonextensible, oleautomation");
  checks.Expect(attributes->cFuncs == 2, "two methods of its own");
  checks.Expect(attributes->cImplTypes == 1, "one base interface");
  const WORD functionCount = attributes->cFuncs;
  info->ReleaseTypeAttr(attributes);

  HREFTYPE baseReference = 0;
  ITypeInfo* base = nullptr;
  if (SUCCEEDED(info->GetRefTypeOfImplType(0, &baseReference)) &&
      SUCCEEDED(info->GetRefTypeInfo(baseReference, &base))) {
    checks.Expect(Name(base) == L"IDispatch", "derives from IDispatch");
    ITypeLib* container = nullptr;
    UINT index = 0;
    if (SUCCEEDED(base->GetContainingTypeLib(&container, &index))) {
      TLIBATTR* library = nullptr;
      if (SUCCEEDED(container->GetLibAttr(&library))) {
        checks.Expect(
            IsEqualGUID(library->guid, IID_StdOle) && library->wMajorVerNum == 2 && library->wMinorVerNum == 0,
            "IDispatch comes from the imported stdole2 2.0");
        container->ReleaseTLibAttr(library);
      }
      container->Release();
    }
    base->Release();
  }

  for (UINT i = 0; i < functionCount && i < 2; ++i) {
    const MethodShape& want = kMethods[i];
    const std::string method = vellox::wintest::Narrow(want.Name);
    FUNCDESC* function = nullptr;
    if (!checks.Expect(SUCCEEDED(info->GetFuncDesc(i, &function)), method + " has a description")) continue;
    checks.Expect(function->memid == want.Id, method + " has its DISPID");
    checks.Expect(Name(info, function->memid) == want.Name, method + " is method number " + std::to_string(i));
    checks.Expect(function->oVft == static_cast<SHORT>((7 + i) * sizeof(void*)),
                  method + " follows the seven IDispatch methods");
    checks.Expect(
        function->funckind == FUNC_PUREVIRTUAL && function->invkind == INVOKE_FUNC && function->callconv == CC_STDCALL,
        method + " is a plain method");
    checks.Expect(function->elemdescFunc.tdesc.vt == VT_HRESULT, method + " returns HRESULT");
    checks.Expect(function->cParams == static_cast<SHORT>(want.Parameters.size()),
                  method + " has " + std::to_string(want.Parameters.size()) + " parameters");
    for (SHORT p = 0; p < function->cParams && static_cast<std::size_t>(p) < want.Parameters.size(); ++p) {
      const ELEMDESC& parameter = function->lprgelemdescParam[p];
      const std::string where = method + " parameter " + std::to_string(p);
      checks.Expect(parameter.tdesc.vt == VT_PTR && parameter.tdesc.lptdesc != nullptr &&
                        parameter.tdesc.lptdesc->vt == want.Parameters[static_cast<std::size_t>(p)].PointsTo,
                    where + " type");
      checks.Expect(parameter.paramdesc.wParamFlags == want.Parameters[static_cast<std::size_t>(p)].Flags,
                    where + " flags");
    }
    BSTR names[8] = {};
    UINT count = 0;
    if (SUCCEEDED(info->GetNames(function->memid, names, 8, &count))) {
      for (std::size_t n = 0; n < want.ParameterNames.size(); ++n)
        checks.Expect(
            count > n + 1 && names[n + 1] != nullptr && std::wcscmp(names[n + 1], want.ParameterNames[n]) == 0,
            method + " parameter name " + vellox::wintest::Narrow(want.ParameterNames[n]));
      for (UINT n = 0; n < count; ++n) ::SysFreeString(names[n]);
    }
    info->ReleaseFuncDesc(function);
  }
}

// The dispatch view: Tiff_Merge takes three strings by reference and
// gives a Long as its result.
void CheckDispatchView(Checks& checks, ITypeInfo* info) {
  TYPEATTR* attributes = nullptr;
  if (FAILED(info->GetTypeAttr(&attributes))) return;
  checks.Expect(attributes->typekind == TKIND_DISPATCH, "_KWVellox is a dispatch interface");
  checks.Expect(IsEqualGUID(attributes->guid, IID__KWVellox), "interface IID");
  checks.Expect(attributes->wMajorVerNum == 1 && attributes->wMinorVerNum == 0, "interface version 1.0");
  const WORD required = TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
  checks.Expect((attributes->wTypeFlags & required) == required, "dispatch flags: dual, hidden, nonextensible");
  const WORD functionCount = attributes->cFuncs;
  info->ReleaseTypeAttr(attributes);
  checks.Expect(Name(info) == L"_KWVellox", "interface name");

  bool found = false;
  for (UINT i = 0; i < functionCount; ++i) {
    FUNCDESC* function = nullptr;
    if (FAILED(info->GetFuncDesc(i, &function))) continue;
    if (function->memid == 0x60030001) {
      found = true;
      checks.Expect(function->cParams == 3, "dispatch Tiff_Merge takes three arguments");
      checks.Expect(function->elemdescFunc.tdesc.vt == VT_I4, "dispatch Tiff_Merge returns a Long");
    }
    info->ReleaseFuncDesc(function);
  }
  checks.Expect(found, "dispatch view lists Tiff_Merge");
}

void CheckCoclass(Checks& checks, ITypeLib* library) {
  ITypeInfo* info = nullptr;
  if (!checks.Expect(SUCCEEDED(library->GetTypeInfoOfGuid(CLSID_KWVellox, &info)), "the class is described")) return;
  checks.Expect(Name(info) == L"KWVellox", "class name");
  TYPEATTR* attributes = nullptr;
  if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
    checks.Expect(attributes->typekind == TKIND_COCLASS, "a coclass");
    checks.Expect((attributes->wTypeFlags & TYPEFLAG_FCANCREATE) != 0, "creatable");
    checks.Expect(attributes->wMajorVerNum == 1 && attributes->wMinorVerNum == 0, "class version 1.0");
    checks.Expect(attributes->cImplTypes == 1, "implements exactly one interface");
    info->ReleaseTypeAttr(attributes);
  }
  INT flags = 0;
  checks.Expect(SUCCEEDED(info->GetImplTypeFlags(0, &flags)) && flags == IMPLTYPEFLAG_FDEFAULT,
                "that interface is the default and no event source");
  HREFTYPE reference = 0;
  ITypeInfo* implemented = nullptr;
  if (SUCCEEDED(info->GetRefTypeOfImplType(0, &reference)) &&
      SUCCEEDED(info->GetRefTypeInfo(reference, &implemented))) {
    TYPEATTR* implementedAttributes = nullptr;
    if (SUCCEEDED(implemented->GetTypeAttr(&implementedAttributes))) {
      checks.Expect(IsEqualGUID(implementedAttributes->guid, IID__KWVellox), "the default interface is _KWVellox");
      implemented->ReleaseTypeAttr(implementedAttributes);
    }
    implemented->Release();
  }
  info->Release();
}

void CheckTypeLibrary(Checks& checks, const std::wstring& dll) {
  ITypeLib* library = nullptr;
  if (!checks.Expect(SUCCEEDED(::LoadTypeLibEx(dll.c_str(), REGKIND_NONE, &library)),
                     "the type library loads from the DLL"))
    return;
  TLIBATTR* attributes = nullptr;
  if (SUCCEEDED(library->GetLibAttr(&attributes))) {
    checks.Expect(IsEqualGUID(attributes->guid, LIBID_Vellox), "type library GUID");
    checks.Expect(attributes->wMajorVerNum == 1 && attributes->wMinorVerNum == 0, "type library version 1.0");
    checks.Expect(attributes->syskind == SYS_WIN64, "a 64-bit type library");
    library->ReleaseTLibAttr(attributes);
  }
  BSTR name = nullptr;
  if (SUCCEEDED(library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr))) {
    checks.Expect(name != nullptr && std::wcscmp(name, L"Vellox") == 0, "type library name Vellox");
    ::SysFreeString(name);
  }

  ITypeInfo* dispatch = nullptr;
  if (checks.Expect(SUCCEEDED(library->GetTypeInfoOfGuid(IID__KWVellox, &dispatch)), "the interface is described")) {
    CheckDispatchView(checks, dispatch);
    HREFTYPE reference = 0;
    ITypeInfo* table = nullptr;
    if (checks.Expect(SUCCEEDED(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference)) &&
                          SUCCEEDED(dispatch->GetRefTypeInfo(reference, &table)),
                      "the dual interface's function table is reachable")) {
      CheckFunctionTable(checks, table);
      table->Release();
    }
    dispatch->Release();
  }
  CheckCoclass(checks, library);
  library->Release();
}

}  // namespace

int main(int argc, char** argv) {
  Checks checks("dll_surface_test");
  if (argc != 2) {
    std::printf("usage: dll_surface_test <KWVellox.dll>\n");
    return 2;
  }
  const std::wstring dll = vellox::wintest::Widen(argv[1]);
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CheckExports(checks, dll);
  CheckVersionResource(checks, dll);
  CheckTypeLibrary(checks, dll);
  ::CoUninitialize();
  return checks.Finish();
}
