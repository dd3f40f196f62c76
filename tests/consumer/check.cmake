# Installs the build into a scratch prefix, builds the consumer project against it and runs it.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -DCXX_COMPILER=...
#         -DBUILD_TYPE=... -DSANITIZE=ON|OFF -P check.cmake
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check.cmake needs -D${var}=...")
  endif()
endforeach()

function(run_step name)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${name} failed (${rc}):\n${out}\n${err}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

run_step("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

# A library built with sanitizers needs them at link time too.
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined")
endif()
run_step("configure" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
         "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}"
         "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_FLAGS=${flags}"
         "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run_step("build" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build")

execute_process(COMMAND "${WORK_DIR}/build/consumer" missing.dat WORKING_DIRECTORY "${WORK_DIR}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(expected "Failed to open file at missing.dat: No such file or directory (os error 2)\n")
if(NOT rc EQUAL 1 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "consumer gave status ${rc} and\n${out}${err}\nexpected status 1 and\n${expected}")
endif()
message(STATUS "consumer built against the installed package and ran")
