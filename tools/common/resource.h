// Resource and control ids shared by the settings tools' code and resource scripts.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_SETTINGS_DIALOG 102
#define IDR_MAINFRAME 128
// Channel row k (0 to 7): label 1000 + 3k, first radio button 1001 + 3k, second 1002 + 3k.
#define IDC_CHANNEL_FIRST 1000
#define IDC_CARD_LIST 1024
// The about entry of the system menu; a multiple of 16, as system commands must be.
#define IDM_ABOUTBOX 0x0010
#define IDC_STATIC (-1)
