# Installs the library, its headers and a CMake package so that other projects can
#   find_package(quorvale_dat CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE quorvale_dat::quorvale_dat)
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
