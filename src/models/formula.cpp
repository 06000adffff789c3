// Formula models: a formula in x (or in the caller's predictor names) is compiled by muparser with its optimiser
// off, so that it is evaluated in the order it is written. The parser knows
// only our own functions and the constant pi; every other name but the
// predictors is a parameter. An evaluator runs muparser's compiled program (its reverse
// Polish bytecode) over blocks of points in a loop of ours: the same
// operations on the same operands in the same order, hence the same bits as
// muparser's own evaluator, which is kept for the programs the loop does not
// cover (comparisons, the ?: operator). The same loop in forward-mode dual
// numbers gives the exact derivatives of a formula; the formulas left to
// muparser's evaluator are fitted with difference derivatives.
#include "models/formula.h"

#include <muParserBase.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace nlfit {
namespace {

// ---- The functions of the formula language -------------------------------

double fSin(double v) { return std::sin(v); }
double fCos(double v) { return std::cos(v); }
double fTan(double v) { return std::tan(v); }
double fAsin(double v) { return std::asin(v); }
double fAcos(double v) { return std::acos(v); }
double fAtan(double v) { return std::atan(v); }
double fSinh(double v) { return std::sinh(v); }
double fCosh(double v) { return std::cosh(v); }
double fTanh(double v) { return std::tanh(v); }
double fAsinh(double v) { return std::asinh(v); }
double fAcosh(double v) { return std::acosh(v); }
double fAtanh(double v) { return std::atanh(v); }
double fExp(double v) { return std::exp(v); }
double fLog(double v) { return std::log(v); }
double fLog10(double v) { return std::log10(v); }
double fLog2(double v) { return std::log2(v); }
double fSqrt(double v) { return std::sqrt(v); }
double fAbs(double v) { return std::fabs(v); }
double fSign(double v) { return v > 0 ? 1.0 : (v < 0 ? -1.0 : v); }
double fErf(double v) { return std::erf(v); }
double fErfc(double v) { return std::erfc(v); }
double fAtan2(double y, double x) { return std::atan2(y, x); }
double fPow(double a, double b) { return std::pow(a, b); }
double fMin(double a, double b) { return std::fmin(a, b); }
double fMax(double a, double b) { return std::fmax(a, b); }
double fNegate(double v) { return -v; }
double fPlus(double v) { return v; }

// Their derivatives: of a unary function at its argument v; of a binary one
// with respect to each argument.
constexpr double kTwoOverSqrtPi = 1.12837916709551257390;
double dSin(double v, double) { return std::cos(v); }
double dCos(double v, double) { return -std::sin(v); }
double dTan(double, double value) { return 1.0 + value * value; }
double dAsin(double v, double) { return 1.0 / std::sqrt(1.0 - v * v); }
double dAcos(double v, double) { return -1.0 / std::sqrt(1.0 - v * v); }
double dAtan(double v, double) { return 1.0 / (1.0 + v * v); }
double dSinh(double v, double) { return std::cosh(v); }
double dCosh(double v, double) { return std::sinh(v); }
double dTanh(double, double value) { return 1.0 - value * value; }
double dAsinh(double v, double) { return 1.0 / std::sqrt(v * v + 1.0); }
double dAcosh(double v, double) { return 1.0 / std::sqrt(v * v - 1.0); }
double dAtanh(double v, double) { return 1.0 / (1.0 - v * v); }
double dLog(double v, double) { return 1.0 / v; }
double dLog10(double v, double) { return 1.0 / (v * 2.30258509299404568402); }
double dLog2(double v, double) { return 1.0 / (v * 0.69314718055994530942); }
double dSqrt(double, double value) { return 0.5 / value; }
double dAbs(double v, double) { return fSign(v); }
double dSign(double, double) { return 0.0; }
double dErf(double v, double) { return kTwoOverSqrtPi * std::exp(-v * v); }
double dErfc(double v, double) { return -kTwoOverSqrtPi * std::exp(-v * v); }
double dNegate(double, double) { return -1.0; }
double dExp(double, double value) { return value; }
double dPlus(double, double) { return 1.0; }
void dAtan2(double y, double x, double* dy, double* dx) {
  const double r2 = x * x + y * y;
  *dy = x / r2;
  *dx = -y / r2;
}
void dPow(double a, double b, double* da, double* db) {
  const double v = std::pow(a, b);
  *da = b * std::pow(a, b - 1.0);
  *db = v * std::log(a);
}
void dMin(double a, double b, double* da, double* db) {
  *da = (b < a) ? 0.0 : 1.0;
  *db = 1.0 - *da;
}
void dMax(double a, double b, double* da, double* db) {
  *da = (a < b) ? 0.0 : 1.0;
  *db = 1.0 - *da;
}

struct UnaryFunction {
  const char* name;
  double (*function)(double);
  double (*derivative)(double, double);  // at the argument, given the value
};
struct BinaryFunction {
  const char* name;
  double (*function)(double, double);
  void (*partials)(double, double, double*, double*);
};

const UnaryFunction kUnaryFunctions[] = {
    {"sin", fSin, dSin},       {"cos", fCos, dCos},       {"tan", fTan, dTan},
    {"asin", fAsin, dAsin},    {"acos", fAcos, dAcos},    {"atan", fAtan, dAtan},
    {"sinh", fSinh, dSinh},    {"cosh", fCosh, dCosh},    {"tanh", fTanh, dTanh},
    {"asinh", fAsinh, dAsinh}, {"acosh", fAcosh, dAcosh}, {"atanh", fAtanh, dAtanh},
    {"exp", fExp, dExp},       {"log", fLog, dLog},       {"ln", fLog, dLog},
    {"log10", fLog10, dLog10}, {"log2", fLog2, dLog2},    {"sqrt", fSqrt, dSqrt},
    {"abs", fAbs, dAbs},       {"sign", fSign, dSign},    {"erf", fErf, dErf},
    {"erfc", fErfc, dErfc},
};
const BinaryFunction kBinaryFunctions[] = {{"atan2", fAtan2, dAtan2},
                                           {"pow", fPow, dPow},
                                           {"min", fMin, dMin},
                                           {"max", fMax, dMax}};
// The sign operators, which the parser calls as functions.
const UnaryFunction kSignOperators[] = {{"-", fNegate, dNegate}, {"+", fPlus, dPlus}};

// The derivative of a function of the language, or null.
double (*unaryDerivative(double (*function)(double)))(double, double) {
  for (const UnaryFunction& f : kUnaryFunctions)
    if (f.function == function) return f.derivative;
  for (const UnaryFunction& f : kSignOperators)
    if (f.function == function) return f.derivative;
  return nullptr;
}
void (*binaryPartials(double (*function)(double, double)))(double, double, double*, double*) {
  for (const BinaryFunction& f : kBinaryFunctions)
    if (f.function == function) return f.partials;
  return nullptr;
}

bool isFunctionName(const std::string& name) {
  for (const UnaryFunction& f : kUnaryFunctions)
    if (name == f.name) return true;
  for (const BinaryFunction& f : kBinaryFunctions)
    if (name == f.name) return true;
  return false;
}

const char kAbscissa[] = "x";
const char kPi[] = "pi";

// ---- Numbers --------------------------------------------------------------

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || isDigit(c); }

