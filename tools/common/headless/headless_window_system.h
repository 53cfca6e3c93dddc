// A window system without a screen: dialogs are built from the resource script's templates as
// trees of controls (ids, classes, styles, texts and z order as in the template), and tests act
// as the user: click buttons, pick or type in combo boxes, send system commands, and see every
// message box. A modal dialog runs the test's script, which must end it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/common/headless/resource_script.h"
#include "tools/common/window_system.h"

class HeadlessWindowSystem : public WindowSystem {
 public:
  struct MessageBoxRecord {
    HWND owner;
    std::u16string text;
    std::u16string caption;
    UINT type;
  };
  struct MenuItem {
    UINT flags;
    UINT_PTR id;
    std::u16string text;
  };
  struct DrawnIcon {
    int x, y;
    HICON icon;
  };

  explicit HeadlessWindowSystem(ResourceScript resources);
  ~HeadlessWindowSystem() override;

  // Runs while a dialog is modal, after WM_INITDIALOG; it acts as the user and must end the
  // dialog. A dialog left open is ended with -1 and reported in Problems().
  std::function<void(HWND dialog)> onModal;
  // Sees each message box while it is up; the box then returns IDOK.
  std::function<void(const MessageBoxRecord &box)> onMessageBox;

  // The user's actions. Each fails (returns false) where a user could not do it: a control
  // that is missing, disabled, or in a dialog disabled by a modal child.
  bool Click(HWND dialog, int id);
  bool ChooseItem(HWND dialog, int comboId, int index);
  bool TypeText(HWND dialog, int comboId, const std::u16string &text);
  bool SystemCommand(HWND dialog, UINT command);
  void SetIconic(HWND dialog, bool iconic);
  void Paint(HWND dialog);

  // What is on the screen.
  UINT TemplateId(HWND dialog) const;
  std::u16string Text(HWND window) const;
  std::u16string ItemText(HWND dialog, int id) const;
  bool IsChecked(HWND dialog, int id) const;
  std::vector<std::u16string> Items(HWND dialog, int comboId) const;
  int Selection(HWND dialog, int comboId) const;
  std::vector<ControlTemplate> Controls(HWND dialog) const;
  std::vector<MenuItem> SystemMenuItems(HWND dialog) const;
  HICON WindowIcon(HWND dialog, bool big) const;
  bool IsEnabled(HWND window) const;

  const std::vector<MessageBoxRecord> &MessageBoxes() const { return messageBoxes_; }
  const std::vector<DrawnIcon> &DrawnIcons() const { return drawnIcons_; }
  int DefaultPaints() const { return defaultPaints_; }
  int IconBackgroundErases() const { return iconErases_; }
  DWORD CommonControlClasses() const { return commonControlClasses_; }
  const std::vector<std::string> &Problems() const { return problems_; }

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
  BOOL InitCommonControls(const INITCOMMONCONTROLSEX *controls) override;
  BOOL WindowRect(HWND window, RECT *rect) override;
  HWND Owner(HWND window) override;
  BOOL WorkArea(HWND nearWindow, RECT *rect) override;
  BOOL MoveWindowTo(HWND window, int x, int y) override;

  // The screen's work area (default: 1024 x 768 above a 40-pixel task bar).
  void SetWorkArea(const RECT &area) { workArea_ = area; }

 private:
  struct Window;
  Window *Find(HWND window) const;
  Window *FindItem(HWND dialog, int id) const;
  Window *ForUser(HWND dialog, int id);
  LRESULT DefaultDialogMessage(Window &dialog, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT ControlMessage(Window &control, UINT message, WPARAM wParam, LPARAM lParam);
  void Problem(const std::string &what) { problems_.push_back(what); }

  ResourceScript resources_;
  std::set<Window *> live_;
  std::vector<MessageBoxRecord> messageBoxes_;
  std::vector<DrawnIcon> drawnIcons_;
  std::vector<std::string> problems_;
  int defaultPaints_ = 0;
  int iconErases_ = 0;
  int painting_ = 0;
  DWORD commonControlClasses_ = 0;
  RECT workArea_ = {0, 0, 1024, 728};
};
