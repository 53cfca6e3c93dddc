// Reads the tools' resource scripts (the subset they use: object-like #define, #include,
// LANGUAGE, DIALOGEX with CONTROL lines, STRINGTABLE, ICON, VERSIONINFO and file resources), so
// the headless window system runs the very dialog templates the programs are built with.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/common/platform.h"

struct ControlTemplate {
  std::u16string text;
  int textResource = 0;  // a control whose text is a resource number (an icon's) has it here
  int id = 0;
  std::string className;  // lower case: "button", "static", "combobox", ...
  DWORD style = 0;
  DWORD exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
};

struct DialogTemplate {
  DWORD style = 0;
  DWORD exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::u16string caption;
  int fontSize = 0;
  std::u16string fontFace;
  std::vector<ControlTemplate> controls;  // in z (tab) order
};

struct ResourceScript {
  std::map<UINT, DialogTemplate> dialogs;
  std::map<UINT, std::u16string> strings;
  std::set<UINT> icons;
  unsigned language = 0;  // MAKELANGID of the last LANGUAGE statement
};

class ResourceScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the script and the scripts it includes ("..." from the including file's folder or
// includeDirs; <...> system headers are skipped, their names known built in).
ResourceScript LoadResourceScript(const std::string &path,
                                  const std::vector<std::string> &includeDirs);
