#include "tools/common/headless/headless_window_system.h"

#include <algorithm>

namespace {
// The frame around a dialog's client area: borders and the caption.
constexpr LONG kFrame = 3;
constexpr LONG kCaption = 20;
}  // namespace

struct HeadlessWindowSystem::Window {
  Window *parent = nullptr;                       // of a control
  Window *owner = nullptr;                        // of a dialog
  std::vector<std::unique_ptr<Window>> children;  // z order
  ControlTemplate control;                        // for a control
  UINT templateId = 0;                            // for a dialog
  const DialogTemplate *dialog = nullptr;
  DialogProcedure *procedure = nullptr;
  bool enabled = true;
  bool checked = false;
  bool iconic = false;
  bool ended = false;
  INT_PTR result = 0;
  std::u16string text;
  std::vector<std::u16string> items;
  int selection = -1;
  bool hasSystemMenu = false;
  std::vector<MenuItem> systemMenu;
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
  bool visible = false;
  RECT rect = {};  // a dialog's frame on the screen

  HWND Handle() { return reinterpret_cast<HWND>(this); }
  bool IsDialog() const { return dialog != nullptr; }
  bool Is(const char *className) const { return control.className == className; }
  DWORD ButtonType() const { return control.style & BS_TYPEMASK; }
  bool IsRadio() const {
    return Is("button") && (ButtonType() == BS_AUTORADIOBUTTON || ButtonType() == BS_RADIOBUTTON);
  }
};

HeadlessWindowSystem::HeadlessWindowSystem(ResourceScript resources)
    : resources_(std::move(resources)) {}

HeadlessWindowSystem::~HeadlessWindowSystem() = default;

HeadlessWindowSystem::Window *HeadlessWindowSystem::Find(HWND window) const {
  auto *w = reinterpret_cast<Window *>(window);
  return live_.count(w) != 0 ? w : nullptr;
}

HeadlessWindowSystem::Window *HeadlessWindowSystem::FindItem(HWND dialog, int id) const {
  Window *d = Find(dialog);
  if (d == nullptr) return nullptr;
  for (auto &child : d->children) {
    if (child->control.id == id) return child.get();
  }
  return nullptr;
}

// The control a user could operate now, or null.
HeadlessWindowSystem::Window *HeadlessWindowSystem::ForUser(HWND dialog, int id) {
  Window *d = Find(dialog);
  Window *c = FindItem(dialog, id);
  if (d == nullptr || c == nullptr || !d->enabled || !c->enabled ||
      (c->control.style & WS_VISIBLE) == 0)
    return nullptr;
  return c;
}

