# Installs the library, its headers, a CMake package and a pkg-config file so that other projects
# can
#   find_package(quorvale_dat CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE quorvale_dat::quorvale_dat)
# or
#   c++ app.cpp $(pkg-config --cflags --libs quorvale_dat)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUORVALE_DAT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvale_dat)

install(TARGETS quorvale_dat EXPORT quorvale_dat-targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/quorvale_dat
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT quorvale_dat-targets NAMESPACE quorvale_dat:: DESTINATION ${QUORVALE_DAT_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quorvale_dat-config.cmake.in
                              ${PROJECT_BINARY_DIR}/quorvale_dat-config.cmake
                              INSTALL_DESTINATION ${QUORVALE_DAT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quorvale_dat-config-version.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quorvale_dat-config.cmake
              ${PROJECT_BINARY_DIR}/quorvale_dat-config-version.cmake
        DESTINATION ${QUORVALE_DAT_CMAKE_DIR})

# quorvale_dat.pc, beside the CMake package (LIBDIR/pkgconfig). Its prefix is found from where the
# file lies, so that the package can be installed anywhere (cmake --install --prefix ...).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  message(FATAL_ERROR "quorvale_dat.pc needs CMAKE_INSTALL_LIBDIR relative to the prefix")
endif()
file(RELATIVE_PATH QUORVALE_DAT_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quorvale_dat.pc.in ${PROJECT_BINARY_DIR}/quorvale_dat.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorvale_dat.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
