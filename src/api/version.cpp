// The library's version and the sizes of its public structures, for callers
// and bindings that check what they were built against.
#include "api/struct_prefix.h"

extern "C" {

int nlfit_version(void) { return NLFIT_FIT_VERSION_NUMBER; }

size_t nlfit_struct_size(int kind) {
  switch (kind) {
    case NLFIT_STRUCT_OPTIONS: return sizeof(nlfit_options);
    case NLFIT_STRUCT_RESULT: return sizeof(nlfit_result);
    case NLFIT_STRUCT_BATCH_OPTIONS: return sizeof(nlfit_batch_options);
    case NLFIT_STRUCT_BATCH_DATA: return sizeof(nlfit_batch_data);
    case NLFIT_STRUCT_BATCH_OUTPUTS: return sizeof(nlfit_batch_outputs);
    case NLFIT_STRUCT_REPORT_INPUT: return sizeof(nlfit_report_input);
    case NLFIT_STRUCT_DATA_SET: return sizeof(nlfit_data_set);
    default: return 0;
  }
}

}  // extern "C"
