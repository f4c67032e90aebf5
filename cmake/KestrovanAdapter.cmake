# SPDX-License-Identifier: Apache-2.0
# KestrovanAdapter.cmake -- builds an adapter library from the public header
# include/kestrovan/adapter.h alone.
#
#   kestrovan_add_adapter(<name> SOURCES a.c b.c [OUTPUT_DIR dir] [COM_NAME name])
#
# Makes a MODULE library whose file is exactly "<ComName>.so" (".dylib" on
# macOS), without the "lib" prefix, which is what the service looks for under
# "<exe folder>/<LibDir>/". ComName defaults to <name>; COM_NAME lets two
# targets build files of the same name into different folders. Symbols are
# hidden by default: mark the entry points with KESTROVAN_ADAPTER_EXPORT.
# Every adapter links the parameter reads of kestrovan/adapter_params.h (the
# sdk/ library in this tree, libkestrovan_adapter.a from an installed SDK;
# kept hidden inside the adapter either way). Outside this
# tree, find_package(KestrovanAdapter) provides this function.
# C++ adapters are built without GCC's "unique" symbols, which would pin the
# library in memory so that a released session's copy never unloads.
include_guard(GLOBAL)

# In this tree the headers lie beside cmake/; an installed SDK's package
# file names its own include folder before including this one.
if(NOT DEFINED KESTROVAN_ADAPTER_INCLUDE_DIR)
  set(KESTROVAN_ADAPTER_INCLUDE_DIR "${CMAKE_CURRENT_LIST_DIR}/../include")
endif()

function(kestrovan_add_adapter name)
  cmake_parse_arguments(A "" "OUTPUT_DIR;COM_NAME" "SOURCES" ${ARGN})
  if(NOT A_SOURCES)
    message(FATAL_ERROR "kestrovan_add_adapter(${name}): SOURCES is required")
  endif()
  if(A_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kestrovan_add_adapter(${name}): unknown arguments ${A_UNPARSED_ARGUMENTS}")
  endif()
  set(com_name ${name})
  if(A_COM_NAME)
    set(com_name ${A_COM_NAME})
  endif()
  if(APPLE)
    set(suffix ".dylib")
  else()
    set(suffix ".so")
  endif()
  add_library(${name} MODULE ${A_SOURCES})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    OUTPUT_NAME "${com_name}"
    SUFFIX "${suffix}"
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PRIVATE "${KESTROVAN_ADAPTER_INCLUDE_DIR}")
  target_compile_options(${name} PRIVATE $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<CXX_COMPILER_ID:GNU>>:-fno-gnu-unique>)
  set(sdk_library "")
  if(TARGET kestrovan_sdk)
    set(sdk_library kestrovan_sdk)
  elseif(TARGET Kestrovan::adapter_sdk)
    set(sdk_library Kestrovan::adapter_sdk)
  endif()
  if(sdk_library)
    target_link_libraries(${name} PRIVATE ${sdk_library})
    if(NOT APPLE)
      # Nothing of the static libraries may be exported: two adapters (or an
      # adapter and the service) must never bind to each other's copies.
      target_link_options(${name} PRIVATE "LINKER:--exclude-libs,ALL")
    endif()
  endif()
  if(A_OUTPUT_DIR)
    set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${A_OUTPUT_DIR}")
  endif()
endfunction()
