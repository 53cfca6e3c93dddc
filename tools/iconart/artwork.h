// The tools' icon pictures, drawn at any size.
#pragma once

#include <string>

#include "tools/iconart/icon_file.h"

enum class Artwork {
  kPinflip,   // a screen with a play mark: preview or capture
  kFieldflip  // a screen of alternating lines: the two fields
};

Picture DrawArtwork(Artwork artwork, int size);

// The nine images of a tool's icon: 48, 32 and 16 pixels in 16 colours, 256 colours and
// 24-bit colour.
std::vector<IconImage> ToolIconImages(Artwork artwork);