INT_PTR HeadlessWindowSystem::RunDialog(UINT templateId, HWND owner, DialogProcedure *procedure) {
  auto found = resources_.dialogs.find(templateId);
  if (found == resources_.dialogs.end()) {
    Problem("no dialog template " + std::to_string(templateId));
    return -1;
  }
  auto dialog = std::make_unique<Window>();
  dialog->templateId = templateId;
  dialog->dialog = &found->second;
  dialog->procedure = procedure;
  dialog->text = found->second.caption;
  dialog->hasSystemMenu = (found->second.style & WS_SYSMENU) != 0;
  if (dialog->hasSystemMenu) {
    dialog->systemMenu = {{MF_STRING, SC_MOVE, u"&Move"},
                          {MF_SEPARATOR, 0, u""},
                          {MF_STRING, SC_CLOSE, u"&Close\tAlt+F4"}};
  }
  live_.insert(dialog.get());
  for (const ControlTemplate &t : found->second.controls) {
    auto child = std::make_unique<Window>();
    child->parent = dialog.get();
    child->control = t;
    child->text = t.text;
    child->enabled = (t.style & WS_DISABLED) == 0;
    live_.insert(child.get());
    dialog->children.push_back(std::move(child));
  }

  Window *ownerWindow = Find(owner);
  const bool ownerWasEnabled = ownerWindow != nullptr && ownerWindow->enabled;
  if (ownerWindow != nullptr) ownerWindow->enabled = false;
  dialog->owner = ownerWindow;

  // Placed at the template's position from the owner's client area (or the screen's corner),
  // hidden until initialised, then shown: a modal dialog always is.
  RECT client;
  ClientRect(dialog->Handle(), &client);
  LONG x = found->second.x * 6 / 4, y = found->second.y * 13 / 8;
  if (ownerWindow != nullptr) {
    x += ownerWindow->rect.left + kFrame;
    y += ownerWindow->rect.top + kCaption + kFrame;
  }
  dialog->rect = {x, y, x + client.right + 2 * kFrame, y + client.bottom + kCaption + 2 * kFrame};

  HWND handle = dialog->Handle();
  procedure->DialogMessage(handle, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(procedure));
  dialog->visible = true;
  if (!dialog->ended && onModal) onModal(handle);
  if (!dialog->ended) {
    Problem("dialog " + std::to_string(templateId) + " was left open");
    dialog->result = -1;
  }

  if (ownerWindow != nullptr && ownerWasEnabled) ownerWindow->enabled = true;
  for (auto &child : dialog->children) live_.erase(child.get());
  live_.erase(dialog.get());
  return dialog->result;
}

BOOL HeadlessWindowSystem::EndDialog(HWND dialog, INT_PTR result) {
  Window *d = Find(dialog);
  if (d == nullptr || !d->IsDialog()) {
    Problem("EndDialog on a window that is not a running dialog");
    return FALSE;
  }
  d->ended = true;
  d->result = result;
  return TRUE;
}

HWND HeadlessWindowSystem::DlgItem(HWND dialog, int id) {
  Window *c = FindItem(dialog, id);
  return c != nullptr ? c->Handle() : nullptr;
}

HWND HeadlessWindowSystem::NextSibling(HWND window) {
  Window *w = Find(window);
  if (w == nullptr || w->parent == nullptr) return nullptr;
  auto &siblings = w->parent->children;
  for (size_t i = 0; i + 1 < siblings.size(); ++i) {
    if (siblings[i].get() == w) return siblings[i + 1]->Handle();
  }
  return nullptr;
}

DWORD HeadlessWindowSystem::Style(HWND window) {
  Window *w = Find(window);
  if (w == nullptr) return 0;
  DWORD style = w->IsDialog() ? w->dialog->style : w->control.style;
  if (!w->enabled) style |= WS_DISABLED;
  if (w->IsDialog()) style = w->visible ? style | WS_VISIBLE : style & ~WS_VISIBLE;
  return style;
}

LRESULT HeadlessWindowSystem::Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Window *w = Find(window);
  if (w == nullptr) {
    Problem("message " + std::to_string(message) + " sent to a window that does not exist");
    return 0;
  }
  if (!w->IsDialog()) return ControlMessage(*w, message, wParam, lParam);
  INT_PTR handled = w->procedure->DialogMessage(window, message, wParam, lParam);
  if (handled == 0) return DefaultDialogMessage(*w, message, wParam, lParam);
  return message == WM_QUERYDRAGICON ? handled : 0;
}

