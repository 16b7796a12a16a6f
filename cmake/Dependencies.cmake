# Third-party libraries. On Linux they come from Debian packages; the Windows cross build
# points VELK_DEPS_ROOT at the folder where scripts/build-windows.sh cross-built them.
find_package(PkgConfig REQUIRED)
find_package(fmt REQUIRED)
find_package(Threads REQUIRED)

if(WIN32)
  set(VELK_DEPS_ROOT "" CACHE PATH "Cross-built libusb and hidapi")
  add_library(velk_libusb INTERFACE)
  target_include_directories(velk_libusb SYSTEM INTERFACE ${VELK_DEPS_ROOT}/include)
  target_link_libraries(velk_libusb INTERFACE ${VELK_DEPS_ROOT}/lib/libusb-1.0.dll.a)
  add_library(velk_hidapi_headers INTERFACE)
  target_include_directories(velk_hidapi_headers SYSTEM INTERFACE ${VELK_DEPS_ROOT}/include)
  add_library(velk_hidapi INTERFACE)
  target_link_libraries(velk_hidapi INTERFACE velk_hidapi_headers ${VELK_DEPS_ROOT}/lib/libhidapi.a setupapi)
else()
  pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
  pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)
  pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
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
endif()
