// infcheck: reads the driver package's INF with the platform's setup functions, as the
// platform's installer would, and installs its registry and service sections into the
// registry, then reads back what they wrote.
//
//   infcheck INF HARDWARE-ID...
//
// The INF's folder must hold the files it copies. Each problem found is printed on a line of
// its own; the exit code is 0 only when there is none.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

int problems = 0;

std::string Narrow(const std::wstring &text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

std::wstring Widen(const std::string &text) { return std::wstring(text.begin(), text.end()); }

bool EndsWith(const std::wstring &text, const std::wstring &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::wstring Lower(std::wstring s) {
  for (wchar_t &c : s) c = static_cast<wchar_t>(towlower(c));
  return s;
}

void Problem(const std::string &what) {
  ++problems;
  std::printf("PROBLEM: %s\n", what.c_str());
}

void Check(bool ok, const std::string &what) {
  if (ok) {
    std::printf("ok - %s\n", what.c_str());
  } else {
    Problem(what);
  }
}

std::wstring Field(INFCONTEXT &line, DWORD index) {
  wchar_t buffer[1024];
  DWORD size = 0;
  if (!SetupGetStringFieldW(&line, index, buffer, 1024, &size)) return L"";
  return buffer;
}

std::vector<std::wstring> Fields(INFCONTEXT &line) {
  std::vector<std::wstring> fields;
  DWORD count = SetupGetFieldCount(&line);
  for (DWORD i = 1; i <= count; ++i) fields.push_back(Field(line, i));
  return fields;
}

// Every line of a section with the key (or all lines when key is null).
std::vector<INFCONTEXT> Lines(HINF inf, const std::wstring &section, const wchar_t *key) {
  std::vector<INFCONTEXT> lines;
  INFCONTEXT line;
  if (!SetupFindFirstLineW(inf, section.c_str(), key, &line)) return lines;
  do lines.push_back(line);
  while (key != nullptr ? SetupFindNextMatchLineW(&line, key, &line)
                        : SetupFindNextLine(&line, &line));
  return lines;
}

std::wstring Value(HINF inf, const std::wstring &section, const wchar_t *key) {
  std::vector<INFCONTEXT> lines = Lines(inf, section, key);
  return lines.empty() ? L"" : Field(lines[0], 1);
}

bool SectionExists(HINF inf, const std::wstring &section) {
  return SetupGetLineCountW(inf, section.c_str()) >= 0;
}

// The registry value as text (numbers in decimal), or "" when missing.
std::wstring RegText(HKEY root, const std::wstring &key, const wchar_t *name, DWORD *type) {
  BYTE data[2048] = {};
  DWORD size = sizeof data - 2;
  *type = REG_NONE;
  if (RegGetValueW(root, key.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, type, data, &size) !=
      ERROR_SUCCESS)
    return L"";
  if (*type == REG_DWORD) return std::to_wstring(*reinterpret_cast<DWORD *>(data));
  if (*type == REG_SZ || *type == REG_EXPAND_SZ) return reinterpret_cast<wchar_t *>(data);
  return L"?";
}

const wchar_t kCapture[] = L"{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
const wchar_t kVideo[] = L"{6994ad05-93ef-11d0-a3cc-00a0c9223196}";
const wchar_t kAudio[] = L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}";
const wchar_t kProxy[] = L"{17cca71b-ecd7-11d0-b908-00a0c9223196}";
const wchar_t kMediaClass[] = L"{4d36e96c-e325-11ce-bfc1-08002be10318}";
const wchar_t kControl[] = L"SYSTEM\\CurrentControlSet\\";

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: infcheck INF HARDWARE-ID...\n");
    return 2;
  }
  wchar_t full[MAX_PATH];
  GetFullPathNameW(Widen(argv[1]).c_str(), MAX_PATH, full, nullptr);
  std::wstring path = full;
  std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);

  // What an earlier run installed must not pass for this one's work.
  const std::wstring instance = Widen(argv[2]) + L"\\4&2d5b8c1&0&0800";
  std::string linkInstance = Narrow(instance);
  for (char &c : linkInstance)
    if (c == '\\') c = '#';
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kControl) + L"Enum\\" + instance).c_str());
  for (const wchar_t *category : {kCapture, kVideo, kAudio})
    RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                   (std::wstring(kControl) + L"Control\\DeviceClasses\\" + category + L"\\##?#" +
                    Widen(linkInstance) + L"#" + category)
                       .c_str());
  if (SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
    if (SC_HANDLE old = OpenServiceW(manager, L"morvane", DELETE)) {
      DeleteService(old);
      CloseServiceHandle(old);
    }
    CloseServiceHandle(manager);
  }
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring copiedDriver = std::wstring(system) + L"\\drivers\\morvane.sys";
  DeleteFileW(copiedDriver.c_str());

  UINT errorLine = 0;
  HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
  if (inf == INVALID_HANDLE_VALUE) {
    Problem("SetupOpenInfFile refuses " + std::string(argv[1]) + ": error " +
            std::to_string(GetLastError()) + " at line " + std::to_string(errorLine));
    return 1;
  }

  // --- [Version]
  Check(Lower(Value(inf, L"Version", L"Signature")) == L"$windows nt$",
        "[Version] Signature is $Windows NT$");
  Check(Lower(Value(inf, L"Version", L"Class")) == L"media", "[Version] Class is MEDIA");
  Check(Lower(Value(inf, L"Version", L"ClassGuid")) == kMediaClass,
        "[Version] ClassGuid is the MEDIA class's");
  Check(!Value(inf, L"Version", L"Provider").empty(), "[Version] names a Provider");
  {
    std::vector<INFCONTEXT> ver = Lines(inf, L"Version", L"DriverVer");
    int m = 0, d = 0, y = 0, a = 0, b = 0, c = 0, e = 0;
    bool ok = !ver.empty() && swscanf(Field(ver[0], 1).c_str(), L"%d/%d/%d", &m, &d, &y) == 3 &&
              swscanf(Field(ver[0], 2).c_str(), L"%d.%d.%d.%d", &a, &b, &c, &e) == 4 && m >= 1 &&
              m <= 12 && d >= 1 && d <= 31 && y >= 2000;
    Check(ok, "[Version] DriverVer is a date and a four-part version");
  }
  Check(Lower(Value(inf, L"Version", L"CatalogFile")) == L"morvane.cat",
        "[Version] CatalogFile is morvane.cat");

  // --- [Manufacturer] and the models for x64
  std::map<std::wstring, std::wstring> models;  // hardware ID (lower) -> install section
  for (INFCONTEXT &line : Lines(inf, L"Manufacturer", nullptr)) {
    std::vector<std::wstring> f = Fields(line);
    std::wstring section = f.empty() ? L"" : f[0];
    for (size_t i = 1; i < f.size(); ++i)
      if (Lower(f[i]) == L"ntamd64") section += L".NTamd64";
    if (!SectionExists(inf, section)) {
      Problem("the models section [" + Narrow(section) + "] is missing");
      continue;
    }
    for (INFCONTEXT &model : Lines(inf, section, nullptr)) {
      std::vector<std::wstring> mf = Fields(model);
      for (size_t i = 1; i < mf.size(); ++i) models[Lower(mf[i])] = mf[0];
    }
  }
  std::set<std::wstring> installs;
  for (int i = 2; i < argc; ++i) {
    auto found = models.find(Lower(Widen(argv[i])));
    Check(found != models.end(), std::string("a model for ") + argv[i]);
    if (found != models.end()) installs.insert(found->second);
  }
  Check(installs.size() == 1, "both boards install from one section");
  if (installs.size() != 1) return 1;
  const std::wstring install = *installs.begin() + L".NTamd64";
  Check(SectionExists(inf, install), "the install section [" + Narrow(install) + "] exists");

  // --- Include/Needs: the platform's kernel-streaming sections, from the INFs it includes
  std::vector<std::wstring> includes, needs;
  for (INFCONTEXT &line : Lines(inf, install, L"Include"))
    for (const std::wstring &f : Fields(line)) includes.push_back(Lower(f));
  for (INFCONTEXT &line : Lines(inf, install, L"Needs"))
    for (const std::wstring &f : Fields(line)) needs.push_back(f);
  Check(includes == std::vector<std::wstring>{L"ks.inf", L"kscaptur.inf"},
        "Include = ks.inf, kscaptur.inf");
  Check(needs.size() == 2 && Lower(needs[0]) == L"ks.registration" &&
            Lower(needs[1]) == L"kscaptur.registration.nt",
        "Needs = KS.Registration, KSCAPTUR.Registration.NT");
  for (const std::wstring &name : includes)
    Check(SetupOpenAppendInfFileW(name.c_str(), inf, nullptr) != FALSE,
          "the platform's " + Narrow(name) + " opens");
  for (const std::wstring &section : needs)
    Check(SectionExists(inf, section), "the needed section [" + Narrow(section) + "] exists");

  // --- files
  std::vector<std::wstring> copied;
  for (INFCONTEXT &line : Lines(inf, install, L"CopyFiles"))
    for (const std::wstring &section : Fields(line))
      for (INFCONTEXT &file : Lines(inf, section, nullptr)) copied.push_back(Lower(Field(file, 1)));
  Check(copied == std::vector<std::wstring>{L"morvane.sys"}, "the install copies morvane.sys");
  {
    UINT disk = 0;
    DWORD size = 0;
    wchar_t sub[MAX_PATH];
    Check(SetupGetSourceFileLocationW(inf, nullptr, L"morvane.sys", &disk, sub, MAX_PATH, &size) !=
                  FALSE &&
              disk == 1,
          "morvane.sys is on a source disk");
  }

  // --- the service
  std::vector<INFCONTEXT> adds = Lines(inf, install + L".Services", L"AddService");
  Check(adds.size() == 1, "one AddService");
  if (!adds.empty()) {
    INT flags = 0;
    SetupGetIntField(&adds[0], 2, &flags);
    Check(Field(adds[0], 1) == L"morvane" && (flags & SPSVCINST_ASSOCSERVICE) != 0,
          "AddService = morvane as the function driver (flag 0x2)");
    const std::wstring service = Field(adds[0], 3);
    Check(Value(inf, service, L"ServiceType") == L"1", "ServiceType is a kernel driver (1)");
    Check(Value(inf, service, L"StartType") == L"3", "StartType is demand start (3)");
    Check(Value(inf, service, L"ErrorControl") == L"1", "ErrorControl is normal (1)");
    // The setup functions hand out %12% already resolved.
    Check(EndsWith(Lower(Value(inf, service, L"ServiceBinary")), L"\\drivers\\morvane.sys"),
          "ServiceBinary is morvane.sys in the drivers folder (%12%)");
  }
  Check(SetupInstallServicesFromInfSectionW(inf, (install + L".Services").c_str(), 0) != FALSE,
        "SetupInstallServicesFromInfSection installs the service (error " +
            std::to_string(GetLastError()) + ")");
  const std::wstring serviceKey = std::wstring(kControl) + L"Services\\morvane";
  DWORD type = 0;
  Check(RegText(HKEY_LOCAL_MACHINE, serviceKey, L"Type", &type) == L"1" && type == REG_DWORD,
        "the service key: Type 1");
  Check(RegText(HKEY_LOCAL_MACHINE, serviceKey, L"Start", &type) == L"3",
        "the service key: Start 3");
  Check(RegText(HKEY_LOCAL_MACHINE, serviceKey, L"ErrorControl", &type) == L"1",
        "the service key: ErrorControl 1");
  std::wstring image = Lower(RegText(HKEY_LOCAL_MACHINE, serviceKey, L"ImagePath", &type));
  Check(EndsWith(image, L"\\drivers\\morvane.sys"),
        "the service key: ImagePath ends in drivers\\morvane.sys (" + Narrow(image) + ")");
  Check(!RegText(HKEY_LOCAL_MACHINE, serviceKey, L"DisplayName", &type).empty(),
        "the service key: a DisplayName");

  // --- the device: its hardware key and files, as for a card at the first ID
  const std::wstring deviceKey = std::wstring(kControl) + L"Enum\\" + instance;
  HKEY hardware = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, (deviceKey + L"\\Device Parameters").c_str(), 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &hardware, nullptr);
  PVOID queue = SetupInitDefaultQueueCallbackEx(
      nullptr, reinterpret_cast<HWND>(INVALID_HANDLE_VALUE), 0, 0, nullptr);
  Check(SetupInstallFromInfSectionW(nullptr, inf, install.c_str(), SPINST_REGISTRY | SPINST_FILES,
                                    hardware, folder.c_str(), SP_COPY_NEWER,
                                    SetupDefaultQueueCallbackW, queue, nullptr, nullptr) != FALSE,
        "SetupInstallFromInfSection installs [" + Narrow(install) + "] (error " +
            std::to_string(GetLastError()) + ")");
  SetupTermDefaultQueueCallback(queue);
  Check(GetFileAttributesW(copiedDriver.c_str()) != INVALID_FILE_ATTRIBUTES,
        "morvane.sys was copied to the drivers folder");
  if (hardware != nullptr) RegCloseKey(hardware);

  // --- interfaces: each filter in capture and in video or audio, named, with the proxy
  std::vector<INFCONTEXT> interfaces = Lines(inf, install + L".Interfaces", L"AddInterface");
  Check(interfaces.size() == 32,
        "32 AddInterface lines (" + std::to_string(interfaces.size()) + ")");
  std::map<std::wstring, std::set<std::wstring>> categories;  // reference -> categories
  std::map<std::wstring, std::wstring> names;                 // reference -> name
  for (INFCONTEXT &line : interfaces) {
    const std::wstring category = Lower(Field(line, 1));
    const std::wstring reference = Field(line, 2);
    const std::wstring section = Field(line, 3);
    categories[Lower(reference)].insert(category);
    if (!SectionExists(inf, section)) {
      Problem("the interface section [" + Narrow(section) + "] is missing");
      continue;
    }
    for (INFCONTEXT &add : Lines(inf, section, L"AddReg"))
      for (const std::wstring &addReg : Fields(add))
        if (!SectionExists(inf, addReg))
          Problem("the AddReg section [" + Narrow(addReg) + "] of [" + Narrow(section) +
                  "] is missing");
    // The interface's own key, where the platform's setup sends the section's HKR.
    const std::wstring key = std::wstring(kControl) + L"Control\\DeviceClasses\\" + category +
                             L"\\##?#" + Widen(linkInstance) + L"#" + category + L"\\#" +
                             reference + L"\\Device Parameters";
    HKEY hkr = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkr,
                    nullptr);
    if (!SetupInstallFromInfSectionW(nullptr, inf, section.c_str(), SPINST_REGISTRY, hkr, nullptr,
                                     0, nullptr, nullptr, nullptr, nullptr))
      Problem("[" + Narrow(section) + "] does not install (error " +
              std::to_string(GetLastError()) + ")");
    if (hkr != nullptr) RegCloseKey(hkr);
    const std::wstring name = RegText(HKEY_LOCAL_MACHINE, key, L"FriendlyName", &type);
    const std::wstring clsid = Lower(RegText(HKEY_LOCAL_MACHINE, key, L"CLSID", &type));
    if (clsid != kProxy)
      Problem("[" + Narrow(section) + "] sets CLSID " + Narrow(clsid) + ", not the proxy's");
    if (names.count(Lower(reference)) != 0 && names[Lower(reference)] != name)
      Problem(Narrow(reference) + " has two names");
    names[Lower(reference)] = name;
  }
  std::set<std::wstring> expected, got;
  for (int n = 1; n <= 8; ++n) {
    expected.insert(L"MORVANE Video " + std::to_wstring(n));
    expected.insert(L"MORVANE Audio " + std::to_wstring(n));
  }
  for (const auto &[reference, cats] : categories) {
    const std::wstring name = names[reference];
    got.insert(name);
    const bool video = name.rfind(L"MORVANE Video ", 0) == 0;
    std::set<std::wstring> want = {kCapture, video ? kVideo : kAudio};
    if (cats != want)
      Problem(Narrow(reference) + " (" + Narrow(name) + ") is not in capture and " +
              (video ? "video" : "audio") + " alone");
  }
  Check(categories.size() == 16, "sixteen filters (" + std::to_string(categories.size()) + ")");
  Check(got == expected, "named MORVANE Video 1-8 and MORVANE Audio 1-8, one name each");

  SetupCloseInfFile(inf);
  std::printf("infcheck: %s\n", problems == 0 ? "the package installs as it should"
                                              : (std::to_string(problems) + " problem(s)").c_str());
  return problems == 0 ? 0 : 1;
}
