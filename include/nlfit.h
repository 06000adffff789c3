/*
 * nlfit: nonlinear least-squares fitting of a five-parameter model curve.
 *
 * A host registers its model, its observations (x, y) and a vector of
 * starting values with one call of findLS(); the library minimises the sum of
 * squared residuals model(x_i; p) - y_i with a Levenberg-Marquardt
 * trust-region method (forward-difference Jacobian, pivoted Householder QR,
 * safeguarded search on the damping parameter) and writes the fitted
 * parameters back into the host's vector.
 *
 * Arithmetic is IEEE double throughout and its order is fixed, so the same
 * inputs give the same bits on every platform.
 *
 * Not supported:
 *  - Calls from several threads at once. The library keeps one fit problem
 *    in a process-wide store that is not guarded: run one fit at a time per
 *    process, and do not call findLS or theModelFct while another thread is
 *    in either of them. For the same reason the model must not call findLS.
 *  - A model that throws a C++ exception or leaves by longjmp. The library's
 *    frames between findLS and the model hold heap workspace that only their
 *    normal return releases; unwinding or jumping through them leaks it and
 *    leaves the store half-written. These C functions are not exception-safe
 *    by contract: catch everything inside the model and return NaN instead.
 *
 * This header is plain C (C99) and may be included from C++.
 */
#ifndef NLFIT_H
#define NLFIT_H

#define NLFIT_VERSION_MAJOR 1
#define NLFIT_VERSION_MINOR 0
#define NLFIT_VERSION_PATCH 0

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(NLFIT_BUILDING)
#    define NLFIT_API __declspec(dllexport)
#  else
#    define NLFIT_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define NLFIT_API __attribute__((visibility("default")))
#else
#  define NLFIT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The host's model: y = model(x; p0, p1, p2, p3, p4). It always receives
 * exactly five parameter values; a fit with fewer than five parameters hands
 * it 0.0 in the unused positions. It is called synchronously on the caller's
 * thread and must return normally (no C++ exception, no longjmp).
 */
typedef double (*ModelFunction)(double x, double p0, double p1, double p2,
                                double p3, double p4);

/*
 * Fits the first paramCount parameters of model to pointCount observations.
 *
 *   model       the host's model; registered for theModelFct() by every call
 *               (also by a refused one)
 *   paramCount  number of parameters to fit, 1 ... 9
 *   pointCount  number of observations, paramCount ... 1000
 *   xValues     pointCount abscissae
 *   yValues     pointCount observed values
 *   params      in: paramCount starting values; out: the fitted values
 *
 * Returns a status as a double:
 *   0.0  the fit ran; params holds the last accepted point
 *   1.0  refused: paramCount > 9, paramCount <= 0, pointCount < paramCount,
 *        a null model or array, a NaN or infinite observation or starting
 *        value, or memory that could not be obtained
 *   2.0  refused: pointCount > 1000
 * On a refusal nothing is printed and params is left untouched.
 *
 * 0.0 says only that the fit ran, not that it converged. A trial point where
 * the model is NaN or infinite is rejected like any poor step, so such
 * values away from the minimum do not stop a fit. NaN or infinite residuals
 * at the starting point itself (a model NaN everywhere, say, or a sum of
 * squares that overflows) end the fit after its first Jacobian with params
 * at their starting values and the status still 0.0; the progress line then
 * reads "fnorm nan" or "fnorm inf".
 *
 * While it runs, every outer iteration writes one progress line to standard
 * output, "fnorm %.15e\n", the Euclidean norm of the residual vector.
 */
NLFIT_API double findLS(ModelFunction model, int paramCount, int pointCount,
                        const double *xValues, const double *yValues,
                        double *params);

/*
 * Evaluates the model registered by the latest findLS() at x with the
 * parameters params[0] ... params[4] (exactly five values are read, whatever
 * paramCount says; paramCount is accepted and ignored), so params must hold
 * five readable values. Returns NaN when no model, or a null model, is
 * registered, and when params is null.
 */
NLFIT_API double theModelFct(double x, const double *params, int paramCount);

#ifdef __cplusplus
}
#endif

#endif /* NLFIT_H */
