// Element-wise loops of the solver, built for several vector widths.
//
// Each element is computed on its own, with one correctly rounded IEEE
// operation after another, so the width of the vector registers cannot change
// a result bit; -ffp-contract=off keeps multiplications and additions apart
// in every version. Where the compiler supports it, the loader picks the
// widest version the processor has (512-, 256- or 128-bit); division, whose
// throughput grows with the width, profits most.
#include "solver.h"

#if defined(__x86_64__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define NLFIT_VECTOR_WIDTHS __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
#endif
#ifndef NLFIT_VECTOR_WIDTHS
#define NLFIT_VECTOR_WIDTHS
#endif

namespace nlfit {

NLFIT_VECTOR_WIDTHS
void divideElements(int count, double* v, double divisor) {
  for (int i = 0; i < count; ++i) v[i] = v[i] / divisor;
}

NLFIT_VECTOR_WIDTHS
void differenceQuotients(int count, const double* moved, const double* base, double h,
                         double* out) {
  for (int i = 0; i < count; ++i) out[i] = (moved[i] - base[i]) / h;
}

NLFIT_VECTOR_WIDTHS
void subtractMultiple(int count, double* v, double t, const double* u) {
  for (int i = 0; i < count; ++i) v[i] = v[i] - t * u[i];
}

NLFIT_VECTOR_WIDTHS
void addMultiple(int count, double* v, double t, const double* u) {
  for (int i = 0; i < count; ++i) v[i] = t * u[i] + v[i];
}

}  // namespace nlfit
