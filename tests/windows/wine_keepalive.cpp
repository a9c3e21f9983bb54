// Runs in the test prefix from the first test to the last (the prefix's
// cleanup ends it). Its hidden window keeps Wine's desktop process alive:
// left idle, that process exits, and the next test that needs a window
// starts it again, paying its start-up and leaving it attached to the
// test's output until it exits once more.
//
//   wine_keepalive.exe READY-FILE
// creates READY-FILE once its window exists, that is once the desktop
// process runs.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 2) return 3;
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = ::DefWindowProcW;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"VelloxTestSession";
  if (::RegisterClassW(&windowClass) == 0) return 1;
  const HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                        windowClass.hInstance, nullptr);
  if (window == nullptr) return 2;
  const HANDLE ready = ::CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 4;
  ::CloseHandle(ready);
  MSG message{};
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}
