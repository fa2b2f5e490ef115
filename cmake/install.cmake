# Installation: the library (with its SONAME), the public header, the command-line program, a
# pkg-config file and a CMake package giving the imported target quorvale-id3tag::quorvale-id3tag.
# Also the Debian package made by CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS quorvale-id3tag EXPORT quorvale-id3tag-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/quorvale_id3tag.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET quorvale-tag)
  install(TARGETS quorvale-tag RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(QID3_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvale-id3tag)
install(EXPORT quorvale-id3tag-targets
  NAMESPACE quorvale-id3tag::
  FILE quorvale-id3tag-targets.cmake
  DESTINATION ${QID3_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quorvale-id3tag-config.cmake.in
  ${PROJECT_BINARY_DIR}/quorvale-id3tag-config.cmake
  INSTALL_DESTINATION ${QID3_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quorvale-id3tag-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quorvale-id3tag-config.cmake
              ${PROJECT_BINARY_DIR}/quorvale-id3tag-config-version.cmake
  DESTINATION ${QID3_CMAKE_DIR})

# The pkg-config file finds its prefix from its own place, so an install under any --prefix works.
file(RELATIVE_PATH QID3_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" QID3_PC_TO_PREFIX "${QID3_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvale-id3tag.pc.in
  ${PROJECT_BINARY_DIR}/quorvale-id3tag.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorvale-id3tag.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME quorvale-id3tag)
  set(CPACK_PACKAGE_VENDOR quorvale)
  set(CPACK_PACKAGE_CONTACT "quorvale-id3tag developers <dev@quorvale.invalid>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Read and write MP3, FLAC and MP4 tags through a small C interface with JSON values")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Dependencies (libyyjson0, libc6, libstdc++6) come from the linked libraries.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  include(CPack)
endif()
