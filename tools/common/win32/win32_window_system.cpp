#include "tools/common/win32/win32_window_system.h"

namespace {

// The procedure pointer arrives with WM_INITDIALOG and is kept in the dialog's user slot;
// messages sent before it (WM_SETFONT) get the default processing.
INT_PTR CALLBACK DispatchDialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lParam);
  auto *procedure = reinterpret_cast<DialogProcedure *>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (procedure == nullptr) return FALSE;
  return procedure->DialogMessage(dialog, message, wParam, lParam);
}

}  // namespace

INT_PTR Win32WindowSystem::RunDialog(UINT templateId, HWND owner, DialogProcedure *procedure) {
  return DialogBoxParamW(instance_, MAKEINTRESOURCEW(templateId), owner, DispatchDialogMessage,
                         reinterpret_cast<LPARAM>(procedure));
}

BOOL Win32WindowSystem::EndDialog(HWND dialog, INT_PTR result) {
  return ::EndDialog(dialog, result);
}

HWND Win32WindowSystem::DlgItem(HWND dialog, int id) { return ::GetDlgItem(dialog, id); }

HWND Win32WindowSystem::NextSibling(HWND window) { return ::GetWindow(window, GW_HWNDNEXT); }

DWORD Win32WindowSystem::Style(HWND window) {
  return static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_STYLE));
}

LRESULT Win32WindowSystem::Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageW(window, message, wParam, lParam);
}

int Win32WindowSystem::ShowMessageBox(HWND owner, const char16_t *text, const char16_t *caption,
                                      UINT type) {
  return ::MessageBoxW(owner, AsWide(text), AsWide(caption), type);
}

std::u16string Win32WindowSystem::StringResource(UINT id) {
  // A zero-length buffer yields a read-only pointer to the resource text itself.
  const wchar_t *text = nullptr;
  int length = ::LoadStringW(instance_, id, reinterpret_cast<wchar_t *>(&text), 0);
  if (length <= 0 || text == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t *>(text), static_cast<size_t>(length));
}

HICON Win32WindowSystem::IconResource(UINT id) {
  return ::LoadIconW(instance_, MAKEINTRESOURCEW(id));
}

HMENU Win32WindowSystem::SystemMenu(HWND window, BOOL revert) {
  return ::GetSystemMenu(window, revert);
}

BOOL Win32WindowSystem::AppendMenuItem(HMENU menu, UINT flags, UINT_PTR id, const char16_t *text) {
  return ::AppendMenuW(menu, flags, id, AsWide(text));
}

BOOL Win32WindowSystem::IsIconic(HWND window) { return ::IsIconic(window); }

int Win32WindowSystem::SystemMetric(int index) { return ::GetSystemMetrics(index); }

BOOL Win32WindowSystem::ClientRect(HWND window, RECT *rect) {
  return ::GetClientRect(window, rect);
}

HDC Win32WindowSystem::BeginPaint(HWND window, PAINTSTRUCT *paint) {
  return ::BeginPaint(window, paint);
}

BOOL Win32WindowSystem::EndPaint(HWND window, const PAINTSTRUCT *paint) {
  return ::EndPaint(window, paint);
}

BOOL Win32WindowSystem::DrawIcon(HDC dc, int x, int y, HICON icon) {
  return ::DrawIcon(dc, x, y, icon);
}

BOOL Win32WindowSystem::EnableWindow(HWND window, BOOL enable) {
  return ::EnableWindow(window, enable);
}

BOOL Win32WindowSystem::WindowRect(HWND window, RECT *rect) {
  return ::GetWindowRect(window, rect);
}

HWND Win32WindowSystem::Owner(HWND window) { return ::GetWindow(window, GW_OWNER); }

BOOL Win32WindowSystem::WorkArea(HWND nearWindow, RECT *rect) {
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  HMONITOR monitor = ::MonitorFromWindow(
      nearWindow, nearWindow != nullptr ? MONITOR_DEFAULTTONEAREST : MONITOR_DEFAULTTOPRIMARY);
  if (!::GetMonitorInfoW(monitor, &info)) return FALSE;
  *rect = info.rcWork;
  return TRUE;
}

BOOL Win32WindowSystem::MoveWindowTo(HWND window, int x, int y) {
  return ::SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL Win32WindowSystem::InitCommonControls(const INITCOMMONCONTROLSEX *controls) {
  return ::InitCommonControlsEx(controls);
}