// What the platform's dialog manager does with a message the dialog procedure left.
LRESULT HeadlessWindowSystem::DefaultDialogMessage(Window &dialog, UINT message, WPARAM wParam,
                                                   LPARAM lParam) {
  switch (message) {
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_CLOSE:
          Send(dialog.Handle(), WM_CLOSE, 0, 0);
          break;
        case SC_MINIMIZE:
          dialog.iconic = true;
          break;
        case SC_RESTORE:
          dialog.iconic = false;
          break;
        default:
          break;  // moving and sizing change nothing here
      }
      return 0;
    case WM_CLOSE: {
      HWND cancel = DlgItem(dialog.Handle(), IDCANCEL);
      Send(dialog.Handle(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
           reinterpret_cast<LPARAM>(cancel));
      return 0;
    }
    case WM_SETICON: {
      HICON &slot = wParam == ICON_BIG ? dialog.bigIcon : dialog.smallIcon;
      HICON previous = slot;
      slot = reinterpret_cast<HICON>(lParam);
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_PAINT:
      ++defaultPaints_;
      return 0;
    case WM_ICONERASEBKGND:
      ++iconErases_;
      return 0;
    default:
      return 0;
  }
}

LRESULT HeadlessWindowSystem::ControlMessage(Window &control, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  if (control.Is("button")) {
    switch (message) {
      case BM_GETCHECK:
        return control.checked ? BST_CHECKED : BST_UNCHECKED;
      case BM_SETCHECK:
        control.checked = wParam == BST_CHECKED;
        return 0;
      case WM_GETDLGCODE:
        if (control.IsRadio()) return DLGC_BUTTON | DLGC_RADIOBUTTON;
        if (control.ButtonType() == BS_DEFPUSHBUTTON) return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
        return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
      default:
        return 0;
    }
  }
  if (control.Is("combobox")) {
    const auto count = static_cast<LRESULT>(control.items.size());
    switch (message) {
      case CB_ADDSTRING:
        control.items.emplace_back(reinterpret_cast<const char16_t *>(lParam));
        return count;
      case CB_GETCOUNT:
        return count;
      case CB_GETCURSEL:
        return control.selection >= 0 ? control.selection : CB_ERR;
      case CB_SETCURSEL: {
        auto index = static_cast<LRESULT>(static_cast<int>(wParam));
        if (index < 0 || index >= count) {
          control.selection = -1;
          control.text.clear();
          return CB_ERR;
        }
        control.selection = static_cast<int>(index);
        control.text = control.items[static_cast<size_t>(index)];
        return index;
      }
      default:
        return 0;
    }
  }
  return 0;
}

bool HeadlessWindowSystem::Click(HWND dialog, int id) {
  Window *c = ForUser(dialog, id);
  if (c == nullptr || !c->Is("button")) return false;
  if (c->ButtonType() == BS_AUTORADIOBUTTON) {
    // The group runs from the control that starts it to the next one that starts another.
    auto &siblings = c->parent->children;
    auto at = std::find_if(siblings.begin(), siblings.end(),
                           [c](const std::unique_ptr<Window> &w) { return w.get() == c; });
    auto first = at;
    while (first != siblings.begin() && ((*first)->control.style & WS_GROUP) == 0) --first;
    for (auto it = first; it != siblings.end(); ++it) {
      if (it != first && ((*it)->control.style & WS_GROUP) != 0) break;
      if ((*it)->IsRadio()) (*it)->checked = false;
    }
    c->checked = true;
  }
  Send(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
       reinterpret_cast<LPARAM>(c->Handle()));
  return true;
}

bool HeadlessWindowSystem::ChooseItem(HWND dialog, int comboId, int index) {
  Window *c = ForUser(dialog, comboId);
  if (c == nullptr || !c->Is("combobox") || index < 0 ||
      static_cast<size_t>(index) >= c->items.size())
    return false;
  c->selection = index;
  c->text = c->items[static_cast<size_t>(index)];
  Send(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(comboId), CBN_SELCHANGE),
       reinterpret_cast<LPARAM>(c->Handle()));
  return true;
}

bool HeadlessWindowSystem::TypeText(HWND dialog, int comboId, const std::u16string &text) {
  Window *c = ForUser(dialog, comboId);
  if (c == nullptr || !c->Is("combobox") || (c->control.style & 0x3) != CBS_DROPDOWN) return false;
  // Typed text that names no entry leaves the list without a selection.
  c->text = text;
  auto match = std::find(c->items.begin(), c->items.end(), text);
  c->selection = match == c->items.end() ? -1 : static_cast<int>(match - c->items.begin());
  Send(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(comboId), CBN_EDITCHANGE),
       reinterpret_cast<LPARAM>(c->Handle()));
  return true;
}

