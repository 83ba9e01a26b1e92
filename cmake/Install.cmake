# Installation: the program, its manual page and bash completion, and the engine library with its
# headers and a CMake package, each part with the licence, so that another project can write
#
#   find_package(Tessaloom 2.0 REQUIRED)
#   target_link_libraries(app PRIVATE Tessaloom::engine)
#
# and include <tessaloom/engine.h>.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TESSALOOM_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/Tessaloom" CACHE STRING
    "Where the CMake package files of the engine are installed, relative to the prefix")
mark_as_advanced(TESSALOOM_INSTALL_CMAKEDIR)
set(TESSALOOM_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/tessaloom" CACHE STRING
    "Where the licence is installed, relative to the prefix")
mark_as_advanced(TESSALOOM_INSTALL_DOCDIR)

# The engine's public headers: engine.h and those it includes. They include each other by bare
# name, so installed side by side in include/tessaloom/ they are found as <tessaloom/engine.h>,
# <tessaloom/types.h> and so on. The engine's own helpers (byte_order.h, hex_text.h, utf8.h, the
# format decoders and the platform layer) are not installed.
set(TESSALOOM_ENGINE_HEADERS)
foreach(header IN ITEMS
    byte_source carve delta diff engine entropy entropy_map failure file_io file_reader find format_detect
    hex_dump output_file patch patch_list scan search_replace string_extract structure types
    whole_units xxh64)
  list(APPEND TESSALOOM_ENGINE_HEADERS "${PROJECT_SOURCE_DIR}/src/engine/${header}.h")
endforeach()

# Consumers get the language level that the headers need (std::span), and the static library can
# be linked into their shared libraries as well as their programs.
target_compile_features(tessaloom_engine PUBLIC cxx_std_20)
set_target_properties(tessaloom_engine PROPERTIES
  EXPORT_NAME engine
  POSITION_INDEPENDENT_CODE ON)
target_include_directories(tessaloom_engine PUBLIC
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS tessaloom
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(FILES "${PROJECT_SOURCE_DIR}/doc/tessaloom.1"
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
install(FILES "${PROJECT_SOURCE_DIR}/completion/tessaloom.bash"
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME tessaloom
  COMPONENT Runtime)
# The licence goes with the program and with the library alike, whichever of them is installed.
foreach(component IN ITEMS Runtime Development)
  install(FILES "${PROJECT_SOURCE_DIR}/LICENSE"
    DESTINATION ${TESSALOOM_INSTALL_DOCDIR} COMPONENT ${component})
endforeach()

install(TARGETS tessaloom_engine EXPORT TessaloomTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Development)
install(FILES ${TESSALOOM_ENGINE_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessaloom COMPONENT Development)
install(EXPORT TessaloomTargets
  NAMESPACE Tessaloom::
  DESTINATION ${TESSALOOM_INSTALL_CMAKEDIR}
  COMPONENT Development)

configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/TessaloomConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/TessaloomConfig.cmake"
  INSTALL_DESTINATION ${TESSALOOM_INSTALL_CMAKEDIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/TessaloomConfigVersion.cmake"
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/TessaloomConfig.cmake"
  "${PROJECT_BINARY_DIR}/TessaloomConfigVersion.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/TessaloomDependencies.cmake"
  DESTINATION ${TESSALOOM_INSTALL_CMAKEDIR}
  COMPONENT Development)
