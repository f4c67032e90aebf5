# SPDX-License-Identifier: Apache-2.0
# KestrovanAdapterSDK.cmake -- the adapter SDK for adapters built outside
# this tree. `cmake --install <build> --component adapter_sdk --prefix P`
# installs:
#   P/include/kestrovan/adapter.h, adapter_params.h   the interface
#     adapter_host.h, host.h                         the service's run-time hooks
#     adapter_origins.h, adapter_files.h             origin allow-lists, per-user files
#   P/lib/libkestrovan_adapter.a                      the parameter reads (sdk/)
#                                                     and what they use: the quiet
#                                                     opening of crypto/ and
#                                                     support/memory, in one archive
#   P/lib/cmake/KestrovanAdapter/                     find_package(KestrovanAdapter)
#                                                     with kestrovan_add_adapter
include_guard(GLOBAL)

set(_sdk_libs kestrovan_sdk kestrovan_crypto_core kestrovan_memory)
set(_sdk_dir "${CMAKE_BINARY_DIR}/adapter_sdk")
set(_sdk_archive "${_sdk_dir}/libkestrovan_adapter.a")

# One archive from the three, so an adapter links a single file.
if(APPLE)
  set(_sdk_merge libtool -static -o "${_sdk_archive}")
  foreach(lib IN LISTS _sdk_libs)
    list(APPEND _sdk_merge "$<TARGET_FILE:${lib}>")
  endforeach()
else()
  set(_sdk_script "CREATE ${_sdk_archive}\n")
  foreach(lib IN LISTS _sdk_libs)
    string(APPEND _sdk_script "ADDLIB $<TARGET_FILE:${lib}>\n")
  endforeach()
  string(APPEND _sdk_script "SAVE\nEND\n")
  file(GENERATE OUTPUT "${_sdk_dir}/merge-$<CONFIG>.mri" CONTENT "${_sdk_script}")
  set(_sdk_merge sh -c "\"${CMAKE_AR}\" -M < \"${_sdk_dir}/merge-$<CONFIG>.mri\"")
endif()
add_custom_command(OUTPUT "${_sdk_archive}"
  COMMAND ${CMAKE_COMMAND} -E rm -f "${_sdk_archive}"
  COMMAND ${_sdk_merge}
  DEPENDS ${_sdk_libs}
  COMMENT "Merging the adapter SDK archive"
  VERBATIM)
add_custom_target(kestrovan_adapter_sdk ALL DEPENDS "${_sdk_archive}")

install(FILES "${PROJECT_SOURCE_DIR}/include/kestrovan/adapter.h"
              "${PROJECT_SOURCE_DIR}/include/kestrovan/adapter_params.h"
              "${PROJECT_SOURCE_DIR}/include/kestrovan/adapter_host.h"
              "${PROJECT_SOURCE_DIR}/include/kestrovan/host.h"
              "${PROJECT_SOURCE_DIR}/include/kestrovan/adapter_origins.h"
              "${PROJECT_SOURCE_DIR}/include/kestrovan/adapter_files.h"
        DESTINATION include/kestrovan COMPONENT adapter_sdk EXCLUDE_FROM_ALL)
install(FILES "${_sdk_archive}" DESTINATION lib COMPONENT adapter_sdk EXCLUDE_FROM_ALL)
install(FILES "${CMAKE_CURRENT_LIST_DIR}/KestrovanAdapter.cmake"
              "${CMAKE_CURRENT_LIST_DIR}/KestrovanAdapterConfig.cmake"
        DESTINATION lib/cmake/KestrovanAdapter COMPONENT adapter_sdk EXCLUDE_FROM_ALL)