bool HeadlessWindowSystem::SystemCommand(HWND dialog, UINT command) {
  Window *d = Find(dialog);
  if (d == nullptr || !d->IsDialog() || !d->enabled) return false;
  Send(dialog, WM_SYSCOMMAND, command, 0);
  return true;
}

void HeadlessWindowSystem::SetIconic(HWND dialog, bool iconic) {
  if (Window *d = Find(dialog)) d->iconic = iconic;
}

void HeadlessWindowSystem::Paint(HWND dialog) { Send(dialog, WM_PAINT, 0, 0); }

UINT HeadlessWindowSystem::TemplateId(HWND dialog) const {
  Window *d = Find(dialog);
  return d != nullptr ? d->templateId : 0;
}

std::u16string HeadlessWindowSystem::Text(HWND window) const {
  Window *w = Find(window);
  return w != nullptr ? w->text : std::u16string();
}

std::u16string HeadlessWindowSystem::ItemText(HWND dialog, int id) const {
  Window *c = FindItem(dialog, id);
  return c != nullptr ? c->text : std::u16string();
}

bool HeadlessWindowSystem::IsChecked(HWND dialog, int id) const {
  Window *c = FindItem(dialog, id);
  return c != nullptr && c->checked;
}

std::vector<std::u16string> HeadlessWindowSystem::Items(HWND dialog, int comboId) const {
  Window *c = FindItem(dialog, comboId);
  return c != nullptr ? c->items : std::vector<std::u16string>();
}

int HeadlessWindowSystem::Selection(HWND dialog, int comboId) const {
  Window *c = FindItem(dialog, comboId);
  return c != nullptr ? c->selection : -1;
}

std::vector<ControlTemplate> HeadlessWindowSystem::Controls(HWND dialog) const {
  std::vector<ControlTemplate> out;
  if (Window *d = Find(dialog)) {
    for (auto &child : d->children) out.push_back(child->control);
  }
  return out;
}

std::vector<HeadlessWindowSystem::MenuItem> HeadlessWindowSystem::SystemMenuItems(
    HWND dialog) const {
  Window *d = Find(dialog);
  return d != nullptr ? d->systemMenu : std::vector<MenuItem>();
}

HICON HeadlessWindowSystem::WindowIcon(HWND dialog, bool big) const {
  Window *d = Find(dialog);
  if (d == nullptr) return nullptr;
  return big ? d->bigIcon : d->smallIcon;
}

bool HeadlessWindowSystem::IsEnabled(HWND window) const {
  Window *w = Find(window);
  return w != nullptr && w->enabled;
}

int HeadlessWindowSystem::ShowMessageBox(HWND owner, const char16_t *text, const char16_t *caption,
                                         UINT type) {
  Window *ownerWindow = Find(owner);
  const bool ownerWasEnabled = ownerWindow != nullptr && ownerWindow->enabled;
  if (ownerWindow != nullptr) ownerWindow->enabled = false;
  messageBoxes_.push_back(
      {owner, text != nullptr ? text : u"", caption != nullptr ? caption : u"", type});
  if (onMessageBox) onMessageBox(messageBoxes_.back());
  if (ownerWindow != nullptr && ownerWasEnabled) ownerWindow->enabled = true;
  return IDOK;
}

std::u16string HeadlessWindowSystem::StringResource(UINT id) {
  auto found = resources_.strings.find(id);
  return found != resources_.strings.end() ? found->second : std::u16string();
}

HICON HeadlessWindowSystem::IconResource(UINT id) {
  // Icon handles stand for the resource number.
  return resources_.icons.count(id) != 0 ? reinterpret_cast<HICON>(uintptr_t{0x10000} + id)
                                         : nullptr;
}

