# Installs the build in BUILD_DIR into WORK_DIR/prefix, checks that every file is where users and
# other projects look for it, then builds and runs the consumer project against that copy.
#
#   cmake -DBUILD_DIR=... -DCONFIG=... -DWORK_DIR=... -DSOURCE_DIR=...
#         -DBINDIR=... -DMANDIR=... -DDATADIR=... -DLIBDIR=... -DINCLUDEDIR=... -DCMAKEDIR=...
#         -DLIBRARY=<library file name> -DPROGRAM=<executable file name>
#         [-DGENERATOR=...] [-DCXX_COMPILER=...] [-DLINK_FLAGS=...]
#         [-DDEPENDENCY_DIRS=<folders of the static libraries the engine links, "|" between>]
#         -P install_test.cmake
cmake_minimum_required(VERSION 3.25)

set(prefix "${WORK_DIR}/prefix")
# The public headers: engine.h and every header it includes, followed through the includes.
set(HEADERS engine.h)
set(unread engine.h)
while(unread)
  list(POP_FRONT unread header)
  file(STRINGS "${SOURCE_DIR}/src/engine/${header}" includes REGEX "^#include \"[a-z0-9_]+\\.h\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([a-z0-9_]+\\.h)\".*" "\\1" included "${line}")
    if(NOT included IN_LIST HEADERS)
      list(APPEND HEADERS "${included}")
      list(APPEND unread "${included}")
    endif()
  endforeach()
endwhile()
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --config "${CONFIG}" --prefix "${prefix}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${out}")
endif()

set(expected
  "${BINDIR}/${PROGRAM}"
  "${MANDIR}/man1/tessaloom.1"
  "${DATADIR}/bash-completion/completions/tessaloom"
  "${LIBDIR}/${LIBRARY}"
  "${CMAKEDIR}/TessaloomConfig.cmake"
  "${CMAKEDIR}/TessaloomConfigVersion.cmake"
  "${CMAKEDIR}/TessaloomTargets.cmake")
foreach(header IN LISTS HEADERS)
  list(APPEND expected "${INCLUDEDIR}/tessaloom/${header}")
endforeach()
foreach(file IN LISTS expected)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "Not installed: ${file}")
  endif()
endforeach()

# Exactly the engine's public headers, nothing of its own helpers, the front end or the tests.
file(GLOB installed_headers RELATIVE "${prefix}/${INCLUDEDIR}/tessaloom"
  "${prefix}/${INCLUDEDIR}/tessaloom/*")
list(SORT installed_headers)
set(expected_headers ${HEADERS})
list(SORT expected_headers)
if(NOT installed_headers STREQUAL expected_headers)
  message(FATAL_ERROR "Installed headers: ${installed_headers}\nexpected: ${expected_headers}")
endif()

# The installed program runs; --help is no command, so it prints the usage text with status 1.
execute_process(COMMAND "${prefix}/${BINDIR}/${PROGRAM}" --help
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 1 OR NOT out MATCHES "^=+\n  Tessaloom Studio v2.0" OR NOT err STREQUAL "")
  message(FATAL_ERROR "Installed program, --help: status ${status}, output:\n${out}${err}")
endif()

set(PREFIX "${prefix}")
include("${CMAKE_CURRENT_LIST_DIR}/consumer_check.cmake")

# Where the static libraries that the engine links cannot be found, the package is not found, and
# says which archives are missing and which Debian packages hold them.
if(NOT DEPENDENCY_DIRS)
  return()
endif()
string(REPLACE "|" ";" dependency_dirs "${DEPENDENCY_DIRS}")
set(hidden "")
foreach(dir IN LISTS dependency_dirs)
  # With /usr merged, /lib/<arch> is the same folder under another name.
  file(REAL_PATH "${dir}" real_dir)
  list(APPEND hidden "${dir}" "${real_dir}")
  if(real_dir MATCHES "^/usr(/.+)$")
    list(APPEND hidden "${CMAKE_MATCH_1}")
  endif()
endforeach()
set(configure_args -S "${SOURCE_DIR}/tests/install/consumer" -B "${WORK_DIR}/consumer-without"
    "-DCMAKE_PREFIX_PATH=${prefix}")
if(GENERATOR)
  list(APPEND configure_args -G "${GENERATOR}")
endif()
if(CXX_COMPILER)
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" ${configure_args} "-DCMAKE_IGNORE_PATH=${hidden}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REGEX REPLACE "[ \n]+" " " out "${out}")
if(status EQUAL 0 OR NOT out MATCHES
   "Tessaloom::engine links the static libz\\.a, .*libyaml\\.a, which were not found .*apt-get install zlib1g-dev ")
  message(FATAL_ERROR "Configuring the consumer without the static libraries: status ${status}:\n${out}")
endif()
