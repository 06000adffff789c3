// The model handles of the fitting API: formulas, the catalogue, evaluation
// and fits with a handle. No exception leaves these functions.
#include <cmath>
#include <cstdint>
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

// A catalogue model of d > 1 predictors: one observation's row at a time.
class BuiltinMultiInstance final : public ModelInstance {
 public:
  BuiltinMultiInstance(NlfitBuiltinFunctionMulti function, std::size_t d, std::size_t n)
      : function_(function), gradient_(builtinMultiGradient(function)), d_(d), n_(n) {}
  void evaluate(const double* params, const double* x, std::size_t m,
                double* values) override {
    for (std::size_t i = 0; i < m; ++i) values[i] = function_(x + i * d_, params);
  }
  bool hasJacobian() const override { return gradient_ != nullptr; }
  void jacobian(const double* params, const double* x, std::size_t m, double* rows) override {
    for (std::size_t i = 0; i < m; ++i) gradient_(x + i * d_, params, rows + i * n_);
  }

 private:
  NlfitBuiltinFunctionMulti function_;
  BuiltinMultiGradient gradient_;
  std::size_t d_;
  std::size_t n_;
};

// gaussian2d: the value and the gradient share each point's exponential.
// The solver asks for the Jacobian where it has just evaluated the model;
// the exponentials of that evaluation (up to kPoints points) are kept and
// used when the parameters and the points are the same bits, so the
// Jacobian is the same whether it finds them or computes them.
class Gaussian2dInstance final : public ModelInstance {
 public:
  static constexpr std::size_t kPoints = 256;
  static constexpr std::size_t kN = 5;

  Gaussian2dInstance() : exponentials_(kPoints), points_(2 * kPoints) {}
  void evaluate(const double* params, const double* x, std::size_t m,
                double* values) override {
    const bool keep = m <= kPoints;
    for (std::size_t i = 0; i < m; ++i) {
      const double e = gradients::gaussian2dExponential(x + 2 * i, params);
      values[i] = params[0] * e + params[4];
      if (keep) exponentials_[i] = e;
    }
    count_ = 0;
    if (!keep) return;
    std::memcpy(params_, params, sizeof params_);
    std::memcpy(points_.data(), x, 2 * m * sizeof(double));
    count_ = m;
  }
  bool hasJacobian() const override { return true; }
  void jacobian(const double* params, const double* x, std::size_t m, double* rows) override {
    const bool kept = m == count_ && m > 0 && std::memcmp(params, params_, sizeof params_) == 0 &&
                      std::memcmp(x, points_.data(), 2 * m * sizeof(double)) == 0;
    for (std::size_t i = 0; i < m; ++i) {
      const double e = kept ? exponentials_[i] : gradients::gaussian2dExponential(x + 2 * i, params);
      gradients::gaussian2dAt(x + 2 * i, params, e, rows + i * kN);
    }
  }

