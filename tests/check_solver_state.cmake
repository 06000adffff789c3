cmake_minimum_required(VERSION 3.16)
# Checks that the solver's objects hold no mutable global: no symbol of nm
# type b, B, d or D (zero-filled or initialised data) in any member of the
# static library built from src/solver:
#   cmake -DARCHIVE=libnlfit_core.a -DNM=nm -DSOLVER_DIR=src/solver -P check_solver_state.cmake
# Names that begin with "__" or "." belong to the compiler's or a sanitizer's
# instrumentation, not to the solver's code, and are passed over.
foreach(var ARCHIVE NM SOLVER_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_solver_state: ${var} not set")
  endif()
endforeach()

# The archive's members compiled from src/solver: <unit>.cpp.o.
file(GLOB units RELATIVE "${SOLVER_DIR}" "${SOLVER_DIR}/*.cpp")
set(members)
foreach(unit IN LISTS units)
  list(APPEND members "${unit}.o")
endforeach()
if(NOT members)
  message(FATAL_ERROR "no solver units in ${SOLVER_DIR}")
endif()

execute_process(COMMAND "${NM}" -A "${ARCHIVE}"
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${ARCHIVE}: ${err}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(seen)
set(mutable)
foreach(line IN LISTS lines)
  # "archive:member:address type name"; undefined symbols have no address.
  if(line MATCHES "^.*:([^:]+):[0-9a-fA-F ]* ([A-Za-z?-]) (.+)$")
    set(member "${CMAKE_MATCH_1}")
    set(type "${CMAKE_MATCH_2}")
    set(name "${CMAKE_MATCH_3}")
    if(member IN_LIST members)
      list(APPEND seen "${member}")
      if(type MATCHES "^[bBdD]$" AND NOT name MATCHES "^(__|\\.)")
        list(APPEND mutable "${member}: ${type} ${name}")
      endif()
    endif()
  endif()
endforeach()
foreach(member IN LISTS members)
  if(NOT member IN_LIST seen)
    message(FATAL_ERROR "solver unit ${member} not found in ${ARCHIVE}")
  endif()
endforeach()
if(mutable)
  string(REPLACE ";" "\n  " mutable "${mutable}")
  message(FATAL_ERROR "mutable globals in the solver's objects:\n  ${mutable}")
endif()
list(LENGTH members count)
message(STATUS "${count} solver units, no mutable global")
