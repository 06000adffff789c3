// Placeholder entry points; the implementation follows.
#include "nlfit/fit.h"

extern "C" {
void nlfit_options_init(nlfit_options*) {}
int nlfit_fit(nlfit_point_model, void*, size_t, double*, size_t, const double*, const double*,
              const nlfit_options*, nlfit_result*) { return NLFIT_REFUSED_OUT_OF_MEMORY; }
int nlfit_fit_vectorized(nlfit_vector_model, void*, size_t, double*, size_t, const double*,
                         const double*, const nlfit_options*, nlfit_result*) {
  return NLFIT_REFUSED_OUT_OF_MEMORY;
}
int nlfit_fit_residuals(nlfit_residual_function, void*, size_t, double*, size_t,
                        const nlfit_options*, nlfit_result*) {
  return NLFIT_REFUSED_OUT_OF_MEMORY;
}
}
