// The model handles of the fitting API: formulas, the catalogue, evaluation
// and fits with a handle. No exception leaves these functions.
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "api/api.h"
#include "api/struct_prefix.h"
#include "models/builtin_gradients.h"
#include "models/formula.h"
#include "models/model_handle.h"
#include "models/model_instance.h"
#include "nlfit/fit.h"

namespace nlfit {
namespace {

class BuiltinInstance final : public ModelInstance {
 public:
  BuiltinInstance(NlfitBuiltinFunction function, std::size_t n)
      : function_(function), gradient_(builtinGradient(function)), n_(n) {}
  void evaluate(const double* params, const double* x, std::size_t m,
                double* values) override {
    for (std::size_t i = 0; i < m; ++i) values[i] = function_(x[i], params);
  }
  bool hasJacobian() const override { return gradient_ != nullptr; }
  void jacobian(const double* params, const double* x, std::size_t m, double* rows) override {
    for (std::size_t i = 0; i < m; ++i) gradient_(x[i], params, rows + i * n_);
  }

 private:
  NlfitBuiltinFunction function_;
  BuiltinGradient gradient_;
  std::size_t n_;
};

bool sameNameIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char ca = *a, cb = *b;
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<char>(cb - 'A' + 'a');
    if (ca != cb) return false;
  }
  return *a == *b;
}

void writeError(char* error, std::size_t size, const std::string& message) {
  if (error == nullptr || size == 0) return;
  const std::size_t n = message.size() < size - 1 ? message.size() : size - 1;
  std::memcpy(error, message.data(), n);
  error[n] = '\0';
}

// The fit's vector model: a ModelInstance.
int evaluateInstance(const double* params, const double* x, std::size_t m, double* values,
                     void* user) {
  static_cast<ModelInstance*>(user)->evaluate(params, x, m, values);
  return 0;
}

}  // namespace

int instanceJacobian(const double* params, const double* x, std::size_t m, std::size_t,
                     double* rows, void* user) {
  static_cast<ModelInstance*>(user)->jacobian(params, x, m, rows);
  return 0;
}

bool withInstanceDerivatives(const nlfit_options* given, ModelInstance* instance,
                             nlfit_options* out) {
  // The caller's prefix over the defaults, then passed on whole.
  if (!readPrefix(given, out)) return false;
  out->struct_size = sizeof(nlfit_options);
  if (out->derivatives == NLFIT_DERIVATIVES_EXACT && instance->hasJacobian()) {
    out->jacobian = instanceJacobian;
  }
  return true;
}

