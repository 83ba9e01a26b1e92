# Run by CPack before it builds a Debian package, after the program has been stripped: removes the
# .comment section, which holds only the compiler's version string, from the program and from
# every object in the static library, as Debian's own packaging tools do. The library keeps its
# symbols; -D writes the archive without owners or time stamps.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(objcopy_program objcopy)
if(NOT objcopy_program)
  message(WARNING "objcopy not found: the .comment sections stay in the package")
  return()
endif()
set(prefix "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(GLOB programs "${prefix}/bin/*")
file(GLOB_RECURSE libraries "${prefix}/lib/*.a")
foreach(binary IN LISTS programs libraries)
  execute_process(COMMAND "${objcopy_program}" -D --remove-section=.comment "${binary}"
    RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "objcopy --remove-section=.comment ${binary} failed: ${error}")
  endif()
endforeach()
