// A helper for the Wine end-to-end test: finds a tool's windows by title and reports what a
// person would see (controls, texts, states, where to click), or keeps the Wine desktop alive.
//
//   probe hold                  run until killed, with one hidden window
//   probe wait TITLE SECONDS    wait for an enabled top-level window TITLE; print its handle
//   probe gone TITLE SECONDS    wait until no top-level window TITLE is left
//   probe dump TITLE            the window and its controls, one per line (see Dump)
//   probe syscmd TITLE COMMAND  post WM_SYSCOMMAND COMMAND (decimal or 0x hex) to it
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
  HWND found = nullptr;
  int count = 0;
};

// A message box has its owner's title at times; the enabled one is the one a person can use.
BOOL CALLBACK Visit(HWND window, LPARAM data) {
  auto *search = reinterpret_cast<Search *>(data);
  wchar_t title[256] = {};
  GetWindowTextW(window, title, 255);
  if (search->title != title || !IsWindowVisible(window)) return TRUE;
  ++search->count;
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
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: probe hold | wait|gone TITLE SECONDS | dump TITLE | syscmd TITLE N\n");
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