std::unique_ptr<ModelInstance> newModelInstance(const nlfit_model& model) {
  try {
    if (model.builtin != nullptr)
      return std::unique_ptr<ModelInstance>(
          new BuiltinInstance(model.builtin->function, model.parameters.size()));
    return newFormulaInstance(model);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace nlfit

extern "C" {

nlfit_model* nlfit_model_formula(const char* expression, const char* const* parameter_names,
                                 size_t name_count, char* error, size_t error_size) {
  if (expression == nullptr || (parameter_names == nullptr && name_count > 0)) {
    nlfit::writeError(error, error_size, "null formula or parameter names");
    return nullptr;
  }
  try {
    std::vector<std::string> names;
    for (std::size_t j = 0; j < name_count; ++j) {
      if (parameter_names[j] == nullptr) {
        nlfit::writeError(error, error_size, "null parameter name");
        return nullptr;
      }
      names.emplace_back(parameter_names[j]);
    }
    std::unique_ptr<nlfit_model> model(new nlfit_model);
    std::string message;
    if (!nlfit::compileFormula(expression, names, model.get(), &message)) {
      nlfit::writeError(error, error_size, message);
      return nullptr;
    }
    nlfit::writeError(error, error_size, "");
    return model.release();
  } catch (const std::bad_alloc&) {
    nlfit::writeError(error, error_size, "out of memory");
  } catch (...) {
    nlfit::writeError(error, error_size, "the formula could not be compiled");
  }
  return nullptr;
}

nlfit_model* nlfit_model_builtin(const char* name) {
  if (name == nullptr) return nullptr;
  for (const NlfitBuiltinModel& entry : kNlfitBuiltinModels) {
    if (!nlfit::sameNameIgnoringCase(entry.name, name)) continue;
    try {
      std::unique_ptr<nlfit_model> model(new nlfit_model);
      model->name = entry.name;
      model->formula = entry.formula;
      model->description = entry.description;
      model->parameters.assign(entry.parameters, entry.parameters + entry.parameterCount);
      model->builtin = &entry;
      return model.release();
    } catch (...) {
      return nullptr;
    }
  }
  return nullptr;
}

size_t nlfit_model_builtin_count(void) { return kNlfitBuiltinModelCount; }

const char* nlfit_model_builtin_name(size_t index) {
  return index < static_cast<size_t>(kNlfitBuiltinModelCount) ? kNlfitBuiltinModels[index].name
                                                               : nullptr;
}

void nlfit_model_free(nlfit_model* model) { delete model; }

size_t nlfit_model_parameter_count(const nlfit_model* model) {
  return model == nullptr ? 0 : model->parameters.size();
}

const char* nlfit_model_parameter_name(const nlfit_model* model, size_t index) {
  if (model == nullptr || index >= model->parameters.size()) return nullptr;
  return model->parameters[index].c_str();
}

const char* nlfit_model_formula_text(const nlfit_model* model) {
  return model == nullptr ? nullptr : model->formula.c_str();
}

const char* nlfit_model_name(const nlfit_model* model) {
  return model == nullptr ? nullptr : model->name.c_str();
}

const char* nlfit_model_description(const nlfit_model* model) {
  return model == nullptr ? nullptr : model->description.c_str();
}

int nlfit_model_evaluate(const nlfit_model* model, const double* params, const double* x,
                         size_t m, double* values) {
  if (model == nullptr || params == nullptr || ((x == nullptr || values == nullptr) && m > 0))
    return NLFIT_REFUSED_NULL_POINTER;
  std::unique_ptr<nlfit::ModelInstance> instance = nlfit::newModelInstance(*model);
  if (!instance) return NLFIT_REFUSED_OUT_OF_MEMORY;
  instance->evaluate(params, x, m, values);
  return 0;
}

int nlfit_fit_model(const nlfit_model* model, size_t n, double* params, size_t m, const double* x,
                    const double* y, const nlfit_options* options, nlfit_result* result) {
  if (model == nullptr) return nlfit::refuseInto(result, NLFIT_REFUSED_NULL_POINTER);
  if (n != model->parameters.size()) return nlfit::refuseInto(result, NLFIT_REFUSED_BAD_MODEL);
  // A handle brings its own derivatives: the caller's would get the wrong
  // user pointer.
  if (options != nullptr && (options->jacobian != nullptr || options->gradient != nullptr))
    return nlfit::refuseInto(result, NLFIT_REFUSED_BAD_OPTION);
  std::unique_ptr<nlfit::ModelInstance> instance = nlfit::newModelInstance(*model);
  if (!instance) return nlfit::refuseInto(result, NLFIT_REFUSED_OUT_OF_MEMORY);
  nlfit_options withDerivatives;
  if (!nlfit::withInstanceDerivatives(options, instance.get(), &withDerivatives))
    return nlfit::refuseInto(result, NLFIT_REFUSED_BAD_OPTION);
  return nlfit_fit_vectorized(nlfit::evaluateInstance, instance.get(), n, params, m, x, y,
                              &withDerivatives, result);
}

int nlfit_predict_model(const nlfit_model* model, size_t predictors, size_t n,
                        const double* params, const double* covariance, double residual_variance,
                        int64_t dof, double level, size_t k, const double* x, const double* sigma,
                        double* values, double* confidence, double* prediction) {
  if (model == nullptr) return NLFIT_REFUSED_NULL_POINTER;
  if (n != model->parameters.size() || predictors != 1) return NLFIT_REFUSED_BAD_MODEL;
  std::unique_ptr<nlfit::ModelInstance> instance = nlfit::newModelInstance(*model);
  if (!instance) return NLFIT_REFUSED_OUT_OF_MEMORY;
  return nlfit_predict(nlfit::evaluateInstance, instance.get(), predictors, n, params, covariance,
                       residual_variance, dof, level, k, x, sigma, values, confidence,
                       prediction);
}

}  // extern "C"
