// Private: the content of a model handle. Immutable once made.
#ifndef NLFIT_MODEL_HANDLE_H
#define NLFIT_MODEL_HANDLE_H

#include <string>
#include <vector>

#include "models/builtin_models.h"
#include "nlfit/model.h"

struct nlfit_model {
  std::string name;         // catalogue name, or "formula"
  std::string formula;      // as written (shown to users)
  std::string description;  // one line; the formula for a formula model
  std::vector<std::string> parameters;
  // The predictors, d of them: an observation's x is d values in this order.
  std::vector<std::string> predictors{"x"};
  // A catalogue model: its C function; null for a formula model.
  const NlfitBuiltinModel* builtin = nullptr;
  // A catalogue model of several predictors; null otherwise.
  const NlfitBuiltinMultiModel* builtinMulti = nullptr;
  // A formula model: the text the parser compiles (** written as ^ plus a
  // space, so every position is that of the formula as written).
  std::string expression;
};

#endif  // NLFIT_MODEL_HANDLE_H
