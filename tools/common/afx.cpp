#include "tools/common/afx.h"

namespace {
CWinApp *g_app = nullptr;
}

CWinApp *AfxGetApp() { return g_app; }

CWinApp::CWinApp(const char16_t *appName) : m_pszAppName(appName) { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

int CWinApp::Run(WindowSystem &windows, Registry &registry) {
  m_windows = &windows;
  m_registry = &registry;
  InitInstance();
  int code = ExitInstance();
  m_pMainWnd = nullptr;
  return code;
}

HICON CWinApp::LoadIcon(UINT id) const { return m_windows->IconResource(id); }

HWND CWnd::GetDlgItem(int id) const { return Windows().DlgItem(m_hWnd, id); }

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return Windows().Send(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::SendDlgItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND item = GetDlgItem(id);
  return item != nullptr ? Windows().Send(item, message, wParam, lParam) : 0;
}

int CWnd::MessageBox(const char16_t *text, const char16_t *caption, UINT type) {
  if (caption == nullptr) caption = AfxGetApp()->m_pszAppName;
  return Windows().ShowMessageBox(m_hWnd, text, caption, type);
}

CMenu CWnd::GetSystemMenu(BOOL revert) {
  return CMenu(Windows(), Windows().SystemMenu(m_hWnd, revert));
}

HICON CWnd::SetIcon(HICON icon, BOOL big) {
  return reinterpret_cast<HICON>(
      SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

BOOL CWnd::IsIconic() const { return Windows().IsIconic(m_hWnd); }

void CWnd::GetClientRect(RECT *rect) const { Windows().ClientRect(m_hWnd, rect); }

BOOL CWnd::EnableWindow(BOOL enable) { return Windows().EnableWindow(m_hWnd, enable); }

void CWnd::CenterWindow() {
  WindowSystem &windows = Windows();
  HWND center = windows.Owner(m_hWnd);
  if (center != nullptr) {
    const DWORD style = windows.Style(center);
    if ((style & WS_VISIBLE) == 0 || windows.IsIconic(center)) center = nullptr;
  }
  RECT dialog, area, target;
  if (!windows.WindowRect(m_hWnd, &dialog)) return;
  if (center == nullptr) {
    CWnd *main = AfxGetApp()->m_pMainWnd;
    if (!windows.WorkArea(main != nullptr ? main->m_hWnd : nullptr, &area)) return;
    target = area;
  } else {
    if (!windows.WindowRect(center, &target) || !windows.WorkArea(center, &area)) return;
  }
  const LONG width = dialog.right - dialog.left, height = dialog.bottom - dialog.top;
  LONG x = (target.left + target.right) / 2 - width / 2;
  LONG y = (target.top + target.bottom) / 2 - height / 2;
  if (x + width > area.right) x = area.right - width;
  if (x < area.left) x = area.left;
  if (y + height > area.bottom) y = area.bottom - height;
  if (y < area.top) y = area.top;
  windows.MoveWindowTo(m_hWnd, x, y);
}

bool CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result) {
  const UINT code = message == WM_COMMAND ? HIWORD(wParam) : 0;
  const UINT id = message == WM_COMMAND ? LOWORD(wParam) : 0;
  for (const MessageMap *map = GetMessageMap(); map != nullptr; map = map->base) {
    for (size_t i = 0; i < map->count; ++i) {
      const MessageMapEntry &entry = map->entries[i];
      if (entry.message != message) continue;
      if (message == WM_COMMAND && (entry.code != code || id < entry.firstId || id > entry.lastId))
        continue;
      m_defaultRequested = false;
      *result = 0;
      entry.invoke(this, wParam, lParam, result);
      return !m_defaultRequested;
    }
  }
  return false;
}

void DDX_Radio(CDataExchange *pDX, int id, int &value) {
  WindowSystem &windows = AfxGetApp()->Windows();
  HWND button = pDX->m_pDlgWnd->GetDlgItem(id);
  if (button == nullptr) return;
  if (pDX->m_bSaveAndValidate) value = -1;
  // The group runs from its first button to the next control that starts a group.
  int position = 0;
  for (HWND control = button; control != nullptr; control = windows.NextSibling(control)) {
    if (control != button && (windows.Style(control) & WS_GROUP) != 0) break;
    if ((windows.Send(control, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) == 0) continue;
    if (pDX->m_bSaveAndValidate) {
      if (windows.Send(control, BM_GETCHECK, 0, 0) == BST_CHECKED) value = position;
    } else {
      windows.Send(control, BM_SETCHECK, position == value ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    ++position;
  }
}

INT_PTR CDialog::DoModal() {
  CWinApp *app = AfxGetApp();
  HWND owner = nullptr;
  if (m_pParentWnd != nullptr)
    owner = m_pParentWnd->m_hWnd;
  else if (app->m_pMainWnd != nullptr && app->m_pMainWnd != this)
    owner = app->m_pMainWnd->m_hWnd;
  INT_PTR result = Windows().RunDialog(m_nIDHelp, owner, this);
  m_hWnd = nullptr;
  return result;
}

void CDialog::EndDialog(INT_PTR result) { Windows().EndDialog(m_hWnd, result); }

BOOL CDialog::UpdateData(BOOL save) {
  CDataExchange dx(this, save != FALSE);
  DoDataExchange(&dx);
  return TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  UpdateData(TRUE);
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

const MessageMapEntry CDialog::messageEntries[] = {
    afx::OnClicked<CDialog, &CDialog::OnOKCommand>(IDOK),
    afx::OnClicked<CDialog, &CDialog::OnCancelCommand>(IDCANCEL),
};
const MessageMap CDialog::messageMap = {nullptr, messageEntries, std::size(messageEntries)};

INT_PTR CDialog::DialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    m_hWnd = dialog;
    RECT before = {};
    Windows().WindowRect(dialog, &before);
    const DWORD styleBefore = Windows().Style(dialog);
    INT_PTR result = OnInitDialog();
    // A dialog that appears where nobody put it is centred (on the disabled owner of a modal
    // dialog, or on the screen), as the framework the tools follow does.
    RECT after = {};
    Windows().WindowRect(dialog, &after);
    HWND owner = Windows().Owner(dialog);
    if ((styleBefore & WS_VISIBLE) == 0 && (Windows().Style(dialog) & WS_VISIBLE) == 0 &&
        before.left == after.left && before.top == after.top &&
        (owner == nullptr || (Windows().Style(owner) & WS_DISABLED) != 0))
      CenterWindow();
    return result;
  }
  LRESULT result = 0;
  if (!OnWndMsg(message, wParam, lParam, &result)) return FALSE;
  // This one hands its result back as the dialog procedure's own.
  if (message == WM_QUERYDRAGICON) return result;
  return TRUE;
}

CPaintDC::CPaintDC(CWnd *window) : m_pWnd(window) {
  AfxGetApp()->Windows().BeginPaint(window->m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC() { AfxGetApp()->Windows().EndPaint(m_pWnd->m_hWnd, &m_ps); }

BOOL CPaintDC::DrawIcon(int x, int y, HICON icon) {
  return AfxGetApp()->Windows().DrawIcon(m_ps.hdc, x, y, icon);
}
