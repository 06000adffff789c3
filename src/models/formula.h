// Private: formula models, compiled with muparser.
#ifndef NLFIT_MODELS_FORMULA_H
#define NLFIT_MODELS_FORMULA_H

#include <memory>
#include <string>
#include <vector>

#include "models/model_handle.h"
#include "models/model_instance.h"

namespace nlfit {

// Checks a formula and fills model (formula, expression, predictors,
// parameters, name, description). predictors: the predictor names, each of
// which must occur, or empty for the one predictor x. names: the parameter
// order, or empty for the order of first appearance. Returns false with a
// message (positions counted from 1). May throw std::bad_alloc.
bool compileFormula(const std::string& formula, const std::vector<std::string>& predictors,
                    const std::vector<std::string>& names, nlfit_model* model,
                    std::string* error);

// A new evaluator of a formula model, with its own parser. May throw.
std::unique_ptr<ModelInstance> newFormulaInstance(const nlfit_model& model);

// The same, evaluated point by point by muparser's own evaluator: the
// reference the formula layer's own loop is checked against.
std::unique_ptr<ModelInstance> newFormulaInstanceParserOnly(const nlfit_model& model);

}  // namespace nlfit

#endif  // NLFIT_MODELS_FORMULA_H
