// The platform's window system: dialogs from the program's own template resources.
#pragma once

#include "tools/common/window_system.h"

class Win32WindowSystem : public WindowSystem {
 public:
  explicit Win32WindowSystem(HINSTANCE instance) : instance_(instance) {}

  INT_PTR RunDialog(UINT templateId, HWND owner, DialogProcedure *procedure) override;
  BOOL EndDialog(HWND dialog, INT_PTR result) override;
  HWND DlgItem(HWND dialog, int id) override;
  HWND NextSibling(HWND window) override;
  DWORD Style(HWND window) override;
  LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  int ShowMessageBox(HWND owner, const char16_t *text, const char16_t *caption, UINT type) override;
  std::u16string StringResource(UINT id) override;
  HICON IconResource(UINT id) override;
  HMENU SystemMenu(HWND window, BOOL revert) override;
  BOOL AppendMenuItem(HMENU menu, UINT flags, UINT_PTR id, const char16_t *text) override;
  BOOL IsIconic(HWND window) override;
  int SystemMetric(int index) override;
  BOOL ClientRect(HWND window, RECT *rect) override;
  HDC BeginPaint(HWND window, PAINTSTRUCT *paint) override;
  BOOL EndPaint(HWND window, const PAINTSTRUCT *paint) override;
  BOOL DrawIcon(HDC dc, int x, int y, HICON icon) override;
  BOOL EnableWindow(HWND window, BOOL enable) override;
  BOOL WindowRect(HWND window, RECT *rect) override;
  HWND Owner(HWND window) override;
  BOOL WorkArea(HWND nearWindow, RECT *rect) override;
  BOOL MoveWindowTo(HWND window, int x, int y) override;
  BOOL InitCommonControls(const INITCOMMONCONTROLSEX *controls) override;

 private:
  HINSTANCE instance_;
};
