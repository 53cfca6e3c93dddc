// The program entry of both tools: the application object is the tool's one global instance.
#include "tools/common/afx.h"
#include "tools/common/win32/win32_registry.h"
#include "tools/common/win32/win32_window_system.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  Win32WindowSystem windows(instance);
  Win32Registry registry;
  CWinApp *app = AfxGetApp();
  return app != nullptr ? app->Run(windows, registry) : 1;
}
