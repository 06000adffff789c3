cmake_minimum_required(VERSION 3.16)
# Runs the host program nlfit-fit and checks what it prints. One mode per run:
#
#   -DMODE=expected -DHOST=exe -DDATA=file.dat -DSTART=1|2 -DEXPECTED=file
#       EXPECTED holds an independent run of the same fit (tolerance 1e-12):
#       its progress lines, "evals E", "params p0 p1 ...", "lre bK D" and
#       "lre rss D". The host's progress lines, evaluations, fitted parameters
#       and digits must be the same strings.
#   -DMODE=columns -DHOST=exe -DDATA=file.dat -DCOLUMNS=file.csv -DMODEL=name
#       The x,y file holds the observations of DATA; fitted from start 1 of
#       DATA, it must print exactly what the NIST file's fit prints.
#   -DMODE=moved -DHOST=exe -DDATA=file.dat -DLIBRARY=libnlfit.so.1 -DWORK_DIR=dir
#       The host and the library copied to another tree, in the same places
#       relative to each other: the host still finds the library.
#   -DMODE=errors -DHOST=exe -DDATA=file.dat -DCOLUMNS=file.csv -DWORK_DIR=dir
#       Bad input exits non-zero with one line on stderr (and --svg writes no
#       picture of a refused fit).
foreach(var MODE HOST DATA)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "host_program_test: ${var} not set")
  endif()
endforeach()

set(failures 0)
macro(report_failure text)
  message(SEND_ERROR "${text}")
  math(EXPR failures "${failures} + 1")
endmacro()

# Runs the host with the given arguments; sets out, err and rc.
function(run_host)
  execute_process(COMMAND "${HOST}" ${ARGN}
    OUTPUT_VARIABLE output ERROR_VARIABLE error RESULT_VARIABLE result)
  set(out "${output}" PARENT_SCOPE)
  set(err "${error}" PARENT_SCOPE)
  set(rc "${result}" PARENT_SCOPE)
endfunction()

# The lines of text matching regex, as a list.
function(matching_lines text regex result)
  string(REPLACE "\n" ";" all "${text}")
  list(FILTER all INCLUDE REGEX "${regex}")
  set(${result} "${all}" PARENT_SCOPE)
endfunction()

# Capture group 1 of regex in every line of text that matches it, as a list.
function(captured text regex result)
  matching_lines("${text}" "${regex}" lines)
  set(values)
  foreach(line IN LISTS lines)
    string(REGEX MATCH "${regex}" unused "${line}")
    list(APPEND values "${CMAKE_MATCH_1}")
  endforeach()
  set(${result} "${values}" PARENT_SCOPE)
endfunction()

# One NIST fit: stdout with nothing on stderr and exit status 0.
function(fit_nist start)
  run_host(--start ${start} "${DATA}")
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "nlfit-fit ${DATA} --start ${start}: exit ${rc}: ${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "expected")
  fit_nist(${START})
  file(READ "${EXPECTED}" expected)

  matching_lines("${out}" "^fnorm " host_progress)
  matching_lines("${expected}" "^fnorm " expected_progress)
  list(LENGTH host_progress line_count)
  if(NOT ("${host_progress}" STREQUAL "${expected_progress}"))
    report_failure("progress lines differ:\n${out}")
  endif()
  if(NOT (line_count GREATER 0))
    report_failure("no progress line")
  endif()
  if(NOT ("${out}" MATCHES "\nstatus 0\n"))
    report_failure("status line missing")
  endif()

  string(REGEX MATCH "\nevaluations ([0-9]+) progress_lines ([0-9]+) model_calls ([0-9]+)\n" unused "${out}")
  set(evaluations "${CMAKE_MATCH_1}")
  set(reported_lines "${CMAKE_MATCH_2}")
  captured("${expected}" "^evals ([0-9]+)$" expected_evaluations)
  if(NOT (evaluations STREQUAL expected_evaluations))
    report_failure("evaluations ${evaluations}, expected ${expected_evaluations}")
  endif()
  if(NOT (reported_lines STREQUAL line_count))
    report_failure("progress_lines ${reported_lines}, printed ${line_count}")
  endif()

  captured("${out}" "^b[0-9]+ fitted ([^ ]+) certified" fitted)
  captured("${expected}" "^params (.*)$" expected_fitted)
  string(REPLACE " " ";" expected_fitted "${expected_fitted}")
  if(NOT ("${fitted}" STREQUAL "${expected_fitted}"))
    report_failure("fitted ${fitted}, expected ${expected_fitted}")
  endif()

  captured("${out}" "^b[0-9]+ fitted .* digits ([0-9.]+)$" digits)
  captured("${expected}" "^lre b[0-9]+ ([0-9.]+)$" expected_digits)
  if(NOT ("${digits}" STREQUAL "${expected_digits}"))
    report_failure("digits ${digits}, expected ${expected_digits}")
  endif()
  list(LENGTH fitted fitted_count)
  list(LENGTH digits digits_count)
  if(fitted_count EQUAL 0 OR NOT digits_count EQUAL fitted_count OR evaluations STREQUAL "")
    report_failure("parameter or count lines missing:\n${out}")
  endif()
  captured("${out}" "^rss fitted .* digits ([0-9.]+)$" rss_digits)
  captured("${expected}" "^lre rss ([0-9.]+)" expected_rss_digits)
  if(NOT ("${rss_digits}" STREQUAL "${expected_rss_digits}"))
    report_failure("rss digits ${rss_digits}, expected ${expected_rss_digits}")
  endif()