HMENU HeadlessWindowSystem::SystemMenu(HWND window, BOOL) {
  Window *w = Find(window);
  if (w == nullptr || !w->hasSystemMenu) return nullptr;
  return reinterpret_cast<HMENU>(w);
}

BOOL HeadlessWindowSystem::AppendMenuItem(HMENU menu, UINT flags, UINT_PTR id,
                                          const char16_t *text) {
  Window *w = Find(reinterpret_cast<HWND>(menu));
  if (w == nullptr || !w->hasSystemMenu) {
    Problem("AppendMenu on a menu that does not exist");
    return FALSE;
  }
  w->systemMenu.push_back({flags, id, text != nullptr ? text : u""});
  return TRUE;
}

BOOL HeadlessWindowSystem::IsIconic(HWND window) {
  Window *w = Find(window);
  return w != nullptr && w->iconic;
}

int HeadlessWindowSystem::SystemMetric(int index) {
  return index == SM_CXICON || index == SM_CYICON ? 32 : 0;
}

BOOL HeadlessWindowSystem::ClientRect(HWND window, RECT *rect) {
  Window *w = Find(window);
  if (w == nullptr) return FALSE;
  // Dialog units in pixels for an 8-point dialog font at 96 dots per inch.
  int cx = w->IsDialog() ? w->dialog->cx : w->control.cx;
  int cy = w->IsDialog() ? w->dialog->cy : w->control.cy;
  *rect = {0, 0, cx * 6 / 4, cy * 13 / 8};
  return TRUE;
}

HDC HeadlessWindowSystem::BeginPaint(HWND window, PAINTSTRUCT *paint) {
  *paint = {};
  if (Find(window) == nullptr) return nullptr;
  ++painting_;
  paint->hdc = reinterpret_cast<HDC>(window);
  return paint->hdc;
}

BOOL HeadlessWindowSystem::EndPaint(HWND, const PAINTSTRUCT *paint) {
  if (paint->hdc == nullptr) return FALSE;
  if (painting_ == 0) Problem("EndPaint without BeginPaint");
  --painting_;
  return TRUE;
}

BOOL HeadlessWindowSystem::DrawIcon(HDC dc, int x, int y, HICON icon) {
  if (painting_ == 0 || dc == nullptr) Problem("DrawIcon outside painting");
  drawnIcons_.push_back({x, y, icon});
  return TRUE;
}

BOOL HeadlessWindowSystem::EnableWindow(HWND window, BOOL enable) {
  Window *w = Find(window);
  if (w == nullptr) return FALSE;
  bool wasDisabled = !w->enabled;
  w->enabled = enable != FALSE;
  return wasDisabled;
}

BOOL HeadlessWindowSystem::WindowRect(HWND window, RECT *rect) {
  Window *w = Find(window);
  if (w == nullptr || !w->IsDialog()) return FALSE;
  *rect = w->rect;
  return TRUE;
}

HWND HeadlessWindowSystem::Owner(HWND window) {
  Window *w = Find(window);
  return w != nullptr && w->IsDialog() && w->owner != nullptr && Find(w->owner->Handle()) != nullptr
             ? w->owner->Handle()
             : nullptr;
}

BOOL HeadlessWindowSystem::WorkArea(HWND, RECT *rect) {
  *rect = workArea_;
  return TRUE;
}

BOOL HeadlessWindowSystem::MoveWindowTo(HWND window, int x, int y) {
  Window *w = Find(window);
  if (w == nullptr || !w->IsDialog()) return FALSE;
  w->rect = {x, y, x + w->rect.right - w->rect.left, y + w->rect.bottom - w->rect.top};
  return TRUE;
}

BOOL HeadlessWindowSystem::InitCommonControls(const INITCOMMONCONTROLSEX *controls) {
  if (controls == nullptr || controls->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
  commonControlClasses_ |= controls->dwICC;
  return TRUE;
}
