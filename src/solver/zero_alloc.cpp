// Zero-filled allocation for the routines that own memory, with a failure
// switch for tests.
#include <cstdlib>

#include "solver.h"

namespace nlfit {

namespace {
int allocationsAllowed = -1;  // negative: no limit
}  // namespace

void* zeroFilledAlloc(std::size_t count, std::size_t size) {
  if (allocationsAllowed == 0) return nullptr;
  if (allocationsAllowed > 0) --allocationsAllowed;
  // Ask for at least one byte so that a successful call never returns null.
  return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

void failAllocationsAfter(int allowed) { allocationsAllowed = allowed; }

}  // namespace nlfit
