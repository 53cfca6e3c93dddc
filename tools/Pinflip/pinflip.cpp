#include "tools/Pinflip/pinflip.h"

const ToolTraits kPinflipTool = {
    u"Pinflip",
    u"Preview",
    ChoiceEncoding::kAsIs,
    u"The new settings will not be applied until you reboot",
    u"IMPORTANT!",
};
