# SPDX-License-Identifier: Apache-2.0
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

if(NOT TARGET Kestrovan::adapter_sdk)
  # The archive needs nothing but the C and C++ runtimes.
  add_library(Kestrovan::adapter_sdk STATIC IMPORTED)
  set_target_properties(Kestrovan::adapter_sdk PROPERTIES
    IMPORTED_LOCATION "${_kestrovan_sdk_prefix}/lib/libkestrovan_adapter.a"
    IMPORTED_LINK_INTERFACE_LANGUAGES CXX
    INTERFACE_INCLUDE_DIRECTORIES "${_kestrovan_sdk_prefix}/include")
endif()

set(KESTROVAN_ADAPTER_INCLUDE_DIR "${_kestrovan_sdk_prefix}/include")
include("${CMAKE_CURRENT_LIST_DIR}/KestrovanAdapter.cmake")
