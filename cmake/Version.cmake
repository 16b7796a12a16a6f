# The project's version for the code: velk_version.h (VELK_VERSION_STRING), through the
# interface target velk_version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/velk_version.h.in
               ${PROJECT_BINARY_DIR}/generated/velk_version.h @ONLY)
add_library(velk_version INTERFACE)
target_include_directories(velk_version INTERFACE ${PROJECT_BINARY_DIR}/generated)

# velk_version_resource(<target> <description>): on Windows, a VERSIONINFO resource (compiled by
# windres) that shows the project's version and the description in the file's properties.
function(velk_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(VELK_RC_FILETYPE VFT_DLL)
    set(suffix .dll)
  else()
    set(VELK_RC_FILETYPE VFT_APP)
    set(suffix .exe)
  endif()
  get_target_property(VELK_RC_NAME ${target} OUTPUT_NAME)
  if(NOT VELK_RC_NAME)
    set(VELK_RC_NAME ${target})
  endif()
  set(VELK_RC_FILENAME ${VELK_RC_NAME}${suffix})
  set(VELK_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# The Debian packages take their version from debian/changelog, which must name this one.
if(EXISTS ${PROJECT_SOURCE_DIR}/debian/changelog)
  file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog changelog_head LIMIT_COUNT 1)
  string(REGEX MATCH "^velk \\(([^)-]*)" _ "${changelog_head}")
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "debian/changelog's latest entry has version '${CMAKE_MATCH_1}', "
                        "the project ${PROJECT_VERSION} (dch -v ${PROJECT_VERSION} adds one)")
  endif()
endif()
