// A helper for the Wine end-to-end test: finds a tool's windows by title and reports what a
// person would see (controls, texts, states, where to click), or keeps the Wine desktop alive.
//
//   probe hold                  run until killed, with one hidden window
//   probe wait TITLE SECONDS    wait for an enabled top-level window TITLE; print its handle
//   probe gone TITLE SECONDS    wait until no top-level window TITLE is left
//   probe dump TITLE            the window and its controls, one per line (see Dump); the
//                               enabled window of that title, else a disabled one
//   probe syscmd TITLE COMMAND  post WM_SYSCOMMAND COMMAND (decimal or 0x hex) to it
//   probe measure-template EXE ID [FACE]
//                               every text of the statics and buttons of dialog template ID
//                               of EXE against its control (see Measure), the dialog created
//                               hidden here (another process's fonts cannot be selected here),
//                               with its font face replaced by FACE when given
//   probe screen                the desktop's size and its work area
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Narrow(const wchar_t *text) {
  std::string out;
  for (; *text != 0; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

std::wstring Widen(const char *text) {
  std::wstring out;
  for (; *text != 0; ++text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return out;
}

std::string TextOf(HWND window) {
  wchar_t buffer[512] = {};
  SendMessageW(window, WM_GETTEXT, 511, reinterpret_cast<LPARAM>(buffer));
  return Narrow(buffer);
}

struct Search {
  std::wstring title;
  HWND found = nullptr;    // the enabled one
  HWND visible = nullptr;  // any, for reading a dialog a modal one has disabled
  int count = 0;
};

// A message box has its owner's title at times; the enabled one is the one a person can use.
BOOL CALLBACK Visit(HWND window, LPARAM data) {
  auto *search = reinterpret_cast<Search *>(data);
  wchar_t title[256] = {};
  GetWindowTextW(window, title, 255);
  if (search->title != title || !IsWindowVisible(window)) return TRUE;
  ++search->count;
  search->visible = window;
  if (IsWindowEnabled(window)) search->found = window;
  return TRUE;
}

Search Find(const char *title) {
  Search search;
  search.title = Widen(title);
  EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
  return search;
}

unsigned long XWindow(HWND window) {
  return static_cast<unsigned long>(
      reinterpret_cast<ULONG_PTR>(GetPropA(window, "__wine_x11_whole_window")));
}

// window HWND XID left top right bottom client WIDTH HEIGHT font FACE
// desktop XID
// control ID CLASS STYLE CHECKED ENABLED X Y "TEXT" [items "A"|"B" selection N]
// (X Y: the control's centre in desktop coordinates)
int Dump(HWND window) {
  RECT r, client;
  GetWindowRect(window, &r);
  GetClientRect(window, &client);
  wchar_t face[64] = L"?";
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  if (HDC dc = GetDC(window)) {
    HGDIOBJ old = SelectObject(dc, font);
    GetTextFaceW(dc, 63, face);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
  }
  std::printf("window %p %lu %ld %ld %ld %ld client %ld %ld font %s\n", static_cast<void *>(window),
              XWindow(window), r.left, r.top, r.right, r.bottom, client.right, client.bottom,
              Narrow(face).c_str());
  std::printf("desktop %lu\n", XWindow(GetDesktopWindow()));
  for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    wchar_t className[64] = {};
    GetClassNameW(c, className, 63);
    RECT cr;
    GetWindowRect(c, &cr);
    std::string cls = Narrow(className);
    LONG_PTR style = GetWindowLongPtrW(c, GWL_STYLE);
    int checked = 0;
    if (_wcsicmp(className, L"Button") == 0)
      checked = SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED;
    std::printf("control %d %s 0x%08lx %d %d %ld %ld \"%s\"", GetDlgCtrlID(c), cls.c_str(),
                static_cast<unsigned long>(style), checked, IsWindowEnabled(c) ? 1 : 0,
                (cr.left + cr.right) / 2, (cr.top + cr.bottom) / 2, TextOf(c).c_str());
    if (_wcsicmp(className, L"ComboBox") == 0) {
      std::printf(" items ");
      LRESULT count = SendMessageW(c, CB_GETCOUNT, 0, 0);
      for (LRESULT i = 0; i < count; ++i) {
        wchar_t item[256] = {};
        if (SendMessageW(c, CB_GETLBTEXTLEN, i, 0) < 255)
          SendMessageW(c, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        std::printf("%s\"%s\"", i == 0 ? "" : "|", Narrow(item).c_str());
      }
      std::printf(" selection %ld", static_cast<long>(SendMessageW(c, CB_GETCURSEL, 0, 0)));
    }
    std::printf("\n");
  }
  return 0;
}

// One line per static text or button with a text:
//   measure ID CLASS need W H have W H ok|WRAPS|CLIPPED "TEXT" font FACE
// need: the text on one line in the control's font (buttons with their frame and check box);
// have: the control's client area. A static wider than its box wraps its last words onto a
// line below the box, so either way the text is cut.
int Measure(HWND window) {
  int problems = 0;
  for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    wchar_t className[64] = {};
    GetClassNameW(c, className, 63);
    const bool isStatic = _wcsicmp(className, L"Static") == 0;
    const bool isButton = _wcsicmp(className, L"Button") == 0;
    if (!isStatic && !isButton) continue;
    LONG_PTR style = GetWindowLongPtrW(c, GWL_STYLE);
    if (isStatic && (style & SS_TYPEMASK) > SS_RIGHT) continue;  // icons and frames
    wchar_t text[256] = {};
    GetWindowTextW(c, text, 255);
    if (text[0] == 0) continue;
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0));
    HDC dc = GetDC(c);
    HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
    RECT need = {0, 0, 0, 0};
    UINT prefix = isStatic && (style & SS_NOPREFIX) ? DT_NOPREFIX : 0;
    DrawTextW(dc, text, -1, &need, DT_CALCRECT | DT_SINGLELINE | prefix);
    wchar_t face[64] = L"?";
    GetTextFaceW(dc, 63, face);
    TEXTMETRICW tm;
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(c, dc);
    RECT have;
    GetClientRect(c, &have);
    LONG width = need.right, height = need.bottom;
    if (isButton) {
      LONG type = style & BS_TYPEMASK;
      if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) {
        width += 2 * (GetSystemMetrics(SM_CXEDGE) + 2);  // border and focus rectangle
      } else {
        width += GetSystemMetrics(SM_CXMENUCHECK) + tm.tmAveCharWidth / 2;  // box and gap
      }
    }
    const char *verdict = "ok";
    if (height > have.bottom) {
      verdict = "CLIPPED";
    } else if (width > have.right) {
      verdict = isStatic && (style & SS_TYPEMASK) != SS_LEFTNOWORDWRAP ? "WRAPS" : "CLIPPED";
    }
    if (verdict[0] != 'o') ++problems;
    std::printf("measure %d %s need %ld %ld have %ld %ld %s \"%s\" font %s\n", GetDlgCtrlID(c),
                Narrow(className).c_str(), width, height, have.right, have.bottom, verdict,
                Narrow(text).c_str(), Narrow(face).c_str());
  }
  return problems == 0 ? 0 : 3;
}

