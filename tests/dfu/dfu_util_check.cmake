# Runs dfu-util against the preloaded virtual DFU loader. OPERATION is download or upload.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE result
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  message("${output}")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

if(OPERATION STREQUAL "download")
  run(${SAMPLE_IMAGE} write image.dfu)
  # The suffix names the loader's own identity, so dfu-util has nothing to warn about.
  run(${DFU_SUFFIX} -v 7a11 -p 1301 -d ffff -a image.dfu)
  run(${CMAKE_COMMAND} -E env LD_PRELOAD=${PRELOAD} VELK_SIM=vexo-dfu ${DFU_UTIL} -D image.dfu)
  if(NOT output MATCHES "Download done")
    message(FATAL_ERROR "dfu-util did not finish the download")
  endif()
elseif(OPERATION STREQUAL "upload")
  run(${CMAKE_COMMAND} -E env LD_PRELOAD=${PRELOAD} VELK_SIM=vexo-dfu-firmware ${DFU_UTIL} -U upload.bin)
  run(${SAMPLE_IMAGE} check upload.bin)
else()
  message(FATAL_ERROR "unknown OPERATION ${OPERATION}")
endif()
