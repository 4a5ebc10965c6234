# The Debian package qorda-native-host, made by CPack from the install rules
# (scripts/package, or `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr): the host in lib/qorda-native-host, the tools
# in bin with manual pages that help2man makes from their own --help, the
# README and copyright, and, given extension IDs, the browsers' system-wide
# manifests.

set(QORDA_EXTENSION_IDS "" CACHE STRING
    "Extension IDs (separated by ';' or ',') that the packaged system-wide manifests allow")

set(qorda_packaging ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${qorda_packaging})
set(QORDA_MAINTAINER "Velmox Qorda packaging <packaging@velmox.example>")
set(qorda_host_name com.velmox.qorda.native_host)
set(qorda_packaged_files)

# Manual pages, compressed as Debian keeps them. help2man runs each tool's
# --help and --version, so a page cannot drift from its program.
find_program(QORDA_HELP2MAN help2man)
if(NOT APPLE)
  set(qorda_man_pages
      "qorda-native-host-setup|register the Qorda native messaging host with Chromium-family browsers"
      "qorda-policy|check, publish and show the Qorda policy snapshot, and explain decisions"
      "qorda-inbox|read the Qorda capture inbox and follow the capture signals"
      "qorda-frame-client|send JSON lines to a native messaging host as frames")
  if(QORDA_HELP2MAN)
    # The date on a page is SOURCE_DATE_EPOCH's, as at configure time: being
    # on the command line, a new one remakes the pages.
    string(TIMESTAMP qorda_epoch "%s")
    foreach(entry IN LISTS qorda_man_pages)
      string(REPLACE "|" ";" entry "${entry}")
      list(GET entry 0 tool)
      list(GET entry 1 summary)
      add_custom_command(
        OUTPUT ${qorda_packaging}/${tool}.1.gz
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${qorda_epoch}
                ${CMAKE_COMMAND} -DHELP2MAN=${QORDA_HELP2MAN} -DPROGRAM=$<TARGET_FILE:${tool}>
                "-DSUMMARY=${summary}" -DOUTPUT=${qorda_packaging}/${tool}.1.gz
                -P ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
        DEPENDS ${tool} ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
        VERBATIM)
      list(APPEND qorda_packaged_files ${qorda_packaging}/${tool}.1.gz)
      install(FILES ${qorda_packaging}/${tool}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
  else()
    message(STATUS "manual pages skipped: no help2man (Debian help2man)")
  endif()
  # The host's page is written by hand: it has no command line.
  add_custom_command(
    OUTPUT ${qorda_packaging}/QordaNativeMessagingHost.1.gz
    COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_SOURCE_DIR}/packaging/QordaNativeMessagingHost.1
            -DOUTPUT=${qorda_packaging}/QordaNativeMessagingHost.1.gz -P ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/QordaNativeMessagingHost.1 ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
    VERBATIM)
  list(APPEND qorda_packaged_files ${qorda_packaging}/QordaNativeMessagingHost.1.gz)
  install(FILES ${qorda_packaging}/QordaNativeMessagingHost.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The system-wide manifests, written by setup's own manifest command. The
# file lives below the prefix; each browser's folder in /etc holds a link to
# it, so that removing the package removes them (a file in /etc would be a
# configuration file that dpkg keeps until purge).
string(REPLACE "," ";" qorda_ids "${QORDA_EXTENSION_IDS}")
if(qorda_ids AND NOT APPLE)
  set(qorda_id_args)
  foreach(id IN LISTS qorda_ids)
    list(APPEND qorda_id_args --extension-id ${id})
  endforeach()
  set(qorda_manifest ${qorda_packaging}/${qorda_host_name}.json)
  set(qorda_manifest_installed ${CMAKE_INSTALL_FULL_DATADIR}/qorda-native-host/${qorda_host_name}.json)
  add_custom_command(
    OUTPUT ${qorda_manifest}
    COMMAND qorda-native-host-setup manifest ${qorda_id_args}
            --host-path ${CMAKE_INSTALL_PREFIX}/${QORDA_HOST_INSTALL_DIR}/QordaNativeMessagingHost
            > ${qorda_manifest}
    DEPENDS qorda-native-host-setup
    VERBATIM)
  list(APPEND qorda_packaged_files ${qorda_manifest})
  install(FILES ${qorda_manifest} DESTINATION ${CMAKE_INSTALL_DATADIR}/qorda-native-host)
  file(CREATE_LINK ${qorda_manifest_installed} ${qorda_packaging}/manifest-link.json SYMBOLIC)
  # Chrome's folder serves Brave too.
  foreach(folder /etc/opt/chrome/native-messaging-hosts /etc/chromium/native-messaging-hosts
                 /etc/opt/edge/native-messaging-hosts)
    install(FILES ${qorda_packaging}/manifest-link.json DESTINATION ${folder} RENAME ${qorda_host_name}.json)
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/preinst ${CMAKE_SOURCE_DIR}/packaging/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME qorda-native-host)
  message(STATUS "system-wide manifests for Chrome, Chromium and Edge, allowing ${qorda_ids}")
else()
  message(STATUS "no system-wide manifests: set QORDA_EXTENSION_IDS to the extension's ID to ship them")
endif()

# A native package's changelog, dated by SOURCE_DATE_EPOCH when it is set.
string(TIMESTAMP qorda_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${qorda_packaging}/changelog @ONLY)
add_custom_command(
  OUTPUT ${qorda_packaging}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -DINPUT=${qorda_packaging}/changelog -DOUTPUT=${qorda_packaging}/changelog.gz
          -P ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
  DEPENDS ${qorda_packaging}/changelog
  VERBATIM)
list(APPEND qorda_packaged_files ${qorda_packaging}/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright ${qorda_packaging}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qorda-native-host)
add_custom_target(qorda_packaged_files ALL DEPENDS ${qorda_packaged_files})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qorda-native-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QORDA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "native messaging host for the Qorda browser extension\n"
    "QordaNativeMessagingHost is started by Chromium-family browsers for the\n"
    "Qorda extension. It decides for each resource request whether the Qorda\n"
    "desktop application takes it over, and hands takeovers to it.\n"
    "The package also holds qorda-native-host-setup, qorda-policy, qorda-inbox\n"
    "and qorda-frame-client.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The host opens libsystemd with dlopen, out of dpkg-shlibdeps' sight, but
# qorda-inbox links it, so the dependency is found all the same.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
