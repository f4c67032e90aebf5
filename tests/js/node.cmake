# SPDX-License-Identifier: Apache-2.0
# node.cmake -- what the node-run tests (tests/js, tests/browser) share: the
# node program and the environment that points the harness at the built
# service, provisioning command and recording test adapter. A missing node
# makes those tests fail, never skip.
find_program(KESTROVAN_NODE_PROGRAM NAMES node nodejs)
if(KESTROVAN_NODE_PROGRAM)
  set(KESTROVAN_NODE ${KESTROVAN_NODE_PROGRAM})
else()
  message(WARNING "node not found: the page library and browser tests fail until nodejs is installed (scripts/setup.sh)")
  set(KESTROVAN_NODE ${CMAKE_COMMAND} -E false)
endif()

set(KESTROVAN_JS_SERVICE_ENV
  "KESTROVAN_SERVICE_EXE=$<TARGET_FILE:NORTAKestrovan>"
  "KESTROVAN_PROVISION_EXE=$<TARGET_FILE:NORTAKestrovanProvision>"
  "KESTROVAN_TEST_ADAPTER=$<TARGET_FILE:KestrovanTestRecorder>"
  "KESTROVAN_PKI_ADAPTER=$<TARGET_FILE:HelmPKICryptAdapter>"
  "KESTROVAN_POLICIES_EXE=$<TARGET_FILE:NORTAKestrovanPolicies>"
  "KESTROVAN_LSAN_SUPPRESSIONS=${PROJECT_SOURCE_DIR}/tests/service/lsan.supp")
