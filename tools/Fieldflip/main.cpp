#include "tools/Fieldflip/fieldflip.h"

CFieldflipApp theApp;
