# KestrovanAdapterConfig.cmake -- find_package(KestrovanAdapter) for adapters
# built outside the service's tree against an installed adapter SDK:
#
#   cmake_minimum_required(VERSION 3.25)
#   project(MyAdapter C CXX)          # CXX: the SDK's library is C++ inside
#   find_package(KestrovanAdapter REQUIRED)
#   kestrovan_add_adapter(MyAdapter SOURCES my_adapter.c)
#
# Installed by `cmake --install <build> --component adapter_sdk --prefix P`
# as P/lib/cmake/KestrovanAdapter/; give P in CMAKE_PREFIX_PATH.
get_filename_component(_kestrovan_sdk_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

include(CMakeFindDependencyMacro)
find_dependency(Threads)
if(NOT APPLE)
  find_dependency(PkgConfig)
  pkg_check_modules(KESTROVAN_SDK_SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
endif()

if(NOT TARGET Kestrovan::adapter_sdk)
  add_library(Kestrovan::adapter_sdk STATIC IMPORTED)
  set(_kestrovan_sdk_deps Threads::Threads)
  if(APPLE)
    list(APPEND _kestrovan_sdk_deps "-framework CoreFoundation" "-framework CoreGraphics")
  else()
    list(APPEND _kestrovan_sdk_deps PkgConfig::KESTROVAN_SDK_SYSTEMD)
  endif()
  set_target_properties(Kestrovan::adapter_sdk PROPERTIES
    IMPORTED_LOCATION "${_kestrovan_sdk_prefix}/lib/libkestrovan_adapter.a"
    IMPORTED_LINK_INTERFACE_LANGUAGES CXX
    INTERFACE_INCLUDE_DIRECTORIES "${_kestrovan_sdk_prefix}/include"
    INTERFACE_LINK_LIBRARIES "${_kestrovan_sdk_deps}")
endif()

set(KESTROVAN_ADAPTER_INCLUDE_DIR "${_kestrovan_sdk_prefix}/include")
include("${CMAKE_CURRENT_LIST_DIR}/KestrovanAdapter.cmake")
