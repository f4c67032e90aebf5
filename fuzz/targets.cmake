# SPDX-License-Identifier: Apache-2.0
# targets.cmake -- the fuzz targets and the libraries each one needs, shared by
# fuzz/CMakeLists.txt (which builds them) and tests/fuzz/CMakeLists.txt (which
# registers the corpus replays). A target is built only when every library it
# names exists in this tree, so targets for libraries still to come simply
# stay out until their folder does.

set(KESTROVAN_FUZZ_TARGETS base64 ini text policy cipher params values names request sessions)

set(KESTROVAN_FUZZ_LIBS_base64 kestrovan_support)
set(KESTROVAN_FUZZ_LIBS_ini kestrovan_support)
set(KESTROVAN_FUZZ_LIBS_text kestrovan_support)
set(KESTROVAN_FUZZ_LIBS_policy kestrovan_policy)
set(KESTROVAN_FUZZ_LIBS_cipher kestrovan_crypto)
set(KESTROVAN_FUZZ_LIBS_params kestrovan_params)
set(KESTROVAN_FUZZ_LIBS_values kestrovan_values kestrovan_policy)
set(KESTROVAN_FUZZ_LIBS_names kestrovan_session kestrovan_params)
set(KESTROVAN_FUZZ_LIBS_request kestrovan_service)
set(KESTROVAN_FUZZ_LIBS_sessions kestrovan_session kestrovan_params)

# Sources compiled into a target with a test switch of their own: the values
# target moves the store's clock.
set(KESTROVAN_FUZZ_SOURCES_values ${PROJECT_SOURCE_DIR}/values/values.cpp)
set(KESTROVAN_FUZZ_DEFINES_values KESTROVAN_VALUE_CLOCK_SEAM)

# kestrovan_fuzz_ready(NAME OUT): OUT is TRUE when every library of NAME exists.
function(kestrovan_fuzz_ready name out)
  set(ready TRUE)
  foreach(lib IN LISTS KESTROVAN_FUZZ_LIBS_${name})
    if(NOT TARGET ${lib})
      set(ready FALSE)
    endif()
  endforeach()
  set(${out} ${ready} PARENT_SCOPE)
endfunction()
