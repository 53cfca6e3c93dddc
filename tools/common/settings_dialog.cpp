#include "tools/common/settings_dialog.h"

CSettingsDlg::CSettingsDlg(const ToolTraits &tool, CWnd *parent)
    : CDialog(IDD_SETTINGS_DIALOG, parent), m_tool(tool) {
  m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
  // Until a card is loaded each row shows what the driver uses for a missing value, so saving a
  // row nobody touched keeps the driver's behaviour.
  for (int32_t &choice : m_channelChoice) choice = DefaultChoice(tool.encoding);
}

SettingsStore CSettingsDlg::Store() {
  return SettingsStore(AfxGetApp()->MachineRegistry(), *this, m_tool);
}

void CSettingsDlg::ShowStoreMessage(const std::u16string &text, const std::u16string &caption) {
  MessageBox(text.c_str(), caption.c_str(), MB_OK);
}

void CSettingsDlg::DoDataExchange(CDataExchange *pDX) {
  for (int n = 0; n < kChannelCount; ++n)
    DDX_Radio(pDX, IDC_CHANNEL_FIRST + 1 + 3 * n, m_channelChoice[n]);
}

BOOL CSettingsDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  EnumerateCards();
  for (uint32_t i = 0; i < m_cardCount; ++i) {
    std::u16string entry = u"Card " + Decimal(i + 1);
    SendDlgItemMessage(IDC_CARD_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  }
  SendDlgItemMessage(IDC_CARD_LIST, CB_SETCURSEL, 0);
  LoadCardSettings(0);

  CMenu menu = GetSystemMenu(FALSE);
  if (menu.GetSafeHmenu() != nullptr) {
    std::u16string about = Windows().StringResource(IDS_ABOUTBOX);
    if (!about.empty()) {
      menu.AppendMenu(MF_SEPARATOR);
      menu.AppendMenu(MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }

  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);
  return TRUE;
}

const MessageMapEntry CSettingsDlg::messageEntries[] = {
    afx::OnSysCommand<ThisClass, &ThisClass::OnSysCommand>(),
    afx::OnPaint<ThisClass, &ThisClass::OnPaint>(),
    afx::OnQueryDragIcon<ThisClass, &ThisClass::OnQueryDragIcon>(),
    afx::OnClicked<ThisClass, &ThisClass::OnOkClicked>(IDOK),
    afx::OnSelChange<ThisClass, &ThisClass::OnCardSelChange>(IDC_CARD_LIST),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1001),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1002),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1004),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1005),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1007),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1008),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1010),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1011),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1013),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1014),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1016),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1017),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1019),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1020),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1022),
    afx::OnClicked<ThisClass, &ThisClass::OnChoiceClicked>(1023),
};
const MessageMap CSettingsDlg::messageMap = {&CDialog::messageMap, messageEntries,
                                             std::size(messageEntries)};

void CSettingsDlg::OnSysCommand(UINT nID, LPARAM) {
  if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about;
    about.DoModal();
  } else {
    Default();
  }
}

void CSettingsDlg::OnPaint() {
  if (!IsIconic()) {
    Default();
    return;
  }
  CPaintDC dc(this);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
  RECT rect;
  GetClientRect(&rect);
  int x = (rect.right - rect.left - Windows().SystemMetric(SM_CXICON) + 1) / 2;
  int y = (rect.bottom - rect.top - Windows().SystemMetric(SM_CYICON) + 1) / 2;
  dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CSettingsDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

uint32_t CSettingsDlg::SelectedCard() {
  // No selection, or text typed into the edit field, is CB_ERR: no card.
  return static_cast<uint32_t>(SendDlgItemMessage(IDC_CARD_LIST, CB_GETCURSEL));
}

void CSettingsDlg::OnOkClicked() {
  SaveCardSettings(SelectedCard());
  if (m_tool.noticeText != nullptr) MessageBox(m_tool.noticeText, m_tool.noticeCaption, MB_OK);
  CDialog::OnOK();
}

void CSettingsDlg::OnCardSelChange() { LoadCardSettings(SelectedCard()); }

void CSettingsDlg::OnChoiceClicked() { UpdateData(TRUE); }

void CSettingsDlg::EnumerateCards() {
  m_cardPaths = Store().EnumerateCards();
  m_cardCount = static_cast<uint32_t>(m_cardPaths.size());
}

int32_t CSettingsDlg::LoadCardSettings(uint32_t cardIndex) {
  // A channel the card has no value for shows the driver's default, never the choice of the
  // card shown before (which OK would then write into this card).
  if (cardIndex < m_cardCount)
    for (int32_t &choice : m_channelChoice) choice = DefaultChoice(m_tool.encoding);
  int32_t status = Store().Load(m_cardPaths, cardIndex, m_channelChoice);
  if (status != SettingsStore::kNoSuchCard) UpdateData(FALSE);
  return status;
}

int32_t CSettingsDlg::SaveCardSettings(uint32_t cardIndex) {
  return Store().Save(m_cardPaths, cardIndex, m_channelChoice);
}

void StartSettingsTool(CWinApp &app) {
  INITCOMMONCONTROLSEX controls = {8, ICC_WIN95_CLASSES};
  app.Windows().InitCommonControls(&controls);
  app.CWinApp::InitInstance();
  app.SetRegistryKey(kFrameworkRegistryKey);
}
