# The application manifest and the version resource of a Windows program, built with windres:
#   handover_windows_resources(TARGET "description")
# The manifest runs the program as its invoker (never elevated), names the Windows versions it
# supports and lets it use long paths; the version resource carries the project's version, the
# product and file names and the vendor's company name (HANDOVER_COMPANY_NAME).
set(HANDOVER_COMPANY_NAME "" CACHE STRING
    "Company name for the version resource of the Windows programs (the vendor's)")

function(handover_windows_resources target description)
  set(RES_NAME ${target})
  set(RES_DESCRIPTION "${description}")
  set(RES_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(RES_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(RES_MANIFEST "${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/app.manifest.in ${RES_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()
