# The libraries the engine decompresses and reads templates with, each linked statically so that
# the program stays one file: zlib, liblzma, libbz2, libzstd, liblz4 and libyaml. Each becomes an
# imported target tessaloom::<name> over its static archive and headers.
#
# On Linux they are Debian's -dev packages. For the Windows cross build, zlib comes from Debian's
# MinGW package and the others are built from Debian's own source packages into
# TESSALOOM_MINGW_DEPS (see .ci/build-mingw-deps.sh).

set(TESSALOOM_MINGW_DEPS "/opt/tessaloom-mingw-deps" CACHE PATH
    "Where the MinGW builds of the compression and YAML libraries are installed")

# name: the target's name; archive: the static library's file name; header: one of its headers.
function(tessaloom_static_dependency name archive header)
  if(MINGW)
    set(hints ${TESSALOOM_MINGW_DEPS}/lib ${CMAKE_FIND_ROOT_PATH}/lib)
    set(header_hints ${TESSALOOM_MINGW_DEPS}/include ${CMAKE_FIND_ROOT_PATH}/include)
  else()
    set(hints ${CMAKE_LIBRARY_ARCHITECTURE_PATH})
    set(header_hints)
  endif()
  find_library(TESSALOOM_${name}_ARCHIVE NAMES ${archive} HINTS ${hints}
               PATH_SUFFIXES ${CMAKE_LIBRARY_ARCHITECTURE})
  find_path(TESSALOOM_${name}_INCLUDE NAMES ${header} HINTS ${header_hints})
  if(MINGW AND (NOT TESSALOOM_${name}_ARCHIVE OR NOT TESSALOOM_${name}_INCLUDE))
    # Until the cross builds of the libraries are made by the Windows leg.
    message(STATUS "No MinGW build of ${archive}")
    return()
  endif()
  if(NOT TESSALOOM_${name}_ARCHIVE OR NOT TESSALOOM_${name}_INCLUDE)
    message(FATAL_ERROR
      "The static ${archive} and its ${header} were not found. On Debian, .ci/install-deps.sh "
      "installs them (it is what the README's commands run first).")
  endif()
  add_library(tessaloom::${name} STATIC IMPORTED GLOBAL)
  set_target_properties(tessaloom::${name} PROPERTIES
    IMPORTED_LOCATION ${TESSALOOM_${name}_ARCHIVE}
    INTERFACE_INCLUDE_DIRECTORIES ${TESSALOOM_${name}_INCLUDE})
endfunction()

tessaloom_static_dependency(zlib libz.a zlib.h)
tessaloom_static_dependency(lzma liblzma.a lzma.h)
tessaloom_static_dependency(bzip2 libbz2.a bzlib.h)
tessaloom_static_dependency(zstd libzstd.a zstd.h)
tessaloom_static_dependency(lz4 liblz4.a lz4frame.h)
tessaloom_static_dependency(yaml libyaml.a yaml.h)
# Built statically, libyaml's header would otherwise declare its functions as imported from a DLL.
if(MINGW AND TARGET tessaloom::yaml)
  set_property(TARGET tessaloom::yaml APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS YAML_DECLARE_STATIC)
endif()
if(MINGW AND TARGET tessaloom::lzma)
  set_property(TARGET tessaloom::lzma APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)
endif()
