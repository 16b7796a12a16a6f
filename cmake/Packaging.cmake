# Debian packages through CPack (scripts/make-debs.sh: cpack -G DEB in a build configured for
# the prefix /usr), one per install component:
#   libvelk0     runtime      the shared library                          section libs
#   libvelk-dev  development  velk.h, libvelk.so, velk.pc, CMake package  section libdevel
#   velkctl      tools        velkctl and the udev rules                  section electronics
#   velk-sim     sim          the virtual device for velkctl --sim        section devel
# Dependencies on other packages come from dpkg-shlibdeps; those between ours are exact.
set(CPACK_PACKAGE_NAME velk)
set(CPACK_PACKAGE_VENDOR "velk developers")
set(CPACK_PACKAGE_CONTACT "velk developers <dev@velk.local>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_COMPONENTS_ALL runtime development tools sim)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# velkctl needs libvelk.so.0, which no installed package holds yet: dpkg-shlibdeps finds it in
# the build tree, and the dependency on libvelk0 comes from the components.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/velk)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# libvelk0 carries a shlibs file, so that packages built against it get their dependency.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvelk0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "firmware service library for the Tavrin Systems Vexo
 velk finds the one attached Vexo USB Bluetooth device, switches it between its
 Bluetooth-module, DFU, serial-flash and DSP loader modes, and reads, writes and
 flashes it, through a plain C interface of fourteen functions.
 .
 This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvelk-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "firmware service library for the Tavrin Systems Vexo - development files
 velk finds the one attached Vexo USB Bluetooth device, switches it between its
 modes, and reads, writes and flashes it, through a plain C interface.
 .
 This package holds the header velk.h, pkg-config's velk.pc and the CMake
 package (find_package(velk) gives the target velk::velk).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velkctl)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS velk-sim)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "command-line firmware service for the Tavrin Systems Vexo
 velkctl reads and writes the persistent store of the Vexo USB Bluetooth
 device, flashes and dumps its firmware, its serial flash and its DSP memory,
 through the velk library.
 .
 The udev rules in this package give the user at the seat and the plugdev
 group access to the device in each of its modes.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME velk-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIM_DESCRIPTION
    "virtual Tavrin Systems Vexo device for velk
 A model of the Vexo USB Bluetooth device in its four modes, preloaded in place
 of libusb and hidapi: velkctl --sim runs against it, so velk can be tried and
 host programs tested without hardware.")

# Debian wants the licence as /usr/share/doc/<package>/copyright in every package.
option(VELK_DEBIAN_COPYRIGHT "Install the licence as share/doc/<package>/copyright" OFF)
if(VELK_DEBIAN_COPYRIGHT)
  foreach(component runtime development tools sim)
    string(TOUPPER ${component} upper)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE RENAME copyright
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
            COMPONENT ${component})
  endforeach()
endif()

include(CPack)