elseif(MODE STREQUAL "columns")
  fit_nist(1)
  set(nist_out "${out}")
  file(STRINGS "${DATA}" starts REGEX "^ *b[0-9]+ += ")
  set(params)
  foreach(line IN LISTS starts)
    string(REGEX MATCH "= +([^ ]+)" unused "${line}")
    list(APPEND params "${CMAKE_MATCH_1}")
  endforeach()
  string(REPLACE ";" "," params "${params}")
  run_host(--model ${MODEL} --params ${params} "${COLUMNS}")
  if(NOT (rc EQUAL 0 AND err STREQUAL ""))
    report_failure("exit ${rc}: ${err}")
  endif()

  # Same progress, status and counts; p<j> is b<j+1>; rss without certificate.
  string(REGEX REPLACE "\nb1 fitted.*" "" nist_head "${nist_out}")
  string(REGEX REPLACE "\np0 fitted.*" "" columns_head "${out}")
  if(NOT ("${columns_head}" STREQUAL "${nist_head}"))
    report_failure("progress or counts differ:\n${out}")
  endif()
  captured("${nist_out}" "^b[0-9]+ fitted ([^ ]+) " nist_fitted)
  captured("${out}" "^p[0-9]+ fitted ([^ ]+)$" columns_fitted)
  if(NOT ("${columns_fitted}" STREQUAL "${nist_fitted}"))
    report_failure("fitted ${columns_fitted}, expected ${nist_fitted}")
  endif()
  captured("${nist_out}" "^rss fitted ([^ ]+) " nist_rss)
  captured("${out}" "^rss fitted ([^ ]+)$" columns_rss)
  if(nist_fitted STREQUAL "" OR nist_rss STREQUAL "" OR NOT nist_head MATCHES "^fnorm .*\nevaluations ")
    report_failure("NIST fit output incomplete:\n${nist_out}")
  endif()
  if(NOT ("${columns_rss}" STREQUAL "${nist_rss}"))
    report_failure("rss ${columns_rss}, expected ${nist_rss}")
  endif()

elseif(MODE STREQUAL "moved")
  file(REMOVE_RECURSE "${WORK_DIR}")
  file(MAKE_DIRECTORY "${WORK_DIR}/examples")
  file(COPY "${HOST}" DESTINATION "${WORK_DIR}/examples")
  file(COPY "${LIBRARY}" DESTINATION "${WORK_DIR}" FOLLOW_SYMLINK_CHAIN)
  # The fitting API library (the digits of agreement), found by the
  # program's RPATH relative to its own location.
  file(COPY "${API_LIBRARY}" DESTINATION "${WORK_DIR}" FOLLOW_SYMLINK_CHAIN)
  get_filename_component(host_name "${HOST}" NAME)
  set(HOST "${WORK_DIR}/examples/${host_name}")
  # The loader's trace names the file dlopen loaded: the copy, not the
  # library of the build tree (which is still in place).
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_DEBUG=files "${HOST}" "${DATA}"
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "\nb1 fitted 238\\.94212")
    report_failure("moved host: exit ${rc}:\n${out}${err}")
  endif()
  if(NOT err MATCHES "file=${WORK_DIR}/(examples/\\.\\./)?libnlfit\\.so\\.1 ")
    report_failure("moved host did not load the library beside it:\n${err}")
  endif()
  file(REMOVE_RECURSE "${WORK_DIR}")

