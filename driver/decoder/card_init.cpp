#include "decoder/decoder.h"

// The decoder bring-up sequence is added with the decoder code; until then a started
// card is left as the reset put it.
void InitializeCard(CCaptureDevice *) {}