INT_PTR CALLBACK QuietDialogProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG;
}

// A copy of the DIALOGEX template with another font face: the header up to the face, the new
// face, then the items, which start on the next four-byte boundary.
std::string WithFace(const BYTE *t, size_t size, const std::wstring &face) {
  auto skip = [&](size_t at) {  // past a name or ordinal field
    const WORD *w = reinterpret_cast<const WORD *>(t + at);
    if (*w == 0xFFFF) return at + 4;
    while (*w != 0) ++w, at += 2;
    return at + 2;
  };
  size_t at = 26;          // dlgVer ... cy
  at = skip(at);           // menu
  at = skip(at);           // class
  at = skip(at);           // title
  size_t faceAt = at + 6;  // point size, weight, italic, character set
  size_t faceEnd = skip(faceAt);
  size_t items = (faceEnd + 3) & ~static_cast<size_t>(3);
  std::string out(reinterpret_cast<const char *>(t), faceAt);
  out.append(reinterpret_cast<const char *>(face.c_str()), (face.size() + 1) * 2);
  while (out.size() % 4 != 0) out.push_back('\0');
  out.append(reinterpret_cast<const char *>(t + items), size - items);
  return out;
}

int MeasureTemplate(const char *exe, int id, const char *face) {
  HMODULE module = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC found = module != nullptr ? FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5))
                                  : nullptr;
  if (found == nullptr) {
    std::fprintf(stderr, "probe: no dialog %d in %s\n", id, exe);
    return 1;
  }
  const BYTE *data = static_cast<const BYTE *>(LockResource(LoadResource(module, found)));
  size_t size = SizeofResource(module, found);
  std::string copy(reinterpret_cast<const char *>(data), size);
  if (face != nullptr) copy = WithFace(data, size, Widen(face));
  copy.append(8, '\0');  // DWORD alignment slack for the last item
  HWND dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                           reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()), nullptr,
                                           QuietDialogProc, 0);
  if (dialog == nullptr) {
    std::fprintf(stderr, "probe: dialog %d of %s cannot be created\n", id, exe);
    return 1;
  }
  int result = Measure(dialog);
  DestroyWindow(dialog);
  return result;
}