elseif(MODE STREQUAL "errors")
  file(MAKE_DIRECTORY "${WORK_DIR}")
  file(READ "${DATA}" nist_text)
  string(REGEX REPLACE "Dataset Name: +[A-Za-z0-9]+" "Dataset Name:  Unheard1" renamed "${nist_text}")
  file(WRITE "${WORK_DIR}/renamed.dat" "${renamed}")
  string(REGEX REPLACE "\n[^\n]*[0-9][^\n]*\r?\n*$" "\n  1.0  2.0  3.0\n" spoiled "${nist_text}")
  file(WRITE "${WORK_DIR}/spoiled.dat" "${spoiled}")
  file(WRITE "${WORK_DIR}/three.csv" "1,2\n2,3\n3,5\n")
  file(WRITE "${WORK_DIR}/nan.csv" "1,2\n2,nan\n3,5\n")
  file(WRITE "${WORK_DIR}/bad.csv" "x,y\n1,2\n2,three\n")
  file(REMOVE "${WORK_DIR}/refused.svg")

  # expected exit status | expected stdout | stderr pattern | arguments...
  set(cases
    "1||missing.dat: No such file or directory|${WORK_DIR}/missing.dat"
    "1||not a NIST StRD|${COLUMNS}"
    "1||bad data line|${WORK_DIR}/spoiled.dat"
    "1||unknown model Unheard1|${WORK_DIR}/renamed.dat"
    "1||unknown model Unheard2|--model|Unheard2|--params|1,2|${COLUMNS}"
    "1||bad.csv: line 3, column 2: 'three' is not a number|--model|Misra1a|--params|1,2|${WORK_DIR}/bad.csv"
    "2||takes 2 starting values, got 3|--model|Misra1a|--params|1,2,3|${COLUMNS}"
    "2||bad starting value|--model|Misra1a|--params|1,x|${COLUMNS}"
    "1|status 1\n|fit refused|--model|Kirby2|--params|1,1,1,1,1|${WORK_DIR}/three.csv"
    "1||nan.csv: line 2, column 2: y is not finite|--model|Misra1a|--params|1,1|${WORK_DIR}/nan.csv"
    "1||cannot load library|--lib|${WORK_DIR}/nowhere/libnlfit.so|${DATA}"
    "2||unknown option|--frobnicate|${DATA}"
    "2||--start takes 1 or 2|--start|3|${DATA}"
    "2||--svg needs a value|${DATA}|--svg"
    "1|status 1\n|fit refused|--svg|${WORK_DIR}/refused.svg|--model|Kirby2|--params|1,1,1,1,1|${WORK_DIR}/three.csv"
  )
  foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(POP_FRONT fields want_rc want_out want_err)
    string(REPLACE "\\n" "\n" want_out "${want_out}")
    run_host(${fields})
    if(NOT (rc EQUAL want_rc))
      report_failure("${fields}: exit ${rc}, expected ${want_rc}")
    endif()
    if(NOT ("${out}" STREQUAL "${want_out}"))
      report_failure("${fields}: stdout '${out}', expected '${want_out}'")
    endif()
    if(NOT (err MATCHES "^nlfit-fit: [^\n]*${want_err}[^\n]*\n$"))
      report_failure("${fields}: stderr '${err}'")
    endif()
  endforeach()
  if(EXISTS "${WORK_DIR}/refused.svg")
    report_failure("--svg wrote a picture of a refused fit")
  endif()

else()
  message(FATAL_ERROR "host_program_test: unknown MODE ${MODE}")
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
