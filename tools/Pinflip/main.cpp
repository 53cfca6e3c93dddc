#include "tools/Pinflip/pinflip.h"

CPinflipApp theApp;
