# cmake --install, by component:
#   runtime      libvelk.so.0 (Windows: velk.dll and libusb-1.0.dll), README and licences
#   development  velk.h, the libvelk.so link, velk.pc, the CMake package velk::velk
#                (Windows: velk.def and the MinGW and MSVC import libraries)
#   tools        velkctl, and on Linux the udev rules that open the device to its user
#   sim          the virtual device's preload library for velkctl --sim (Linux)
# On Windows everything lands flat in the prefix, the layout of the release zip.
set(VELK_INSTALL_UDEVRULESDIR lib/udev/rules.d CACHE PATH
    "udev rules folder, relative to the prefix (udev reads /usr/lib and /usr/local/lib)")

if(WIN32)
  set(bindir .)
  set(libdir .)
  set(includedir .)
  set(docdir .)
else()
  set(bindir ${CMAKE_INSTALL_BINDIR})
  set(libdir ${CMAKE_INSTALL_LIBDIR})
  set(includedir ${CMAKE_INSTALL_INCLUDEDIR})
  set(docdir ${CMAKE_INSTALL_DOCDIR})
endif()

install(TARGETS velk EXPORT velkTargets
        RUNTIME DESTINATION ${bindir} COMPONENT runtime
        LIBRARY DESTINATION ${libdir} COMPONENT runtime NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${libdir} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/velk/include/velk.h DESTINATION ${includedir}
        COMPONENT development)
install(TARGETS velkctl RUNTIME DESTINATION ${bindir} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${docdir}
        COMPONENT runtime)

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/velk/velk.def ${VELK_MSVC_IMPORT_LIBRARY}
                DESTINATION ${libdir} COMPONENT development)
  install(FILES ${VELK_DEPS_ROOT}/bin/libusb-1.0.dll DESTINATION ${bindir} COMPONENT runtime)
  # The licences of the third-party code inside velk.dll and beside it, which
  # scripts/build-windows.sh gathers from the sources it built.
  install(DIRECTORY ${VELK_DEPS_ROOT}/licences/ DESTINATION licences COMPONENT runtime)
  return()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/drovin/udev/70-vexo.rules
        DESTINATION ${VELK_INSTALL_UDEVRULESDIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/tools/velkctl/velkctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/tools/velkctl/velkctl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME velkctl
        COMPONENT tools)
if(TARGET velk_sim_preload)
  install(TARGETS velk_sim_preload LIBRARY DESTINATION ${VELK_INSTALL_SIMDIR} COMPONENT sim
          EXCLUDE_FROM_ALL)
endif()

# pkg-config: the prefix is the one installed into (cmake --install --prefix may change it after
# the configure), so the file is written again at install time.
set(VELK_PC_PREFIX "@VELK_PC_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/velk.pc.in ${PROJECT_BINARY_DIR}/velk.pc.in @ONLY)
install(CODE "set(VELK_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/velk.pc.in\" \"${PROJECT_BINARY_DIR}/velk.pc\" @ONLY)"
  COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/velk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

include(CMakePackageConfigHelpers)
set(cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/velk)
install(EXPORT velkTargets NAMESPACE velk:: DESTINATION ${cmakedir} COMPONENT development)
configure_file(${CMAKE_CURRENT_LIST_DIR}/velkConfig.cmake.in ${PROJECT_BINARY_DIR}/velkConfig.cmake
               COPYONLY)
# 0.x: a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velkConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velkConfig.cmake ${PROJECT_BINARY_DIR}/velkConfigVersion.cmake
        DESTINATION ${cmakedir} COMPONENT development)
