// How parameters print when a parameterised test fails: by name, not as a dump of bytes.
#pragma once

#include <ostream>

#include "sim/card/card.h"

namespace sim {

// Found by argument-dependent lookup, so it lives beside the card.
inline void PrintTo(Card::Variant variant, std::ostream *os) {
  *os << (variant == Card::Variant::Device6864 ? "Device6864" : "Standard");
}

}  // namespace sim
