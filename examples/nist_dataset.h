// The NIST StRD file reader lives with the data readers; this name is kept
// for the host program, the tests and the benchmarks.
#include "../src/data/nist_dataset.h"
