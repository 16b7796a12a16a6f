# Third-party libraries. On Linux they come from Debian packages; the Windows cross build
# points VELK_DEPS_ROOT at the folder where scripts/build-windows.sh cross-built them.
# The *_headers targets give only the headers: the library's objects and the test binaries use
# them, so that nothing but the shipped library links the real libusb and hidapi.
find_package(PkgConfig REQUIRED)
find_package(fmt REQUIRED)
find_package(Threads REQUIRED)

if(WIN32)
  set(VELK_DEPS_ROOT "" CACHE PATH "Cross-built libusb, hidapi, zlib, fmt and GoogleTest")
  if(NOT EXISTS "${VELK_DEPS_ROOT}/lib/libusb-1.0.dll.a" OR NOT EXISTS "${VELK_DEPS_ROOT}/lib/libhidapi.a"
     OR NOT EXISTS "${VELK_DEPS_ROOT}/lib/libz.a")
    message(FATAL_ERROR "VELK_DEPS_ROOT (${VELK_DEPS_ROOT}) holds no cross-built libusb, hidapi and zlib; "
                        "scripts/build-windows.sh builds them")
  endif()
  # Our sources include <libusb.h> and <hidapi/hidapi.h>, as on Linux.
  add_library(velk_libusb_headers INTERFACE)
  target_include_directories(velk_libusb_headers SYSTEM INTERFACE ${VELK_DEPS_ROOT}/include/libusb-1.0)
  add_library(velk_libusb INTERFACE)
  target_link_libraries(velk_libusb INTERFACE velk_libusb_headers ${VELK_DEPS_ROOT}/lib/libusb-1.0.dll.a)
  add_library(velk_hidapi_headers INTERFACE)
  # Both <hidapi/hidapi.h> and <hidapi.h> resolve, as with the Linux package's pkg-config flags.
  target_include_directories(velk_hidapi_headers SYSTEM INTERFACE ${VELK_DEPS_ROOT}/include
                             ${VELK_DEPS_ROOT}/include/hidapi)
  # velk.def names every public hid_* function, which pulls hidapi's object into the DLL and
  # exports them under their own names. hidapi loads hid.dll and cfgmgr32 itself at run time.
  add_library(velk_hidapi INTERFACE)
  target_link_libraries(velk_hidapi INTERFACE velk_hidapi_headers ${VELK_DEPS_ROOT}/lib/libhidapi.a)
  # zlib is linked into velk.dll, so that the DLL imports nothing more.
  add_library(velk_zlib INTERFACE)
  target_include_directories(velk_zlib SYSTEM INTERFACE ${VELK_DEPS_ROOT}/include)
  target_link_libraries(velk_zlib INTERFACE ${VELK_DEPS_ROOT}/lib/libz.a)
else()
  pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
  pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)
  pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
  add_library(velk_libusb_headers INTERFACE)
  target_include_directories(velk_libusb_headers SYSTEM INTERFACE ${LIBUSB_INCLUDE_DIRS})
  add_library(velk_libusb INTERFACE)
  target_link_libraries(velk_libusb INTERFACE PkgConfig::LIBUSB)
  add_library(velk_hidapi_headers INTERFACE)
  target_include_directories(velk_hidapi_headers SYSTEM INTERFACE ${HIDAPI_INCLUDE_DIRS})
  # hidapi is linked into the shipped library whole, so that its public functions are
  # exported from it under their own names.
  find_library(HIDAPI_STATIC NAMES libhidapi-hidraw.a REQUIRED)
  add_library(velk_hidapi INTERFACE)
  target_link_libraries(velk_hidapi INTERFACE velk_hidapi_headers
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,${HIDAPI_STATIC}>" PkgConfig::UDEV)
  find_package(ZLIB REQUIRED)
  add_library(velk_zlib INTERFACE)
  target_link_libraries(velk_zlib INTERFACE ZLIB::ZLIB)
endif()
