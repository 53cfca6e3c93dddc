// Pinflip: per channel, whether the channel's video filter offers a capture or a preview pin.
#pragma once

#include "tools/common/settings_dialog.h"

class CPinflipDlg : public CSettingsDlg {
 public:
  explicit CPinflipDlg(CWnd *parent = nullptr) : CSettingsDlg(kPinflipTool, parent) {}
};

class CPinflipApp : public CWinApp {
 public:
  CPinflipApp() : CWinApp(kPinflipTool.programName) {}
  BOOL InitInstance() override { return RunSettingsTool<CPinflipDlg>(*this); }
};
