# Installs the build into a scratch prefix, builds the consumer against it twice (as a CMake
# project with find_package, and with the flags of pkg-config) and runs both.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -DCXX_COMPILER=...
#         -DBUILD_TYPE=... -DSANITIZE=ON|OFF -DSAMPLE_WRITER=... -P check.cmake
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR CXX_COMPILER SAMPLE_WRITER)
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

# The installed headers are the public interface and nothing else: the library's internals
# (src/) and the tools' libraries stay out of the package.
file(GLOB_RECURSE installed RELATIVE "${prefix}/include" "${prefix}/include/*")
list(SORT installed)
set(expected
  quorvale_dat/box.hpp quorvale_dat/dat_error.hpp quorvale_dat/database.hpp
  quorvale_dat/directory.hpp quorvale_dat/expected.hpp quorvale_dat/file.hpp
  quorvale_dat/file_entry.hpp quorvale_dat/file_type/palette.hpp
  quorvale_dat/file_type/surface.hpp quorvale_dat/file_type/surface_texture.hpp
  quorvale_dat/file_type/texture.hpp quorvale_dat/format.hpp quorvale_dat/header.hpp
  quorvale_dat/image.hpp quorvale_dat/io_error.hpp quorvale_dat/parse_error.hpp quorvale_dat/quorvale_dat.hpp
  quorvale_dat/reader.hpp quorvale_dat/utils.hpp quorvale_dat/verify.hpp)
list(SORT expected)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed headers:\n  ${installed}\nexpected:\n  ${expected}")
endif()

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

# The same program built with the flags pkg-config gives for the installed quorvale_dat.pc,
# which lies beside the CMake package.
file(GLOB_RECURSE pc_files "${prefix}/*/quorvale_dat.pc")
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "expected one quorvale_dat.pc under ${prefix}, found: ${pc_files}")
endif()
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
if(NOT EXISTS "${pc_dir}/../cmake/quorvale_dat/quorvale_dat-config.cmake")
  message(FATAL_ERROR "quorvale_dat.pc is in ${pc_dir}, not beside the CMake package")
endif()
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs quorvale_dat RESULT_VARIABLE rc
                OUTPUT_VARIABLE pc_flags ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config --cflags --libs quorvale_dat failed (${rc}): ${err}")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(sanitize_flags UNIX_COMMAND "${flags}")
run_step("build with pkg-config" "${CXX_COMPILER}" "${SOURCE_DIR}/main.cpp" ${pc_flags}
         ${sanitize_flags} -o "${WORK_DIR}/consumer_pc")

# Both programs: the open error's text on a missing file, the README snippet's output on the
# sample archive.
run_step("write the sample archive" "${SAMPLE_WRITER}" "${WORK_DIR}/client_portal.dat")
function(expect_run program archive status expected)
  execute_process(COMMAND "${program}" "${archive}" WORKING_DIRECTORY "${WORK_DIR}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL status OR NOT out STREQUAL expected)
    message(FATAL_ERROR "${program} ${archive} gave status ${rc} and\n${out}${err}\n"
                        "expected status ${status} and\n${expected}")
  endif()
endfunction()
foreach(program "${WORK_DIR}/build/consumer" "${WORK_DIR}/consumer_pc")
  expect_run("${program}" missing.dat 1
             "Failed to open file at missing.dat: No such file or directory (os error 2)\n")
  expect_run("${program}" client_portal.dat 0
             "surface 0x080003E4 refers to a texture list\ntexture 0x06000C30: 64x64 RGBA, \
thumbnail 16x16\n422 records, 134 textures\n")
endforeach()
message(STATUS "consumer built against the installed package, with CMake and with pkg-config, and ran")
