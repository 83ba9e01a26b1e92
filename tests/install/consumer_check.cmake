# Builds the consumer project against the Tessaloom package installed under PREFIX and runs its
# programs in WORK_DIR. Used by the install test and by the package check of CI:
#
#   cmake -DPREFIX=<prefix> -DWORK_DIR=<scratch folder> [-DGENERATOR=...] [-DCXX_COMPILER=...]
#         [-DLINK_FLAGS=...] -P consumer_check.cmake
#
# LINK_FLAGS go to the consumer's linker: a sanitized library needs the sanitizers' runtime.
cmake_minimum_required(VERSION 3.25)

foreach(variable PREFIX WORK_DIR)
  if(NOT ${variable})
    message(FATAL_ERROR "consumer_check.cmake needs -D${variable}=...")
  endif()
endforeach()
set(consumer_dir "${CMAKE_CURRENT_LIST_DIR}/consumer")
set(build_dir "${WORK_DIR}/consumer-build")
set(run_dir "${WORK_DIR}/consumer-run")
file(REMOVE_RECURSE "${build_dir}" "${run_dir}")
file(MAKE_DIRECTORY "${run_dir}")

function(run_or_fail what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
endfunction()

set(configure_args -S "${consumer_dir}" -B "${build_dir}" -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_PREFIX_PATH=${PREFIX}")
if(GENERATOR)
  list(APPEND configure_args -G "${GENERATOR}")
endif()
if(CXX_COMPILER)
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()
if(LINK_FLAGS)
  list(APPEND configure_args "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
endif()
run_or_fail("Configuring the consumer" "${CMAKE_COMMAND}" ${configure_args})

# The package must come from PREFIX, not from some other copy on the machine.
file(STRINGS "${build_dir}/CMakeCache.txt" found_dir REGEX "^Tessaloom_DIR:")
string(REGEX REPLACE "^[^=]*=" "" found_dir "${found_dir}")
file(REAL_PATH "${PREFIX}" real_prefix)
file(REAL_PATH "${found_dir}" found_dir)
string(FIND "${found_dir}" "${real_prefix}/" position)
if(NOT position EQUAL 0)
  message(FATAL_ERROR "find_package(Tessaloom) found ${found_dir}, outside ${real_prefix}")
endif()

run_or_fail("Building the header check and engine_checks"
  "${CMAKE_COMMAND}" --build "${build_dir}" --target header_check engine_checks)
run_or_fail("engine_checks" "${build_dir}/engine_checks" WORKING_DIRECTORY "${run_dir}")

run_or_fail("Building patch_checks and blank_pattern"
  "${CMAKE_COMMAND}" --build "${build_dir}" --target patch_checks blank_pattern)
run_or_fail("patch_checks" "${build_dir}/patch_checks" WORKING_DIRECTORY "${run_dir}")

# The README's example: the pattern 41 41 occurs at 0, 1 and 4 in AAABAA, and every byte of
# every occurrence becomes 0.
file(WRITE "${run_dir}/in.bin" "AAABAA")
execute_process(COMMAND "${build_dir}/blank_pattern" in.bin 41-41 out.bin
  WORKING_DIRECTORY "${run_dir}" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(written "(none)")
if(EXISTS "${run_dir}/out.bin")
  file(READ "${run_dir}/out.bin" written HEX)
endif()
set(expected_out "found at 0x0\nfound at 0x1\nfound at 0x4\n")
if(NOT status EQUAL 0 OR NOT out STREQUAL expected_out OR NOT err STREQUAL ""
   OR NOT written STREQUAL "000000420000")
  message(FATAL_ERROR "blank_pattern: status ${status}, output:\n${out}${err}file: ${written}")
endif()
message("Consumer project built against ${PREFIX} and all its checks passed.")
