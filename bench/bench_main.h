// The run of a benchmark program: standard output of the library goes to
// /dev/null, the report to the original standard output (see bench_main.cpp).
#ifndef NLFIT_BENCH_BENCH_MAIN_H
#define NLFIT_BENCH_BENCH_MAIN_H

// Parses the Google Benchmark flags, calls registerBenchmarks (if not null)
// for benchmarks registered at run time, and runs them. Returns the exit
// status of the program.
int runBenchmarks(int argc, char** argv, void (*registerBenchmarks)());

#endif  // NLFIT_BENCH_BENCH_MAIN_H
