# SPDX-License-Identifier: Apache-2.0
# KestrovanPackage.cmake -- what the Debian package installs, and CPack's DEB
# generator that makes it (scripts/package.sh runs it). FHS places, for the
# install prefix /usr:
#   /usr/lib/kestrovan/NORTAKestrovan, NORTAKestrovanProvision,
#     NORTAKestrovanDoctor, NORTAKestrovanPolicies    the programs (private:
#     the service looks for its adapters beside itself)
#   /usr/lib/kestrovan/NORTA/HelmPKICryptAdapter.so     the PKI adapter
#   /usr/bin/NORTAKestrovan{Provision,Doctor,Policies}  links to the commands
#   /usr/lib/systemd/user/kestrovan.service             the user unit,
#   /usr/lib/systemd/user/kestrovan.socket              its sockets (start on demand, opt-in), and
#   /usr/lib/systemd/user-preset/80-kestrovan.preset    its preset (enabled)
#   /usr/include/kestrovan, /usr/lib/<multiarch>/...    the adapter SDK
#   /usr/share/man/man1, /usr/share/doc/kestrovan       manuals, copyright
include_guard(GLOBAL)
include(GNUInstallDirs)

set(_pkg_dir "${PROJECT_SOURCE_DIR}/scripts/package.d")
set(_pkg_out "${CMAKE_BINARY_DIR}/package")
set(_pkg_private "lib/kestrovan")

install(TARGETS NORTAKestrovan NORTAKestrovanProvision NORTAKestrovanDoctor NORTAKestrovanPolicies
        RUNTIME DESTINATION ${_pkg_private} COMPONENT kestrovan)
install(TARGETS HelmPKICryptAdapter LIBRARY DESTINATION ${_pkg_private}/NORTA COMPONENT kestrovan
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The unit as scripts/install.sh writes it, with the package's folder.
set(PREFIX "${CMAKE_INSTALL_PREFIX}/${_pkg_private}")
set(PROVISION_OPTIONS " --nss")
configure_file("${PROJECT_SOURCE_DIR}/scripts/install.d/kestrovan.service.in" "${_pkg_out}/kestrovan.service" @ONLY)
install(FILES "${_pkg_out}/kestrovan.service" DESTINATION lib/systemd/user COMPONENT kestrovan)
# Started on demand instead (opt-in, not in the preset): the socket unit.
install(FILES "${PROJECT_SOURCE_DIR}/scripts/install.d/kestrovan.socket.in" DESTINATION lib/systemd/user
        RENAME kestrovan.socket COMPONENT kestrovan)
install(FILES "${_pkg_dir}/80-kestrovan.preset" DESTINATION lib/systemd/user-preset COMPONENT kestrovan)

# Commands on PATH: relative links into the private folder.
foreach(command NORTAKestrovanProvision NORTAKestrovanDoctor NORTAKestrovanPolicies)
  file(CREATE_LINK "../${_pkg_private}/${command}" "${_pkg_out}/${command}" SYMBOLIC)
  install(FILES "${_pkg_out}/${command}" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT kestrovan)
endforeach()

# Manuals and the changelog compressed as Debian wants them (gzip -9n: no
# name, no time stamp).
set(_pkg_doc share/doc/kestrovan)
set(_pkg_gz)
foreach(page NORTAKestrovanProvision NORTAKestrovanDoctor NORTAKestrovanPolicies)
  list(APPEND _pkg_gz "${_pkg_out}/${page}.1.gz")
  add_custom_command(OUTPUT "${_pkg_out}/${page}.1.gz"
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip "${_pkg_dir}/man/${page}.1" "${_pkg_out}/${page}.1.gz"
    DEPENDS "${_pkg_dir}/man/${page}.1" VERBATIM)
  install(FILES "${_pkg_out}/${page}.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT kestrovan)
endforeach()
set(VERSION "${PROJECT_VERSION}")
configure_file("${_pkg_dir}/changelog" "${_pkg_out}/changelog" @ONLY)
# A package without a Debian revision is native: its changelog is changelog.gz.
list(APPEND _pkg_gz "${_pkg_out}/changelog.gz")
add_custom_command(OUTPUT "${_pkg_out}/changelog.gz"
  COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip "${_pkg_out}/changelog" "${_pkg_out}/changelog.gz"
  DEPENDS "${_pkg_out}/changelog" VERBATIM)
add_custom_target(kestrovan_package_files ALL DEPENDS ${_pkg_gz})
install(FILES "${_pkg_out}/changelog.gz" "${_pkg_dir}/copyright" DESTINATION ${_pkg_doc} COMPONENT kestrovan)
install(FILES "${_pkg_dir}/lintian-overrides" DESTINATION share/lintian/overrides RENAME kestrovan COMPONENT kestrovan)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrovan)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Kestrovan developers <developers@kestrovan.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lets web pages use the user's local PKI components")
set(CPACK_PACKAGE_DESCRIPTION "Kestrovan is a per-user background service: a page in the user's browser
calls it over HTTPS on 127.0.0.1 and ::1, and it calls locally installed
PKI adapters for that page's origin. The package holds the service, the
PKI adapter (PKCS #11 tokens and PKCS #12 files), the provisioning command
that makes the service's certificate and has the user's browsers trust it,
a doctor that tells why a page cannot reach the service, a writer of
browser policies for administrators, the adapter SDK, and a systemd user
unit that runs the service from every user's login.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# certutil for --nss in the unit; systemd runs the unit.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libnss3-tools, systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_pkg_dir}/postinst;${_pkg_dir}/prerm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Both components, the adapter SDK's too, in one package.
set(CPACK_COMPONENTS_ALL kestrovan adapter_sdk)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}")
include(CPack)
