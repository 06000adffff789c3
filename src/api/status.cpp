// Status messages and names.
#include "nlfit/fit.h"

namespace {

struct StatusText {
  int status;
  const char* name;
  const char* message;
};

constexpr StatusText kStatusTexts[] = {
    {NLFIT_OK, "ok",
     "Done: the call ran to its end (a batch: every curve was attempted, each with its own status)."},
    {NLFIT_CONVERGED_REDUCTION, "converged_reduction",
     "Converged: the relative reduction of the sum of squares is within the tolerance."},
    {NLFIT_CONVERGED_STEP, "converged_step",
     "Converged: the relative change of the parameters is within the tolerance."},
    {NLFIT_CONVERGED_BOTH, "converged_both",
     "Converged: both the reduction of the sum of squares and the parameter change are within the tolerance."},
    {NLFIT_CONVERGED_GRADIENT, "converged_gradient",
     "Converged: the residuals are orthogonal to the Jacobian within the tolerance."},
    {NLFIT_STOPPED_EVALUATIONS, "stopped_evaluations",
     "Stopped: the evaluation budget was spent before convergence."},
    {NLFIT_STOPPED_REDUCTION_AT_PRECISION, "stopped_reduction_at_precision",
     "Stopped: no further reduction of the sum of squares is possible in double precision."},
    {NLFIT_STOPPED_STEP_AT_PRECISION, "stopped_step_at_precision",
     "Stopped: no smaller change of the parameters is possible in double precision."},
    {NLFIT_STOPPED_GRADIENT_AT_PRECISION, "stopped_gradient_at_precision",
     "Stopped: the residuals are orthogonal to the Jacobian to double precision."},
    {NLFIT_STOPPED_BY_CALLBACK, "stopped_by_callback",
     "Stopped: the progress callback asked to stop."},
    {NLFIT_STOPPED_BY_MODEL, "stopped_by_model", "Stopped: the model asked to stop."},
    {NLFIT_STOPPED_NONFINITE, "stopped_nonfinite",
     "Stopped: the model values or the residuals are not finite (NaN or infinite)."},
    {NLFIT_REFUSED_COUNTS, "refused_counts",
     "Refused: there must be at least one parameter and at least as many points as free parameters."},
    {NLFIT_REFUSED_NULL_POINTER, "refused_null_pointer",
     "Refused: a required pointer (model, parameters or data) is null."},
    {NLFIT_REFUSED_NONFINITE_DATA, "refused_nonfinite_data",
     "Refused: an x or y value is NaN or infinite."},
    {NLFIT_REFUSED_NONFINITE_START, "refused_nonfinite_start",
     "Refused: a starting value is NaN or infinite."},
    {NLFIT_REFUSED_BAD_SIGMA, "refused_bad_sigma",
     "Refused: a standard deviation is zero, negative, NaN or infinite."},
    {NLFIT_REFUSED_BAD_OPTION, "refused_bad_option", "Refused: an option value is out of range."},
    {NLFIT_REFUSED_OUT_OF_MEMORY, "refused_out_of_memory",
     "Refused: the workspace could not be allocated."},
    {NLFIT_REFUSED_BAD_MODEL, "refused_bad_model",
     "Refused: the model cannot be used with this parameter count."},
    {NLFIT_REFUSED_NEGATIVE_DATA, "refused_negative_data",
     "Refused: a count (y value) is negative."},
};

const StatusText* find(int status) {
  for (const StatusText& t : kStatusTexts) {
    if (t.status == status) return &t;
  }
  return nullptr;
}

}  // namespace

extern "C" const char* nlfit_status_message(int status) {
  const StatusText* t = find(status);
  return t != nullptr ? t->message : "unknown status";
}

extern "C" const char* nlfit_status_name(int status) {
  const StatusText* t = find(status);
  return t != nullptr ? t->name : "unknown";
}
