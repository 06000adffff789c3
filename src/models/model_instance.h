// Private interface of the model layer: a thread's own evaluator of a model
// handle. A handle is immutable; each fit, or each worker thread of a batch,
// makes its own instance from it (a formula instance owns its own parser).
#ifndef NLFIT_MODEL_INSTANCE_H
#define NLFIT_MODEL_INSTANCE_H

#include <cstddef>
#include <memory>

#include "nlfit/model.h"

namespace nlfit {

class ModelInstance {
 public:
  virtual ~ModelInstance() = default;
  // values[i] = model(x_i; params) for i < m, x_i the d predictor values
  // x[i*d .. i*d+d-1] (d the model's predictor count). Never throws.
  virtual void evaluate(const double* params, const double* x, std::size_t m,
                        double* values) = 0;
  // True when jacobian() gives exact derivatives.
  virtual bool hasJacobian() const { return false; }
  // rows[i*n + j] = d model(x[i]; params) / d params[j] for i < m, n the
  // parameter count. Never throws.
  virtual void jacobian(const double*, const double*, std::size_t, double*) {}
};

// nlfit_jacobian_function over a ModelInstance (user).
int instanceJacobian(const double* params, const double* x, std::size_t m, std::size_t n,
                     double* rows, void* user);

// The options of a fit with instance into out: given (its struct_size
// prefix over the defaults, or the defaults) with the instance's exact
// Jacobian when it has one and they ask for exact derivatives. False when
// given's struct_size is not valid.
bool withInstanceDerivatives(const nlfit_options* given, ModelInstance* instance,
                             nlfit_options* out);

// A new evaluator of model; null when memory could not be obtained. Never
// throws.
std::unique_ptr<ModelInstance> newModelInstance(const nlfit_model& model);

}  // namespace nlfit

#endif  // NLFIT_MODEL_INSTANCE_H
