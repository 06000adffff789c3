// The public structures grow at their end. A caller's structure holds the
// fields of the header it was compiled with, and says how many bytes that is
// in its leading struct_size. These templates are the one place where the
// library reads such a structure (the caller's bytes over a copy holding the
// library's defaults) and writes one back (only the bytes the caller's
// struct_size covers). A field appended to a structure needs nothing here:
// its default comes from the structure's init function.
#ifndef NLFIT_API_STRUCT_PREFIX_H
#define NLFIT_API_STRUCT_PREFIX_H

#include <cstddef>
#include <cstring>

#include "nlfit/batch.h"
#include "nlfit/fit.h"
#include "nlfit/report.h"

namespace nlfit {

// The end of the last field of each structure's first versioned layout: the
// smallest struct_size accepted. Fixed for good; appended fields do not
// move it.
template <class T>
struct FirstLayout;
#define NLFIT_FIRST_LAYOUT(type, lastField)                                     \
  template <>                                                                  \
  struct FirstLayout<type> {                                                   \
    static constexpr std::size_t size = offsetof(type, lastField) + sizeof(type::lastField); \
  }
NLFIT_FIRST_LAYOUT(nlfit_options, progress_user);
NLFIT_FIRST_LAYOUT(nlfit_result, parameter_flags);
NLFIT_FIRST_LAYOUT(nlfit_batch_options, progress_user);
NLFIT_FIRST_LAYOUT(nlfit_batch_data, start_per_curve);
NLFIT_FIRST_LAYOUT(nlfit_batch_outputs, std_errors);
NLFIT_FIRST_LAYOUT(nlfit_report_input, certified_rss);
NLFIT_FIRST_LAYOUT(nlfit_data_set, predictors);
#undef NLFIT_FIRST_LAYOUT

// The library's defaults of a whole structure (its init function at the
// library's own size).
inline void fillDefaults(nlfit_options* s) { nlfit_options_init_size(s, sizeof *s); }
inline void fillDefaults(nlfit_result* s) { nlfit_result_init_size(s, sizeof *s); }
inline void fillDefaults(nlfit_batch_options* s) { nlfit_batch_options_init_size(s, sizeof *s); }
inline void fillDefaults(nlfit_batch_data* s) { nlfit_batch_data_init_size(s, sizeof *s); }
inline void fillDefaults(nlfit_batch_outputs* s) { nlfit_batch_outputs_init_size(s, sizeof *s); }
inline void fillDefaults(nlfit_report_input* s) { nlfit_report_input_init_size(s, sizeof *s); }
inline void fillDefaults(nlfit_data_set* s) { nlfit_data_set_init_size(s, sizeof *s); }

// The caller's struct_size, read as bytes (the caller's structure may be
// shorter than the library's).
inline std::size_t callerSize(const void* caller) {
  std::size_t size = 0;
  std::memcpy(&size, caller, sizeof size);
  return size;
}

template <class T>
bool validSize(const T* caller) {
  return caller == nullptr || callerSize(caller) >= FirstLayout<T>::size;
}

// *own = the library's defaults with the caller's fields over them (all
// defaults for a null caller). False, and *own untouched, when the caller's
// struct_size is below the first layout. own->struct_size is the caller's.
template <class T>
bool readPrefix(const T* caller, T* own) {
  if (!validSize(caller)) return false;
  fillDefaults(own);
  if (caller == nullptr) return true;
  const std::size_t size = callerSize(caller);
  std::memcpy(static_cast<void*>(own), caller, size < sizeof(T) ? size : sizeof(T));
  return true;
}

// Writes own back into the bytes the caller's struct_size covers, that one
// field excepted.
template <class T>
void writePrefix(const T& own, T* caller) {
  const std::size_t size = callerSize(caller);
  const std::size_t covered = size < sizeof(T) ? size : sizeof(T);
  const std::size_t skip = sizeof(std::size_t);
  if (covered <= skip) return;
  std::memcpy(reinterpret_cast<unsigned char*>(caller) + skip,
              reinterpret_cast<const unsigned char*>(&own) + skip, covered - skip);
}

// An init function's body: the defaults of fill over zero bytes, copied into
// the caller's first size bytes (zeros beyond the library's own size), with
// struct_size = size. Nothing is written for a null pointer or a size too
// small to hold struct_size.
template <class T, class Fill>
void initPrefix(T* caller, std::size_t size, Fill fill) {
  if (caller == nullptr || size < sizeof(std::size_t)) return;
  T own;
  std::memset(static_cast<void*>(&own), 0, sizeof own);
  fill(own);
  own.struct_size = size;
  std::memset(static_cast<void*>(caller), 0, size);
  std::memcpy(static_cast<void*>(caller), &own, size < sizeof(T) ? size : sizeof(T));
}

}  // namespace nlfit

#endif  // NLFIT_API_STRUCT_PREFIX_H