// Length of the decimal number at s (digits, an optional fraction, an
// optional exponent), or 0. No sign, no hex, no inf or nan: those are names.
std::size_t numberLength(const char* s) {
  std::size_t i = 0, digits = 0;
  while (isDigit(s[i])) ++i, ++digits;
  if (s[i] == '.') {
    ++i;
    while (isDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (s[i] == 'e' || s[i] == 'E') {
    std::size_t j = i + 1;
    if (s[j] == '+' || s[j] == '-') ++j;
    if (isDigit(s[j])) {
      while (isDigit(s[j])) ++j;
      i = j;
    }
  }
  return i;
}

// The nearest double, whatever the locale; false when out of range.
bool numberValue(const char* s, std::size_t length, double* value) {
  const std::from_chars_result r = std::from_chars(s, s + length, *value);
  return r.ec == std::errc() && r.ptr == s + length;
}

// muparser's hook for numbers.
int readNumber(const mu::char_type* s, int* position, mu::value_type* value) {
  const std::size_t length = numberLength(s);
  if (length == 0) return 0;
  if (!numberValue(s, length, value)) *value = std::numeric_limits<double>::infinity();
  *position += static_cast<int>(length);
  return 1;
}

// ---- The parser -----------------------------------------------------------

class FormulaParser final : public mu::ParserBase {
 public:
  FormulaParser() {
    AddValIdent(readNumber);
    Init();
    EnableOptimizer(false);
  }

 protected:
  void InitCharSets() override {
    DefineNameChars("0123456789_abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    DefineOprtChars(
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+-*^/?<>=#!$%&|~'_{}");
    DefineInfixOprtChars("/+-*^?<>=#!$%&|~'_");
  }
  void InitFun() override {
    for (const UnaryFunction& f : kUnaryFunctions) DefineFun(f.name, f.function, false);
    for (const BinaryFunction& f : kBinaryFunctions) DefineFun(f.name, f.function, false);
  }
  void InitConst() override { DefineConst(kPi, 3.14159265358979323846); }
  void InitOprt() override {
    DefineInfixOprt("-", fNegate);
    DefineInfixOprt("+", fPlus);
  }
};

// vars[k] is predictor k (k < d), vars[d + j] parameter j; vars must not
// move afterwards.
void defineVariables(FormulaParser& parser, const std::vector<std::string>& predictors,
                     const std::vector<std::string>& parameters, std::vector<double>& vars) {
  const std::size_t d = predictors.size();
  for (std::size_t k = 0; k < d; ++k) parser.DefineVar(predictors[k], &vars[k]);
  for (std::size_t j = 0; j < parameters.size(); ++j) parser.DefineVar(parameters[j], &vars[d + j]);
}

std::string at(std::size_t position) { return " at position " + std::to_string(position + 1); }

// muparser's error in our words.
std::string describeParserError(const mu::ParserError& e, std::size_t length) {
  std::string token = e.GetToken();
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  std::string what;
  switch (e.GetCode()) {
    case mu::ecUNEXPECTED_OPERATOR:
      what = "unexpected operator '" + token + "'";
      break;
    case mu::ecUNASSIGNABLE_TOKEN:
      what = "unrecognised text '" + token + "'";
      break;
    case mu::ecUNEXPECTED_EOF:
      what = "the formula ends too early";
      break;
    case mu::ecUNEXPECTED_ARG_SEP:
      what = "unexpected ','";
      break;
    case mu::ecUNEXPECTED_VAL:
      what = "unexpected number '" + token + "'";
      break;
    case mu::ecUNEXPECTED_VAR:
      what = "unexpected name '" + token + "'";
      break;
    case mu::ecUNEXPECTED_PARENS:
      what = "unexpected parenthesis";
      break;
    case mu::ecMISSING_PARENS:
      what = "missing closing parenthesis";
      break;
    case mu::ecUNEXPECTED_FUN:
      what = "unexpected function '" + token + "'";
      break;
    case mu::ecTOO_MANY_PARAMS:
      what = "too many arguments to '" + token + "'";
      break;
    case mu::ecTOO_FEW_PARAMS:
      what = "too few arguments to '" + token + "'";
      break;
    case mu::ecUNEXPECTED_CONDITIONAL:
    case mu::ecMISSING_ELSE_CLAUSE:
    case mu::ecMISPLACED_COLON:
      what = "misplaced '?' or ':'";
      break;
    case mu::ecEXPRESSION_TOO_LONG:
      return "the formula is too long (10000 characters at most)";
    case mu::ecIDENTIFIER_TOO_LONG:
      what = "name too long";
      break;
    case mu::ecINVALID_CHARACTERS_FOUND:
      what = "invalid character";
      break;
    default:
      what = "syntax error";
      break;
  }
  const int position = e.GetPos();
  if (position < 0) return "syntax error: " + what;
  // muparser reads the formula with a space appended: past the end is
  // length + 1.
  return "syntax error: " + what + at(std::min(static_cast<std::size_t>(position), length));
}

// Names of the formula in order of first appearance, checked: no unknown
// function, no function without arguments, no number out of range, one
// value (no top-level ','), no assignment.
// used[k] is set when predictor k occurs.
bool scanNames(const std::string& text, const std::vector<std::string>& predictors,
               std::vector<std::pair<std::string, std::size_t>>* names, std::vector<bool>* used,
               std::string* error) {
  const char* s = text.c_str();
  int depth = 0;
  for (std::size_t i = 0; i < text.size();) {
    const char c = s[i];
    if (isDigit(c) || (c == '.' && isDigit(s[i + 1]))) {
      const std::size_t length = numberLength(s + i);
      double value = 0;
      if (!numberValue(s + i, length, &value)) {
        *error = "number '" + text.substr(i, length) + "' out of range" + at(i);
        return false;
      }
      i += length;
    } else if (isNameStart(c)) {
      std::size_t end = i;
      while (isNameChar(s[end])) ++end;
      const std::string name = text.substr(i, end - i);
      std::size_t next = end;
      while (std::isspace(static_cast<unsigned char>(s[next]))) ++next;
      const bool called = s[next] == '(';
      if (isFunctionName(name)) {
        if (!called) {
          *error = "function '" + name + "' without its arguments" + at(i);
          return false;
        }
      } else if (called) {
        *error = "unknown function '" + name + "'" + at(i);
        return false;
      } else if (std::find(predictors.begin(), predictors.end(), name) != predictors.end()) {
        (*used)[static_cast<std::size_t>(
            std::find(predictors.begin(), predictors.end(), name) - predictors.begin())] = true;
      } else if (name != kPi) {
        bool seen = false;
        for (const auto& n : *names) seen = seen || n.first == name;
        if (!seen) names->emplace_back(name, i);
      }
      i = end;
    } else {
      if (c == '(') ++depth;
      if (c == ')') --depth;
      if (c == ',' && depth <= 0) {
        *error = "syntax error: unexpected ','" + at(i);
        return false;
      }
      if (c == '=') {
        const bool compared = (i > 0 && std::strchr("<>!=", s[i - 1]) != nullptr) ||
                              s[i + 1] == '=';
        if (!compared) {
          *error = "syntax error: unexpected '='" + at(i);
          return false;
        }
      }
      ++i;
    }
  }
  return true;
}

// The refusal of a formula without x: each of its names would be fitted as
// a constant.
std::string abscissaMissing(const std::vector<std::pair<std::string, std::size_t>>& names) {
  std::string list;
  std::string caseHint;
  for (std::size_t j = 0; j < names.size(); ++j) {
    list += (j == 0 ? "" : (j + 1 == names.size() ? " and " : ", ")) + names[j].first;
    if (names[j].first.size() == 1 && std::tolower(static_cast<unsigned char>(names[j].first[0])) ==
                                          kAbscissa[0]) {
      caseHint = " (" + names[j].first + " is not x: names are case-sensitive)";
    }
  }
  return "the formula does not use x" + caseHint + ": " + list +
         (names.size() == 1 ? " would be fitted as a constant" : " would all be fitted as constants") +
         " (every name but x, pi and the functions is a parameter); fit a constant as c + 0*x";
}

// An identifier that is not pi nor a function.
bool validName(const std::string& name) {
  if (name.empty() || !isNameStart(name[0])) return false;
  for (char c : name)
    if (!isNameChar(c)) return false;
  return name != kPi && !isFunctionName(name);
}

// The first name given twice in names, or null.
const std::string* repeated(const std::vector<std::string>& names) {
  for (std::size_t j = 0; j < names.size(); ++j)
    if (std::find(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(j), names[j]) !=
        names.begin() + static_cast<std::ptrdiff_t>(j))
      return &names[j];
  return nullptr;
}

// ---- Evaluation -----------------------------------------------------------

// One step of a compiled formula, over a block of points.
struct Step {
  enum Kind { kAbscissa, kVariable, kConstant, kAdd, kSub, kMul, kDiv, kPow, kCall1, kCall2 };
  Kind kind;
  std::size_t variable;  // kVariable: index into vars; kAbscissa: the predictor
  double constant;
  double (*call1)(double);
  double (*call2)(double, double);
  double (*derivative1)(double, double);                  // of call1
  bool constantExponent;  // kPow: the exponent is a number of the formula
  void (*partials2)(double, double, double*, double*);   // of call2
};

// muparser's program as our steps; false when it holds anything else.
bool translateProgram(const mu::ParserByteCode& code, const std::vector<double>& vars,
                      std::size_t predictors, std::vector<Step>* steps, std::size_t* depth) {
  const mu::SToken* token = code.GetBase();
  std::size_t size = 0;
  *depth = 0;
  for (std::size_t k = 0; k < code.GetSize(); ++k, ++token) {
    Step step{};
    int pops = 0;
    switch (token->Cmd) {
      case mu::cmEND:
        return size == 1;
      case mu::cmVAR: {
        const double* p = token->Val.ptr;
        if (p < vars.data() || p >= vars.data() + vars.size()) return false;
        step.variable = static_cast<std::size_t>(p - vars.data());
        step.kind = step.variable < predictors ? Step::kAbscissa : Step::kVariable;
        pops = -1;
        break;
      }
      case mu::cmVAL:
        step.kind = Step::kConstant;
        step.constant = token->Val.data2;
        pops = -1;
        break;
      case mu::cmADD: step.kind = Step::kAdd; pops = 1; break;
      case mu::cmSUB: step.kind = Step::kSub; pops = 1; break;
      case mu::cmMUL: step.kind = Step::kMul; pops = 1; break;
      case mu::cmDIV: step.kind = Step::kDiv; pops = 1; break;
      case mu::cmPOW:
        step.kind = Step::kPow;
        step.constantExponent = !steps->empty() && steps->back().kind == Step::kConstant;
        pops = 1;
        break;
      case mu::cmFUNC:
        if (token->Fun.cb._pUserData != nullptr) return false;
        if (token->Fun.argc == 1) {
          step.kind = Step::kCall1;
          step.call1 = reinterpret_cast<double (*)(double)>(token->Fun.cb._pRawFun);
          step.derivative1 = unaryDerivative(step.call1);
          pops = 0;
        } else if (token->Fun.argc == 2) {
          step.kind = Step::kCall2;
          step.call2 = reinterpret_cast<double (*)(double, double)>(token->Fun.cb._pRawFun);
          step.partials2 = binaryPartials(step.call2);
          pops = 1;
        } else {
          return false;
        }
        break;
      default:
        return false;
    }
    if (pops < 0) {
      ++size;
    } else {
      if (size < static_cast<std::size_t>(pops) + 1) return false;
      size -= static_cast<std::size_t>(pops);
    }
    *depth = std::max(*depth, size);
    steps->push_back(step);
  }
  return false;
}

bool sameBits(double a, double b) {
  std::uint64_t x = 0, y = 0;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

// out[i] = da[i]*pa[i] + db[i]*pb[i], each product 0 where its partial
// derivative is 0 (whatever the step's derivative); an operand that does not
// hold the partial derivative (HasA, HasB false) contributes 0. The products
// are formed for every point and then selected, so that the loop runs in
// vectors.
template <bool HasA, bool HasB>
void combinePartials(std::size_t count, const double* ga, const double* pa, const double* gb,
                     const double* pb, double* out) {
  for (std::size_t i = 0; i < count; ++i) {
    double ta = 0.0, tb = 0.0;
    if (HasA) {
      const double q = ga[i] * pa[i];
      ta = pa[i] != 0.0 ? q : 0.0;
    }
    if (HasB) {
      const double q = gb[i] * pb[i];
      tb = pb[i] != 0.0 ? q : 0.0;
    }
    out[i] = ta + tb;
  }
}

class FormulaInstance final : public ModelInstance {
 public:
  static constexpr std::size_t kBlock = 128;

  FormulaInstance(const nlfit_model& model, bool ownLoop)
      : parameterCount_(model.parameters.size()),
        d_(model.predictors.size()),
        vars_(model.predictors.size() + model.parameters.size(), 0.0) {
    defineVariables(parser_, model.predictors, model.parameters, vars_);
    parser_.SetExpr(model.expression);
    parser_.Eval();  // compiles
    std::size_t depth = 0;
    if (ownLoop && translateProgram(parser_.GetByteCode(), vars_, d_, &steps_, &depth)) {
      records_.assign(steps_.size() * kBlock, 0.0);
      cachedX_.assign(kBlock * d_, 0.0);
      cachedParams_.assign(parameterCount_, 0.0);
      bool derivable = true;
      for (const Step& step : steps_) {
        if ((step.kind == Step::kCall1 && step.derivative1 == nullptr) ||
            (step.kind == Step::kCall2 && step.partials2 == nullptr)) {
          derivable = false;
        }
      }
      layOut();
      if (derivable) {
        dual_.assign(depth * parameterCount_ * kBlock, 0.0);
        partialA_.assign(kBlock, 0.0);
        partialB_.assign(kBlock, 0.0);
        zeros_.assign(kBlock, 0.0);
      }
    } else {
      steps_.clear();
    }
  }

  // Exact derivatives where the formula runs in our own loop.
  bool hasJacobian() const override { return !dual_.empty(); }

  void jacobian(const double* params, const double* x, std::size_t m, double* rows) override {
    std::copy(params, params + parameterCount_, vars_.begin() + static_cast<std::ptrdiff_t>(d_));
    if (m <= kBlock && holdsValuesOf(params, x, m)) {
      // The solver asks for the Jacobian where it has just evaluated the
      // model: the values of every step are those of that evaluation.
      dualBlock(m, rows);
      return;
    }
    for (std::size_t start = 0; start < m; start += kBlock) {
      const std::size_t count = std::min(kBlock, m - start);
      evaluateBlock(x + start * d_, count);
      dualBlock(count, rows + start * parameterCount_);
    }
    remember(params, x, m);
  }

  void evaluate(const double* params, const double* x, std::size_t m,
                double* values) override {
    std::copy(params, params + parameterCount_, vars_.begin() + static_cast<std::ptrdiff_t>(d_));
    if (steps_.empty()) {
      for (std::size_t i = 0; i < m; ++i) {
        std::copy(x + i * d_, x + i * d_ + d_, vars_.begin());
        try {
          values[i] = parser_.Eval();
        } catch (...) {
          values[i] = std::numeric_limits<double>::quiet_NaN();
        }
      }
      return;
    }
    for (std::size_t start = 0; start < m; start += kBlock) {
      const std::size_t count = std::min(kBlock, m - start);
      evaluateBlock(x + start * d_, count);
      const double* result = record(steps_.size() - 1);
      std::copy(result, result + count, values + start);
    }
    remember(params, x, m);
  }

 private:
  // Where a step finds its operands and what it carries in dual numbers,
  // worked out once from the program.
  struct Layout {
    std::size_t a = 0;     // the step whose value is the first (a call's only) operand
    std::size_t b = 0;     // the step whose value is the second operand
    std::size_t slot = 0;  // the step's place on the stack of dual numbers
    std::size_t first = 0, count = 0;  // its partial derivatives: components_[first ..]
    bool uniform = false;  // the same value at every point: no predictor enters
    bool memo = false;     // a function of some of the predictors only (d > 1): its
                           // arguments repeat on a grid, its values are looked up
    std::uint64_t predictors = 0;  // the predictors that enter (bit k, k < 64)
  };
  // A partial derivative that a step's result may hold: with respect to
  // parameter `index`, and whether its operands hold one. The others are 0
  // for every point, whatever the values: no parameter they stand for
  // enters the result.
  struct Component {
    std::size_t index;
    bool inA, inB;
  };

  void layOut() {
    const std::size_t n = parameterCount_;
    std::vector<std::vector<char>> masks;  // the stack of the partial derivatives held
    std::vector<std::size_t> producers;    // the step whose value each entry is
    layout_.resize(steps_.size());
    for (std::size_t s = 0; s < steps_.size(); ++s) {
      const Step& step = steps_[s];
      Layout& l = layout_[s];
      l.first = components_.size();
      switch (step.kind) {
        case Step::kAbscissa:
        case Step::kVariable:
        case Step::kConstant:
          masks.emplace_back(n, 0);
          producers.push_back(s);
          l.uniform = step.kind != Step::kAbscissa;
          if (step.kind == Step::kAbscissa && step.variable < 64) l.predictors = std::uint64_t{1} << step.variable;
          if (step.kind == Step::kAbscissa && step.variable >= 64) l.predictors = ~std::uint64_t{0};
          if (step.kind == Step::kVariable) {
            masks.back()[step.variable - d_] = 1;
            components_.push_back({step.variable - d_, false, false});
          }
          break;
        case Step::kCall1:
          l.a = producers.back();
          producers.back() = s;
          l.uniform = layout_[l.a].uniform;
          l.predictors = layout_[l.a].predictors;
          for (std::size_t j = 0; j < n; ++j)
            if (masks.back()[j]) components_.push_back({j, true, false});
          break;
        default: {
          l.b = producers.back();
          producers.pop_back();
          l.a = producers.back();
          producers.back() = s;
          l.uniform = layout_[l.a].uniform && layout_[l.b].uniform;
          l.predictors = layout_[l.a].predictors | layout_[l.b].predictors;
          const std::vector<char> maskB = std::move(masks.back());
          masks.pop_back();
          std::vector<char>& mask = masks.back();
          for (std::size_t j = 0; j < n; ++j) {
            if (mask[j] || maskB[j]) components_.push_back({j, mask[j] != 0, maskB[j] != 0});
            mask[j] = static_cast<char>(mask[j] || maskB[j]);
          }
          break;
        }
      }
      l.slot = masks.size() - 1;
      l.count = components_.size() - l.first;
      const std::uint64_t all = d_ >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << d_) - 1;
      l.memo = d_ > 1 && !l.uniform && (l.predictors & all) != all &&
               (step.kind == Step::kCall1 || step.kind == Step::kCall2 || step.kind == Step::kPow);
    }
    const Layout& last = layout_.back();
    held_.assign(n, 0);
    for (std::size_t k = 0; k < last.count; ++k) held_[components_[last.first + k].index] = 1;
  }

  // A small table of a function's values by the bits of its arguments, for
  // one step of one block.
  struct MemoEntry {
    std::uint64_t a = 0, b = 0, round = 0;
    double value = 0.0;
  };
  static constexpr std::size_t kMemoEntries = 32;

  template <typename F>
  double lookUp(double a, double b, F f) {
    std::uint64_t ka = 0, kb = 0;
    std::memcpy(&ka, &a, sizeof ka);
    std::memcpy(&kb, &b, sizeof kb);
    MemoEntry& e = memo_[((ka ^ (kb * 0xC2B2AE3D27D4EB4FULL)) * 0x9E3779B97F4A7C15ULL) >> 59];
    if (e.round == memoRound_ && e.a == ka && e.b == kb) return e.value;
    e = {ka, kb, memoRound_, f(a, b)};
    return e.value;
  }

  double* record(std::size_t step) { return records_.data() + step * kBlock; }
  double* partial(std::size_t slot, std::size_t j) {
    return dual_.data() + (slot * parameterCount_ + j) * kBlock;
  }

  // Notes the point whose values the records hold (one block of them).
  void remember(const double* params, const double* x, std::size_t m) {
    cachedCount_ = 0;
    if (m == 0 || m > kBlock) return;
    std::copy(params, params + parameterCount_, cachedParams_.begin());
    std::copy(x, x + m * d_, cachedX_.begin());
    cachedCount_ = m;
  }
  bool holdsValuesOf(const double* params, const double* x, std::size_t m) const {
    return m == cachedCount_ && m != 0 &&
           std::memcmp(params, cachedParams_.data(), parameterCount_ * sizeof(double)) == 0 &&
           std::memcmp(x, cachedX_.data(), m * d_ * sizeof(double)) == 0;
  }

  // The value of every step at count points (rows of d_ predictors at x),
  // each step's in its own record: the operations of muparser's program on
  // the same operands in the same order.
  void evaluateBlock(const double* x, std::size_t count) {
    for (std::size_t s = 0; s < steps_.size(); ++s) {
      const Step& step = steps_[s];
      double* const r = record(s);
      switch (step.kind) {
        case Step::kAbscissa:
          if (d_ == 1) {
            std::copy(x, x + count, r);
          } else {
            for (std::size_t i = 0; i < count; ++i) r[i] = x[i * d_ + step.variable];
          }
          continue;
        case Step::kVariable:
          std::fill(r, r + count, vars_[step.variable]);
          continue;
        case Step::kConstant:
          std::fill(r, r + count, step.constant);
          continue;
        default:
          break;
      }
      // A step of uniform operands is computed once and copied; a function
      // called with the bits of the point before (a grid's repeated
      // coordinates) gives that point's value again.
      const Layout& l = layout_[s];
      const std::size_t points = l.uniform ? std::min<std::size_t>(count, 1) : count;
      const double* const a = record(l.a);
      const double* const b = record(l.b);
      switch (step.kind) {
        case Step::kAdd:
          for (std::size_t i = 0; i < points; ++i) r[i] = a[i] + b[i];
          break;
        case Step::kSub:
          for (std::size_t i = 0; i < points; ++i) r[i] = a[i] - b[i];
          break;
        case Step::kMul:
          for (std::size_t i = 0; i < points; ++i) r[i] = a[i] * b[i];
          break;
        case Step::kDiv:
          for (std::size_t i = 0; i < points; ++i) r[i] = a[i] / b[i];
          break;
        case Step::kCall1:
          if (l.memo) {
            ++memoRound_;
            const auto call = [&step](double u, double) { return step.call1(u); };
            for (std::size_t i = 0; i < points; ++i) r[i] = lookUp(a[i], 0.0, call);
            break;
          }
          for (std::size_t i = 0; i < points; ++i)
            r[i] = i > 0 && sameBits(a[i], a[i - 1]) ? r[i - 1] : step.call1(a[i]);
          break;
        case Step::kPow:
          if (l.memo) {
            ++memoRound_;
            const auto power = [](double u, double v) { return std::pow(u, v); };
            for (std::size_t i = 0; i < points; ++i) r[i] = lookUp(a[i], b[i], power);
            break;
          }
          for (std::size_t i = 0; i < points; ++i)
            r[i] = i > 0 && sameBits(a[i], a[i - 1]) && sameBits(b[i], b[i - 1])
                       ? r[i - 1]
                       : std::pow(a[i], b[i]);
          break;
        default:  // kCall2
          if (l.memo) {
            ++memoRound_;
            const auto call = [&step](double u, double v) { return step.call2(u, v); };
            for (std::size_t i = 0; i < points; ++i) r[i] = lookUp(a[i], b[i], call);
            break;
          }
          for (std::size_t i = 0; i < points; ++i)
            r[i] = i > 0 && sameBits(a[i], a[i - 1]) && sameBits(b[i], b[i - 1])
                       ? r[i - 1]
                       : step.call2(a[i], b[i]);
          break;
      }
      if (points < count) std::fill(r + 1, r + count, r[0]);
    }
  }

  // The partial derivatives of the program in forward-mode dual numbers,
  // over the values evaluateBlock left in the records: each stack entry
  // holds, for every point of the block, the partial derivatives with
  // respect to the parameters it depends on (component j for parameter j,
  // kBlock apart); the others are 0 and are neither stored nor computed. A
  // partial derivative that is exactly 0 stays 0 through a function (the
  // parameter does not enter), even where the function's derivative is
  // infinite.
  void dualBlock(std::size_t count, double* rows) {
    const double* const zeros = zeros_.data();
    for (std::size_t s = 0; s < steps_.size(); ++s) {
      const Layout& l = layout_[s];
      if (l.count == 0) continue;
      const Step& step = steps_[s];
      const Component* const components = components_.data() + l.first;
      if (step.kind == Step::kVariable) {
        double* own = partial(l.slot, components[0].index);
        std::fill(own, own + count, 1.0);
        continue;
      }
      const double* const r = record(s);
      const double* const a = record(l.a);
      double* const da = partialA_.data();
      if (step.kind == Step::kCall1) {
        // exp's derivative is its value.
        const double* d = r;
        if (step.derivative1 != dExp) {
          for (std::size_t i = 0; i < count; ++i) da[i] = step.derivative1(a[i], r[i]);
          d = da;
        }
        for (std::size_t k = 0; k < l.count; ++k) {
          double* p = partial(l.slot, components[k].index);
          for (std::size_t i = 0; i < count; ++i) {
            const double q = d[i] * p[i];
            p[i] = p[i] != 0.0 ? q : p[i];
          }
        }
        continue;
      }
      if (step.kind == Step::kAdd || step.kind == Step::kSub) {
        // Sums pass the partial derivatives through.
        for (std::size_t k = 0; k < l.count; ++k) {
          const Component& c = components[k];
          double* const out = partial(l.slot, c.index);
          const double* const pa = c.inA ? out : zeros;
          const double* const pb = c.inB ? partial(l.slot + 1, c.index) : zeros;
          if (step.kind == Step::kAdd) {
            for (std::size_t i = 0; i < count; ++i) out[i] = pa[i] + pb[i];
          } else {
            for (std::size_t i = 0; i < count; ++i) out[i] = pa[i] - pb[i];
          }
        }
        continue;
      }
      // The derivatives of the step with respect to its two operands, point
      // by point; then every partial derivative.
      const double* const b = record(l.b);
      const double* ga = da;
      const double* gb = partialB_.data();
      double* const db = partialB_.data();
      switch (step.kind) {
        case Step::kMul:
          ga = b;
          gb = a;
          break;
        case Step::kDiv:
          for (std::size_t i = 0; i < count; ++i) {
            da[i] = 1.0 / b[i];
            db[i] = -r[i] / b[i];
          }
          break;
        case Step::kPow:
          if (step.constantExponent) {
            // No partial derivative of the exponent: skip its logarithm.
            if (steps_[l.b].constant == 2.0) {
              for (std::size_t i = 0; i < count; ++i) da[i] = 2.0 * a[i];
            } else {
              for (std::size_t i = 0; i < count; ++i) da[i] = b[i] * std::pow(a[i], b[i] - 1.0);
            }
            gb = zeros;
          } else {
            for (std::size_t i = 0; i < count; ++i) dPow(a[i], b[i], &da[i], &db[i]);
          }
          break;
        default:  // kCall2
          for (std::size_t i = 0; i < count; ++i) step.partials2(a[i], b[i], &da[i], &db[i]);
          break;
      }
      for (std::size_t k = 0; k < l.count; ++k) {
        const Component& c = components[k];
        double* const out = partial(l.slot, c.index);
        const double* const pb = c.inB ? partial(l.slot + 1, c.index) : zeros;
        if (c.inA && c.inB) {
          combinePartials<true, true>(count, ga, out, gb, pb, out);
        } else if (c.inA) {
          combinePartials<true, false>(count, ga, out, gb, pb, out);
        } else {
          combinePartials<false, true>(count, ga, out, gb, pb, out);
        }
      }
    }
    // The result is the one entry left, in slot 0.
    const std::size_t n = parameterCount_;
    for (std::size_t j = 0; j < n; ++j) {
      double* column = rows + j;
      const double* p = held_[j] ? partial(0, j) : zeros;
      for (std::size_t i = 0; i < count; ++i) column[i * n] = p[i];
    }
  }

  std::size_t parameterCount_;
  std::size_t d_;  // predictors
  std::vector<double> vars_;
  FormulaParser parser_;
  std::vector<Step> steps_;
  std::vector<Layout> layout_;          // one per step
  std::vector<Component> components_;  // the steps' partial derivatives, step after step
  std::vector<double> records_;        // kBlock values of every step
  // The point whose values the records hold, for cachedCount_ > 0 points.
  std::vector<double> cachedParams_, cachedX_;
  std::size_t cachedCount_ = 0;
  std::vector<double> dual_;  // empty: no exact derivatives
  std::vector<double> partialA_, partialB_;  // a binary step's derivatives, kBlock each
  std::vector<double> zeros_;                // kBlock zeros: a partial derivative not held
  std::vector<char> held_;                   // the result's partial derivatives held
  MemoEntry memo_[kMemoEntries];
  std::uint64_t memoRound_ = 0;  // entries of other rounds are empty
};

}  // namespace

bool compileFormula(const std::string& formula, const std::vector<std::string>& predictorNames,
                    const std::vector<std::string>& names, nlfit_model* model,
                    std::string* error) {
  const bool named = !predictorNames.empty();
  const std::vector<std::string> predictors =
      named ? predictorNames : std::vector<std::string>{kAbscissa};
  for (const std::string& p : predictors) {
    if (!validName(p)) {
      *error = "invalid predictor name '" + p + "'";
      return false;
    }
  }
  if (const std::string* twice = repeated(predictors)) {
    *error = "predictor name '" + *twice + "' given twice";
    return false;
  }
  // ** is the same power as ^; "^ " keeps every position.
  std::string expression = formula;
  for (std::size_t i = expression.find("**"); i != std::string::npos;
       i = expression.find("**", i + 2)) {
    expression[i] = '^';
    expression[i + 1] = ' ';
  }
  if (expression.find_first_not_of(" \t\r\n") == std::string::npos) {
    *error = "empty formula";
    return false;
  }

  std::vector<std::pair<std::string, std::size_t>> found;
  std::vector<bool> used(predictors.size(), false);
  if (!scanNames(expression, predictors, &found, &used, error)) return false;
  // Named predictors are each the formula's own: one left out is a mistake.
  for (std::size_t k = 0; named && k < predictors.size(); ++k) {
    if (!used[k]) {
      *error = "predictor '" + predictors[k] + "' does not occur in the formula";
      return false;
    }
  }

  std::vector<std::string> parameters;
  if (names.empty()) {
    for (const auto& f : found) parameters.push_back(f.first);
  } else {
    for (std::size_t j = 0; j < names.size(); ++j) {
      if (!validName(names[j]) ||
          std::find(predictors.begin(), predictors.end(), names[j]) != predictors.end()) {
        *error = "invalid parameter name '" + names[j] + "'";
        return false;
      }
    }
    if (const std::string* twice = repeated(names)) {
      *error = "parameter name '" + *twice + "' given twice";
      return false;
    }
    for (const auto& f : found) {
      if (std::find(names.begin(), names.end(), f.first) == names.end()) {
        *error = "'" + f.first + "'" + at(f.second) + " is not one of the parameter names";
        return false;
      }
    }
    for (const std::string& name : names) {
      bool occurs = false;
      for (const auto& f : found) occurs = occurs || f.first == name;
      if (!occurs) {
        *error = "parameter '" + name + "' does not occur in the formula";
        return false;
      }
    }
    parameters = names;
  }
  if (parameters.empty()) {
    *error = named ? "the formula has no parameters (every name but the predictors, pi and the "
                     "functions is one)"
                   : "the formula has no parameters (every name but x, pi and the functions is one)";
    return false;
  }
  if (!named && !used[0]) {
    *error = abscissaMissing(found);
    return false;
  }

  // A trial compilation for the syntax.
  try {
    FormulaParser parser;
    std::vector<double> vars(predictors.size() + parameters.size(), 1.0);
    defineVariables(parser, predictors, parameters, vars);
    parser.SetExpr(expression);
    parser.Eval();
    if (parser.GetNumResults() != 1) {
      *error = "syntax error: the formula must give one value";
      return false;
    }
  } catch (const mu::ParserError& e) {
    *error = describeParserError(e, expression.size());
    return false;
  }

  model->name = "formula";
  model->formula = formula;
  model->description = formula;
  model->parameters = std::move(parameters);
  model->builtin = nullptr;
  model->builtinMulti = nullptr;
  model->expression = std::move(expression);
  model->predictors = predictors;
  return true;
}

std::unique_ptr<ModelInstance> newFormulaInstance(const nlfit_model& model) {
  return std::unique_ptr<ModelInstance>(new FormulaInstance(model, true));
}

std::unique_ptr<ModelInstance> newFormulaInstanceParserOnly(const nlfit_model& model) {
  return std::unique_ptr<ModelInstance>(new FormulaInstance(model, false));
}

}  // namespace nlfit
