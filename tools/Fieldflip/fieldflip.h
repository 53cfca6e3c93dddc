// Fieldflip: per channel, whether frames are woven from both fields or built from one.
#pragma once

#include "tools/common/settings_dialog.h"

class CFieldflipDlg : public CSettingsDlg {
 public:
  explicit CFieldflipDlg(CWnd *parent = nullptr) : CSettingsDlg(kFieldflipTool, parent) {}
};

class CFieldflipApp : public CWinApp {
 public:
  CFieldflipApp() : CWinApp(kFieldflipTool.programName) {}
  BOOL InitInstance() override { return RunSettingsTool<CFieldflipDlg>(*this); }
};
