// A small dialog application framework: an application object, windows with message maps,
// modal dialogs from template resources with dialog data exchange, menus and paint contexts.
// It runs on any WindowSystem: the platform's for the programs, the headless one in tests.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>

#include "tools/common/platform.h"
#include "tools/common/registry.h"
#include "tools/common/window_system.h"

class CWnd;

// One message map line: a window message, or a WM_COMMAND notification code from a range of
// control ids. invoke runs the handler.
struct MessageMapEntry {
  UINT message;
  UINT code;
  UINT firstId;
  UINT lastId;
  void (*invoke)(CWnd *window, WPARAM wParam, LPARAM lParam, LRESULT *result);
};

// A class's entries; the search goes on in the base class's map. A class with handlers
// defines its entries and map as static members and returns the map from GetMessageMap.
struct MessageMap {
  const MessageMap *base;
  const MessageMapEntry *entries;
  size_t count;
};

namespace afx {

template <class T, void (T::*Handler)()>
void InvokeVoid(CWnd *window, WPARAM, LPARAM, LRESULT *) {
  (static_cast<T *>(window)->*Handler)();
}

template <class T, void (T::*Handler)(UINT, LPARAM)>
void InvokeSysCommand(CWnd *window, WPARAM wParam, LPARAM lParam, LRESULT *) {
  (static_cast<T *>(window)->*Handler)(static_cast<UINT>(wParam), lParam);
}

template <class T, HCURSOR (T::*Handler)()>
void InvokeQueryDragIcon(CWnd *window, WPARAM, LPARAM, LRESULT *result) {
  *result = reinterpret_cast<LRESULT>((static_cast<T *>(window)->*Handler)());
}

template <class T, void (T::*Handler)()>
constexpr MessageMapEntry OnClicked(UINT id) {
  return {WM_COMMAND, BN_CLICKED, id, id, &InvokeVoid<T, Handler>};
}

template <class T, void (T::*Handler)()>
constexpr MessageMapEntry OnSelChange(UINT id) {
  return {WM_COMMAND, CBN_SELCHANGE, id, id, &InvokeVoid<T, Handler>};
}

template <class T, void (T::*Handler)(UINT, LPARAM)>
constexpr MessageMapEntry OnSysCommand() {
  return {WM_SYSCOMMAND, 0, 0, 0, &InvokeSysCommand<T, Handler>};
}

template <class T, void (T::*Handler)()>
constexpr MessageMapEntry OnPaint() {
  return {WM_PAINT, 0, 0, 0, &InvokeVoid<T, Handler>};
}

template <class T, HCURSOR (T::*Handler)()>
constexpr MessageMapEntry OnQueryDragIcon() {
  return {WM_QUERYDRAGICON, 0, 0, 0, &InvokeQueryDragIcon<T, Handler>};
}

}  // namespace afx

class CWinApp {
 public:
  explicit CWinApp(const char16_t *appName);
  virtual ~CWinApp();
  CWinApp(const CWinApp &) = delete;
  CWinApp &operator=(const CWinApp &) = delete;

  // Runs the application on the given platform services: InitInstance, then ExitInstance.
  // Only dialog-based applications are supported: InitInstance runs the whole program.
  int Run(WindowSystem &windows, Registry &registry);

  virtual BOOL InitInstance() { return TRUE; }
  virtual int ExitInstance() { return 0; }

  HICON LoadIcon(UINT id) const;
  // Names the registry key of the application's profile; the tools store nothing there.
  void SetRegistryKey(const char16_t *key) { m_pszRegistryKey = key; }

  WindowSystem &Windows() const { return *m_windows; }
  Registry &MachineRegistry() const { return *m_registry; }

  const char16_t *m_pszAppName;
  const char16_t *m_pszRegistryKey = nullptr;
  CWnd *m_pMainWnd = nullptr;

 private:
  WindowSystem *m_windows = nullptr;
  Registry *m_registry = nullptr;
};

CWinApp *AfxGetApp();

class CMenu {
 public:
  CMenu(WindowSystem &windows, HMENU menu) : m_windows(&windows), m_hMenu(menu) {}
  BOOL AppendMenu(UINT flags, UINT_PTR id = 0, const char16_t *text = nullptr) {
    return m_windows->AppendMenuItem(m_hMenu, flags, id, text);
  }
  HMENU GetSafeHmenu() const { return m_hMenu; }

 private:
  WindowSystem *m_windows;
  HMENU m_hMenu;
};

class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd() = default;
  CWnd(const CWnd &) = delete;
  CWnd &operator=(const CWnd &) = delete;

  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int id) const;
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  LRESULT SendDlgItemMessage(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  // A modal box owned by this window; the caption defaults to the application's name.
  int MessageBox(const char16_t *text, const char16_t *caption = nullptr, UINT type = MB_OK);
  // The system menu, or a menu with no handle when the window has none.
  CMenu GetSystemMenu(BOOL revert);
  HICON SetIcon(HICON icon, BOOL big);
  BOOL IsIconic() const;
  void GetClientRect(RECT *rect) const;
  BOOL EnableWindow(BOOL enable);
  // Centres the window on its owner, or on the work area when it has none or the owner is
  // hidden or minimised; kept inside the work area either way.
  void CenterWindow();

  // Dispatches a message through the message maps; false when no handler took it or the
  // handler asked for the default processing.
  bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result);

  HWND m_hWnd = nullptr;

 protected:
  virtual const MessageMap *GetMessageMap() const { return nullptr; }
  // Inside a handler: leave the message to the window system's default processing.
  void Default() { m_defaultRequested = true; }
  WindowSystem &Windows() const { return AfxGetApp()->Windows(); }

 private:
  bool m_defaultRequested = false;
};

class CDataExchange {
 public:
  CDataExchange(CWnd *dialog, bool saveAndValidate)
      : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CWnd *m_pDlgWnd;
  bool m_bSaveAndValidate;
};

// Moves a radio group's state to or from value: the position of the checked button among the
// radio buttons of the group that starts at control id, or -1 when none is checked.
void DDX_Radio(CDataExchange *pDX, int id, int &value);

class CDialog : public CWnd, private DialogProcedure {
 public:
  explicit CDialog(UINT templateId, CWnd *parent = nullptr)
      : m_nIDHelp(templateId), m_pParentWnd(parent) {}

  INT_PTR DoModal();
  void EndDialog(INT_PTR result);
  // Runs DoDataExchange: from the controls when save is true, else to them.
  BOOL UpdateData(BOOL save = TRUE);

 protected:
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange *) {}
  const MessageMap *GetMessageMap() const override { return &messageMap; }

  static const MessageMapEntry messageEntries[];
  static const MessageMap messageMap;

  UINT m_nIDHelp;
  CWnd *m_pParentWnd;

 private:
  INT_PTR DialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) override;
  void OnOKCommand() { OnOK(); }
  void OnCancelCommand() { OnCancel(); }
};

// Paints between BeginPaint and EndPaint for the window's lifetime on the stack.
class CPaintDC {
 public:
  explicit CPaintDC(CWnd *window);
  ~CPaintDC();
  CPaintDC(const CPaintDC &) = delete;
  CPaintDC &operator=(const CPaintDC &) = delete;
  HDC GetSafeHdc() const { return m_ps.hdc; }
  BOOL DrawIcon(int x, int y, HICON icon);

 private:
  CWnd *m_pWnd;
  PAINTSTRUCT m_ps{};
};
