// Linked with one layer of the simulation whole and only the layers below it: if any of its
// objects needed a layer above, this program would not link. Running it brings up a machine
// and lets a little time pass.
#include "sim/kernel/machine.h"

int main() {
  sim::Machine machine;
  machine.RunFor(sim::kMillisecond);
  return machine.now() == sim::kMillisecond ? 0 : 1;
}
