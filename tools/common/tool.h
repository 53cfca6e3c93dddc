// What tells the two settings tools apart, as data. The texts of their dialogs, menus and
// version block live in each tool's resource script; these are the differences in behaviour.
#pragma once

#include <cstdint>

// How a channel's radio choice (0 first button, 1 second, -1 none) maps to the stored number.
enum class ChoiceEncoding {
  kAsIs,      // number = choice; other numbers load as they are and leave the row clear
  kZeroOrTwo  // 2 loads as the second button, any other number as the first; saves 0 or 2
};

struct ToolTraits {
  const char16_t *programName;  // default caption of every message box
  const char16_t *valuePrefix;  // the channel value name is this followed by 0 ... 7
  ChoiceEncoding encoding;
  const char16_t *noticeText;  // shown after OK when not null
  const char16_t *noticeCaption;
};

extern const ToolTraits kPinflipTool;
extern const ToolTraits kFieldflipTool;

// The registry key name both tools give the framework; nothing is stored under it.
inline constexpr char16_t kFrameworkRegistryKey[] = u"Orl MORVANE Preview Toggle";
