# On a Mac the host is also built into a minimal background-only bundle,
# QordaNativeMessagingHost.app: only a bundle with an embedded provisioning
# profile can carry the application-groups entitlement, and without it the
# host's user defaults suite is not the desktop application's. Included from
# the Apple branch before the host's target exists: the rules below name the
# target, which CMake resolves when it generates the build.
#
# Signed when both QORDA_CODESIGN_IDENTITY and QORDA_PROVISIONING_PROFILE are
# given; the profile must cover QORDA_HOST_BUNDLE_ID and the group.

set(QORDA_HOST_BUNDLE_ID "com.velmox.qorda.native-host" CACHE STRING
    "Bundle identifier of QordaNativeMessagingHost.app (the provisioning profile's App ID)")
set(QORDA_CODESIGN_IDENTITY "" CACHE STRING
    "codesign identity for QordaNativeMessagingHost.app, e.g. 'Developer ID Application: …' (empty: unsigned)")
set(QORDA_PROVISIONING_PROFILE "" CACHE FILEPATH
    "Provisioning profile granting group.com.velmox.qorda to QORDA_HOST_BUNDLE_ID")
set(QORDA_TEAM_ID "" CACHE STRING "Team identifier of the provisioning profile (its TeamIdentifier)")

set(qorda_sign OFF)
if(QORDA_CODESIGN_IDENTITY OR QORDA_PROVISIONING_PROFILE)
  if(NOT QORDA_CODESIGN_IDENTITY OR NOT EXISTS "${QORDA_PROVISIONING_PROFILE}" OR NOT QORDA_TEAM_ID)
    # A signature without the profile would name an entitlement nothing grants.
    message(FATAL_ERROR "Signing the host needs QORDA_CODESIGN_IDENTITY, QORDA_PROVISIONING_PROFILE (an "
                        "existing file) and QORDA_TEAM_ID together; the team identifier is printed by "
                        "security cms -D -i PROFILE | plutil -extract TeamIdentifier.0 raw -")
  endif()
  set(qorda_sign ON)
endif()

set(qorda_plist_head "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">
<plist version=\"1.0\">
<dict>")

# The application identifier ties the signature to the profile; without a
# team it is left out (an unsigned or hand-signed bundle).
set(qorda_identifiers "")
if(QORDA_TEAM_ID)
  set(qorda_identifiers "
  <key>com.apple.application-identifier</key>
  <string>${QORDA_TEAM_ID}.${QORDA_HOST_BUNDLE_ID}</string>
  <key>com.apple.developer.team-identifier</key>
  <string>${QORDA_TEAM_ID}</string>")
endif()
set(qorda_entitlements "${CMAKE_CURRENT_BINARY_DIR}/QordaNativeMessagingHost.entitlements")
# No App Sandbox: a sandboxed process cannot post a distributed notification
# with a user-info dictionary, and the notification carries the capture.
file(CONFIGURE OUTPUT "${qorda_entitlements}" CONTENT "${qorda_plist_head}${qorda_identifiers}
  <key>com.apple.security.application-groups</key>
  <array>
    <string>group.com.velmox.qorda</string>
  </array>
</dict>
</plist>
")

set(qorda_info_plist "${CMAKE_CURRENT_BINARY_DIR}/QordaNativeMessagingHost-Info.plist")
# Background-only: the host shows no Dock icon and no menu bar, ever.
file(CONFIGURE OUTPUT "${qorda_info_plist}" CONTENT "${qorda_plist_head}
  <key>CFBundleIdentifier</key>
  <string>${QORDA_HOST_BUNDLE_ID}</string>
  <key>CFBundleExecutable</key>
  <string>QordaNativeMessagingHost</string>
  <key>CFBundleName</key>
  <string>QordaNativeMessagingHost</string>
  <key>CFBundlePackageType</key>
  <string>APPL</string>
  <key>CFBundleInfoDictionaryVersion</key>
  <string>6.0</string>
  <key>CFBundleShortVersionString</key>
  <string>${PROJECT_VERSION}</string>
  <key>CFBundleVersion</key>
  <string>${PROJECT_VERSION}</string>
  <key>LSBackgroundOnly</key>
  <true/>
  <key>LSMinimumSystemVersion</key>
  <string>11.0</string>
</dict>
</plist>
")

set(qorda_bundle "${CMAKE_CURRENT_BINARY_DIR}/QordaNativeMessagingHost.app")
set(qorda_bundle_executable "${qorda_bundle}/Contents/MacOS/QordaNativeMessagingHost")
set(qorda_bundle_steps
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${qorda_bundle}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${qorda_bundle}/Contents/MacOS"
  COMMAND "${CMAKE_COMMAND}" -E copy "${qorda_info_plist}" "${qorda_bundle}/Contents/Info.plist"
  COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:QordaNativeMessagingHost>" "${qorda_bundle_executable}")
set(qorda_bundle_inputs QordaNativeMessagingHost "${qorda_info_plist}" "${qorda_entitlements}")
if(qorda_sign)
  # The profile is embedded before signing, so the signature seals it; the
  # hardened runtime is what notarization asks for.
  list(APPEND qorda_bundle_steps
    COMMAND "${CMAKE_COMMAND}" -E copy "${QORDA_PROVISIONING_PROFILE}"
            "${qorda_bundle}/Contents/embedded.provisionprofile"
    COMMAND codesign --force --options runtime --entitlements "${qorda_entitlements}"
            --sign "${QORDA_CODESIGN_IDENTITY}" "${qorda_bundle}")
  list(APPEND qorda_bundle_inputs "${QORDA_PROVISIONING_PROFILE}")
endif()
add_custom_command(OUTPUT "${qorda_bundle_executable}" ${qorda_bundle_steps}
  DEPENDS ${qorda_bundle_inputs}
  COMMENT "Assembling QordaNativeMessagingHost.app" VERBATIM)
add_custom_target(qorda_host_bundle ALL DEPENDS "${qorda_bundle_executable}")
# Copied as it is: install(TARGETS) would rewrite the executable and break
# the signature. Setup looks for it at ../libexec from its own folder.
install(DIRECTORY "${qorda_bundle}" DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}" USE_SOURCE_PERMISSIONS)

