# The Debian packages that the configured targets need, checked before any find_package, so that a
# fresh machine gets one line naming every missing package instead of a CMake error per package.
# scripts/install-deps.sh holds the lists, by group.
#
# With QUORVALE_DAT_INSTALL_DEPS (on in the demo preset), a configure run as root installs what
# is missing; otherwise it stops with the apt-get line to run. Without dpkg-query (not Debian)
# the check is skipped and find_package reports what it cannot find.
option(QUORVALE_DAT_CHECK_DEPS "Check that the Debian packages the build needs are installed"
       ${QUORVALE_DAT_IS_TOP_LEVEL})
option(QUORVALE_DAT_INSTALL_DEPS "Install missing Debian packages while configuring (as root)" OFF)

function(quorvale_dat_check_dependencies)
  if(NOT QUORVALE_DAT_CHECK_DEPS)
    return()
  endif()
  find_program(QUORVALE_DAT_DPKG_QUERY dpkg-query)
  if(NOT QUORVALE_DAT_DPKG_QUERY)
    return()
  endif()

  set(groups build)
  if(QUORVALE_DAT_BUILD_CLI AND NOT QUORVALE_DAT_BUILD_FUZZ)
    list(APPEND groups cli)
  endif()
  if(QUORVALE_DAT_BUILD_PYTHON)
    list(APPEND groups python)
    if(QUORVALE_DAT_BUILD_TESTS)
      list(APPEND groups python-tests)
    endif()
  endif()
  if(QUORVALE_DAT_BUILD_TESTS)
    list(APPEND groups tests)
    if(NOT QUORVALE_DAT_BUILD_FUZZ)
      list(APPEND groups cli-tests)
    endif()
  endif()
  if(QUORVALE_DAT_BUILD_BENCH)
    list(APPEND groups bench)
  endif()
  if(QUORVALE_DAT_BUILD_FUZZ)
    list(APPEND groups fuzz)
  endif()

  set(script "${PROJECT_SOURCE_DIR}/scripts/install-deps.sh")
  execute_process(COMMAND bash "${script}" --missing ${groups}
                  OUTPUT_VARIABLE missing OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "scripts/install-deps.sh --missing ${groups} failed (${rc})")
  endif()
  if(missing STREQUAL "")
    return()
  endif()

  if(QUORVALE_DAT_INSTALL_DEPS)
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(uid STREQUAL "0")
      message(STATUS "Installing missing Debian packages: ${missing}")
      execute_process(COMMAND bash "${script}" ${groups} RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "Installing the Debian packages failed (${rc}): ${missing}")
      endif()
      return()
    endif()
  endif()
  message(FATAL_ERROR
          "Missing Debian packages: ${missing}\n"
          "Install them as root and configure again:\n"
          "  sudo apt-get install -y ${missing}\n"
          "(Run as root, `cmake --workflow --preset demo` installs them itself.)")
endfunction()