int Screen() {
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  HDC dc = GetDC(nullptr);
  int dpi = GetDeviceCaps(dc, LOGPIXELSX);
  ReleaseDC(nullptr, dc);
  std::printf("screen %d %d work %ld %ld %ld %ld dpi %d\n", GetSystemMetrics(SM_CXSCREEN),
              GetSystemMetrics(SM_CYSCREEN), work.left, work.top, work.right, work.bottom, dpi);
  return 0;
}

LRESULT CALLBACK HoldProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

int Hold() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = HoldProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"ProbeHold";
  RegisterClassW(&wc);
  CreateWindowW(L"ProbeHold", L"probe hold", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, wc.hInstance,
                nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "hold") return Hold();
  if (command == "screen") return Screen();
  if (command == "measure-template" && argc > 3)
    return MeasureTemplate(argv[2], std::atoi(argv[3]), argc > 4 ? argv[4] : nullptr);
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: probe hold | screen | wait|gone TITLE SECONDS | dump TITLE |\n"
                 "       syscmd TITLE N | measure-template EXE ID [FACE]\n");
    return 2;
  }
  const char *title = argv[2];
  if (command == "wait" || command == "gone") {
    DWORD limit = GetTickCount() + static_cast<DWORD>(argc > 3 ? std::atoi(argv[3]) : 10) * 1000;
    while (true) {
      Search search = Find(title);
      if (command == "wait" && search.found != nullptr) {
        std::printf("%p %lu\n", static_cast<void *>(search.found), XWindow(search.found));
        return 0;
      }
      if (command == "gone" && search.count == 0) return 0;
      if (static_cast<LONG>(GetTickCount() - limit) > 0) {
        std::fprintf(stderr, "probe: timed out waiting for '%s' (%s)\n", title, command.c_str());
        return 1;
      }
      Sleep(100);
    }
  }
  Search search = Find(title);
  if (command == "dump" && search.found == nullptr && search.visible != nullptr)
    return Dump(search.visible);
  if (search.found == nullptr) {
    std::fprintf(stderr, "probe: no enabled window '%s'\n", title);
    return 1;
  }
  if (command == "dump") return Dump(search.found);
  if (command == "syscmd" && argc > 3) {
    return PostMessageW(search.found, WM_SYSCOMMAND, std::strtoul(argv[3], nullptr, 0), 0) ? 0 : 1;
  }
  std::fprintf(stderr, "probe: unknown command %s\n", command.c_str());
  return 2;
}
