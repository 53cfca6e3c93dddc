// The window-system services the dialog framework stands on. The Win32 backend passes them to
// the platform; the headless backend keeps windows in memory so dialog logic runs in tests.
#pragma once

#include <string>

#include "tools/common/platform.h"

// Receives the messages of a dialog the window system runs, with dialog-procedure results:
// non-zero when handled (or the value itself for WM_INITDIALOG and WM_QUERYDRAGICON), zero for
// the window system's default processing.
class DialogProcedure {
 public:
  virtual INT_PTR DialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) = 0;

 protected:
  ~DialogProcedure() = default;
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // Creates the dialog from its template resource and runs it modally until EndDialog.
  virtual INT_PTR RunDialog(UINT templateId, HWND owner, DialogProcedure *procedure) = 0;
  virtual BOOL EndDialog(HWND dialog, INT_PTR result) = 0;
  virtual HWND DlgItem(HWND dialog, int id) = 0;
  virtual HWND NextSibling(HWND window) = 0;
  virtual DWORD Style(HWND window) = 0;
  virtual LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
  virtual int ShowMessageBox(HWND owner, const char16_t *text, const char16_t *caption,
                             UINT type) = 0;
  // Empty when the string resource is missing or empty.
  virtual std::u16string StringResource(UINT id) = 0;
  virtual HICON IconResource(UINT id) = 0;
  virtual HMENU SystemMenu(HWND window, BOOL revert) = 0;
  virtual BOOL AppendMenuItem(HMENU menu, UINT flags, UINT_PTR id, const char16_t *text) = 0;
  virtual BOOL IsIconic(HWND window) = 0;
  virtual int SystemMetric(int index) = 0;
  virtual BOOL ClientRect(HWND window, RECT *rect) = 0;
  virtual HDC BeginPaint(HWND window, PAINTSTRUCT *paint) = 0;
  virtual BOOL EndPaint(HWND window, const PAINTSTRUCT *paint) = 0;
  virtual BOOL DrawIcon(HDC dc, int x, int y, HICON icon) = 0;
  virtual BOOL EnableWindow(HWND window, BOOL enable) = 0;
  // Screen positions: the window's frame, its owner, the work area of the monitor nearest to a
  // window (the primary one for none), and a move that keeps size and z order.
  virtual BOOL WindowRect(HWND window, RECT *rect) = 0;
  virtual HWND Owner(HWND window) = 0;
  virtual BOOL WorkArea(HWND nearWindow, RECT *rect) = 0;
  virtual BOOL MoveWindowTo(HWND window, int x, int y) = 0;
  virtual BOOL InitCommonControls(const INITCOMMONCONTROLSEX *controls) = 0;
};
