# Assembles the helper application bundle, with the relaunch tool's bundle and the remove tool
# inside its executable folder:
#   PendraMacSandboxHelper.app/Contents/Info.plist
#   PendraMacSandboxHelper.app/Contents/MacOS/PendraMacSandboxHelper
#   PendraMacSandboxHelper.app/Contents/MacOS/PendraSandboxHelperRemoveTool
#   PendraMacSandboxHelper.app/Contents/MacOS/PendraSandboxHelperServicesTool
#   PendraMacSandboxHelper.app/Contents/MacOS/PendraSandboxHelperRelaunchTool.app/Contents/...
#   PendraMacSandboxHelper.app/Contents/Resources/ApplicationConnectors.plist
set(PENDRA_BUNDLE_DIR ${CMAKE_BINARY_DIR}/bundles)
set(PENDRA_HELPER_APP ${PENDRA_BUNDLE_DIR}/PendraMacSandboxHelper.app)
set(PENDRA_RELAUNCH_APP ${PENDRA_HELPER_APP}/Contents/MacOS/PendraSandboxHelperRelaunchTool.app)

configure_file(${PROJECT_SOURCE_DIR}/helper/resources/Info.plist.in
               ${CMAKE_BINARY_DIR}/generated/helper/Info.plist @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/tools/relaunch/Info.plist.in
               ${CMAKE_BINARY_DIR}/generated/relaunch/Info.plist @ONLY)

add_custom_target(helper_bundle ALL
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${PENDRA_HELPER_APP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PENDRA_HELPER_APP}/Contents/MacOS
          ${PENDRA_HELPER_APP}/Contents/Resources ${PENDRA_RELAUNCH_APP}/Contents/MacOS
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/generated/helper/Info.plist
          ${PENDRA_HELPER_APP}/Contents/Info.plist
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:PendraMacSandboxHelper>
          ${PENDRA_HELPER_APP}/Contents/MacOS/PendraMacSandboxHelper
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:PendraSandboxHelperRemoveTool>
          ${PENDRA_HELPER_APP}/Contents/MacOS/PendraSandboxHelperRemoveTool
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:PendraSandboxHelperServicesTool>
          ${PENDRA_HELPER_APP}/Contents/MacOS/PendraSandboxHelperServicesTool
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/generated/relaunch/Info.plist
          ${PENDRA_RELAUNCH_APP}/Contents/Info.plist
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:PendraSandboxHelperRelaunchTool>
          ${PENDRA_RELAUNCH_APP}/Contents/MacOS/PendraSandboxHelperRelaunchTool
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/helper/resources/ApplicationConnectors.plist
          ${PENDRA_HELPER_APP}/Contents/Resources/ApplicationConnectors.plist
  DEPENDS PendraMacSandboxHelper PendraSandboxHelperRemoveTool PendraSandboxHelperRelaunchTool
          PendraSandboxHelperServicesTool
          ${PROJECT_SOURCE_DIR}/helper/resources/ApplicationConnectors.plist
          ${CMAKE_BINARY_DIR}/generated/helper/Info.plist
          ${CMAKE_BINARY_DIR}/generated/relaunch/Info.plist
  COMMENT "Assembling PendraMacSandboxHelper.app"
  VERBATIM)

# Installed whole, tools inside. Started from there, the helper moves itself into its designated
# folder, like one a person downloaded.
install(DIRECTORY ${PENDRA_HELPER_APP} DESTINATION ${CMAKE_INSTALL_DATADIR}/pendra
        USE_SOURCE_PERMISSIONS)
