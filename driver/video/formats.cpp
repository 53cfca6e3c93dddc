#include "video/formats.h"

// The per-channel range lists arrive with the video formats.
void ResetChannelFormats(ULONG) {}
