#include "tools/Fieldflip/fieldflip.h"

// The driver's interlace setting takes effect at the next pin creation: no notice is needed.
const ToolTraits kFieldflipTool = {
    u"Fieldflip", u"INTMODE", ChoiceEncoding::kZeroOrTwo, nullptr, nullptr,
};
