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

# A file that carries a copy of the version (its first capture group) must name this one.
function(velk_check_version_copy file regex)
  file(READ ${PROJECT_SOURCE_DIR}/${file} text)
  string(REGEX MATCH "${regex}" _ "${text}")
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${file} has version '${CMAKE_MATCH_1}', the project ${PROJECT_VERSION}")
  endif()
endfunction()

# The Debian packages take their version from debian/changelog's latest entry (dch -v adds one).
if(EXISTS ${PROJECT_SOURCE_DIR}/debian/changelog)
  velk_check_version_copy(debian/changelog "^velk \\(([^)-]*)")
endif()