 private:
  std::vector<double> exponentials_;  // of the last evaluation, count_ of them
  std::vector<double> points_;        // its points
  double params_[kN] = {};            // its parameters
  std::size_t count_ = 0;
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

// A handle on a catalogue entry (of one predictor or several): its name,
// formula, description and parameters.
template <typename Entry>
std::unique_ptr<nlfit_model> catalogueModel(const Entry& entry) {
  std::unique_ptr<nlfit_model> model(new nlfit_model);
  model->name = entry.name;
  model->formula = entry.formula;
  model->description = entry.description;
  model->parameters.assign(entry.parameters, entry.parameters + entry.parameterCount);
  return model;
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
    if (model.builtinMulti != nullptr && model.builtinMulti->function == nlfitModelGaussian2d)
      return std::unique_ptr<ModelInstance>(new Gaussian2dInstance());
    if (model.builtinMulti != nullptr)
      return std::unique_ptr<ModelInstance>(
          new BuiltinMultiInstance(model.builtinMulti->function, model.predictors.size(),
                                   model.parameters.size()));
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
  return nlfit_model_formula_predictors(expression, nullptr, 0, parameter_names, name_count, error,
                                        error_size);
}

nlfit_model* nlfit_model_formula_predictors(const char* expression,
                                            const char* const* predictor_names,
                                            size_t predictor_count,
                                            const char* const* parameter_names, size_t name_count,
                                            char* error, size_t error_size) {
  if (expression == nullptr || (parameter_names == nullptr && name_count > 0) ||
      (predictor_names == nullptr && predictor_count > 0)) {
    nlfit::writeError(error, error_size, "null formula, predictor or parameter names");
    return nullptr;
  }
  try {
    std::vector<std::string> predictors;
    for (std::size_t k = 0; k < predictor_count; ++k) {
      if (predictor_names[k] == nullptr) {
        nlfit::writeError(error, error_size, "null predictor name");
        return nullptr;
      }
      predictors.emplace_back(predictor_names[k]);
    }
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
    if (!nlfit::compileFormula(expression, predictors, names, model.get(), &message)) {
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
      std::unique_ptr<nlfit_model> model = nlfit::catalogueModel(entry);
      model->builtin = &entry;
      return model.release();
    } catch (...) {
      return nullptr;
    }
  }
  for (const NlfitBuiltinMultiModel& entry : kNlfitBuiltinMultiModels) {
    if (!nlfit::sameNameIgnoringCase(entry.name, name)) continue;
    try {
      std::unique_ptr<nlfit_model> model = nlfit::catalogueModel(entry);
      model->builtinMulti = &entry;
      model->predictors.clear();
      for (int k = 0; k < entry.predictorCount; ++k)
        model->predictors.push_back("x" + std::to_string(k + 1));
      return model.release();
    } catch (...) {
      return nullptr;
    }
  }
  return nullptr;
}

size_t nlfit_model_builtin_count(void) {
  return static_cast<size_t>(kNlfitBuiltinModelCount) +
         static_cast<size_t>(kNlfitBuiltinMultiModelCount);
}

const char* nlfit_model_builtin_name(size_t index) {
  const size_t single = static_cast<size_t>(kNlfitBuiltinModelCount);
  if (index < single) return kNlfitBuiltinModels[index].name;
  return index - single < static_cast<size_t>(kNlfitBuiltinMultiModelCount)
             ? kNlfitBuiltinMultiModels[index - single].name
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

size_t nlfit_model_predictor_count(const nlfit_model* model) {
  return model == nullptr ? 0 : model->predictors.size();
}

const char* nlfit_model_predictor_name(const nlfit_model* model, size_t index) {
  if (model == nullptr || index >= model->predictors.size()) return nullptr;
  return model->predictors[index].c_str();
}

int nlfit_model_evaluate(const nlfit_model* model, const double* params, const double* x,
                         size_t m, double* values) {
  return nlfit_model_evaluate_multi(model, params, x, m, 1, values);
}

int nlfit_model_evaluate_multi(const nlfit_model* model, const double* params, const double* x,
                               size_t m, size_t d, double* values) {
  if (model == nullptr || params == nullptr || ((x == nullptr || values == nullptr) && m > 0))
    return NLFIT_REFUSED_NULL_POINTER;
  if (d != model->predictors.size()) return NLFIT_REFUSED_BAD_MODEL;
  if (m > SIZE_MAX / d) return NLFIT_REFUSED_COUNTS;
  std::unique_ptr<nlfit::ModelInstance> instance = nlfit::newModelInstance(*model);
  if (!instance) return NLFIT_REFUSED_OUT_OF_MEMORY;
  instance->evaluate(params, x, m, values);
  return 0;
}

int nlfit_fit_model(const nlfit_model* model, size_t n, double* params, size_t m, const double* x,
                    const double* y, const nlfit_options* options, nlfit_result* result) {
  return nlfit_fit_model_multi(model, n, params, m, 1, x, y, options, result);
}

int nlfit_fit_model_multi(const nlfit_model* model, size_t n, double* params, size_t m, size_t d,
                          const double* x, const double* y, const nlfit_options* options,
                          nlfit_result* result) {
  if (model == nullptr) return nlfit::refuseInto(result, NLFIT_REFUSED_NULL_POINTER);
  if (n != model->parameters.size() || d != model->predictors.size())
    return nlfit::refuseInto(result, NLFIT_REFUSED_BAD_MODEL);
  // A handle brings its own derivatives: the caller's would get the wrong
  // user pointer.
  if (options != nullptr && (options->jacobian != nullptr || options->gradient != nullptr))
    return nlfit::refuseInto(result, NLFIT_REFUSED_BAD_OPTION);
  std::unique_ptr<nlfit::ModelInstance> instance = nlfit::newModelInstance(*model);
  if (!instance) return nlfit::refuseInto(result, NLFIT_REFUSED_OUT_OF_MEMORY);
  nlfit_options withDerivatives;
  if (!nlfit::withInstanceDerivatives(options, instance.get(), &withDerivatives))
    return nlfit::refuseInto(result, NLFIT_REFUSED_BAD_OPTION);
  return nlfit_fit_vectorized_multi(nlfit::evaluateInstance, instance.get(), n, params, m, d, x,
                                    y, &withDerivatives, result);
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
