# The library is built in layers, each a static library that links only the layers below it:
#
#   velk_c_api      velk/src/c/api*.cpp, guard            the exported functions
#   velk_connection velk/src/device/connection            DeviceConnection
#   velk_modes      velk/src/device/{btm,dfu,sqif,dsp}    codecs and each mode's connection object
#   velk_formats    file formats, identities, DSP layout  pure, no device; velkctl links it too
#   velk_access     lib/usb, lib/hid, lib/clock, LibraryContext
#   velk_ground     velk/src/c/{error,log,platform*}, velk/src/util
#
# No layer has the source tree on its include path. Each sees its own headers and those of the
# layers it links, through a folder in the build tree that holds links to them at their usual
# paths (velk/src/c/error.h ...). So an include that climbs, say of velk/src/device/connection.h
# from a ground file, does not compile.
#
# A consumer links the highest layer it needs and gets the ones below it. The layers leave the
# world open: libusb, hidapi and the clock (lib/clock/clock.h) come from the consumer, the real
# ones for the shipped library and the virtual device (sim/) for tests.

# velk_layer(<name> SOURCES <file>... HEADERS <file>... LINKS <target>...)
# Paths are relative to the calling folder; LINKS are the layers and libraries used (PUBLIC).
function(velk_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "SOURCES;HEADERS;LINKS")
  set(include_dir ${PROJECT_BINARY_DIR}/layers/${name})
  # Made anew at each configure, so a header dropped from the list is gone from the folder.
  file(REMOVE_RECURSE ${include_dir})
  foreach(header IN LISTS layer_HEADERS)
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/${header})
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "${name}: no header ${source}")
    endif()
    file(RELATIVE_PATH path ${PROJECT_SOURCE_DIR} ${source})
    get_filename_component(folder ${include_dir}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${source} ${include_dir}/${path} SYMBOLIC)
  endforeach()

  add_library(${name} STATIC ${layer_SOURCES})
  target_include_directories(${name} PUBLIC ${include_dir})
  # Log records name their source file from the tree root, headers seen through links too.
  target_compile_options(${name} PUBLIC -fmacro-prefix-map=${include_dir}/=)
  target_link_libraries(${name} PUBLIC ${layer_LINKS} PRIVATE velk_warnings)
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON)
endfunction()
