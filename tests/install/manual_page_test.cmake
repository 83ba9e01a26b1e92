# Renders the manual page with every groff warning enabled (and lints it with mandoc where that
# is installed): any message at all fails. Also checks that the page names the project's version.
#
#   cmake -DPAGE=doc/tessaloom.1 -DGROFF=... [-DMANDOC=...] -DVERSION=... -P manual_page_test.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND "${GROFF}" -ww -man -Tutf8 -z "${PAGE}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "groff -ww -man -Tutf8 -z ${PAGE} (${status}):\n${out}")
endif()

if(MANDOC)
  execute_process(COMMAND "${MANDOC}" -Tlint -Wwarning "${PAGE}"
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "mandoc -Tlint ${PAGE} (${status}):\n${out}")
  endif()
endif()

file(STRINGS "${PAGE}" title REGEX "^\\.TH ")
if(NOT title MATCHES "\"Tessaloom Studio ${VERSION}\"")
  message(FATAL_ERROR "The page's title line does not name version ${VERSION}: ${title}")
endif()
