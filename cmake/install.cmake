# Installation: the library (with its SONAME), the public header, the command-line program, a
# pkg-config file and a CMake package giving the imported target quorvale-id3tag::quorvale-id3tag.
# Also the Debian package made by CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT WIN32 AND NOT APPLE)
  # The Debian package carries its own copy of yyjson in LIBDIR/quorvale-id3tag (Debian 12 has no
  # libyyjson0); elsewhere that folder does not exist and yyjson is found the usual way.
  set_target_properties(quorvale-id3tag PROPERTIES INSTALL_RPATH "$ORIGIN/quorvale-id3tag")
endif()

install(TARGETS quorvale-id3tag EXPORT quorvale-id3tag-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/quorvale_id3tag.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET quorvale-tag)
  install(TARGETS quorvale-tag RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT WIN32)
    # The manual page, its header filled in with the project's version, and the shell completion
    # (zsh's site-functions folder; the Debian package moves the file to Debian's
    # vendor-completions).
    configure_file(${PROJECT_SOURCE_DIR}/docs/quorvale-tag.1.in ${PROJECT_BINARY_DIR}/quorvale-tag.1
                   @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/quorvale-tag.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/completion/quorvale-tag.bash
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quorvale-tag)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/completion/_quorvale-tag
      DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/site-functions)
  endif()
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

# The pkg-config file finds its prefix from its own place, so an install under any --prefix works:
# one "/.." for each folder of LIBDIR/pkgconfig. That needs the folders relative to the prefix.
foreach(dir CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
  if(IS_ABSOLUTE "${${dir}}")
    message(FATAL_ERROR "${dir} (${${dir}}) must be relative to the install prefix")
  endif()
endforeach()
set(QID3_PC_TO_PREFIX "")
string(REPLACE "/" ";" qid3_pc_dirs "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
foreach(dir IN LISTS qid3_pc_dirs)
  if(NOT dir STREQUAL "" AND NOT dir STREQUAL ".")
    string(APPEND QID3_PC_TO_PREFIX "/..")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvale-id3tag.pc.in
  ${PROJECT_BINARY_DIR}/quorvale-id3tag.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorvale-id3tag.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # A library installed into a system folder (/usr/local/lib, say) is found by programs that have no
  # RPATH, pkg-config consumers and Python's ctypes only once the loader's cache knows it: refresh
  # the cache when root installs straight into the system (not into a DESTDIR or a package).
  install(CODE [[
    if("$ENV{DESTDIR}" STREQUAL "" AND CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/?$")
      execute_process(COMMAND id -u OUTPUT_VARIABLE qid3_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
      find_program(qid3_ldconfig ldconfig PATHS /sbin /usr/sbin)
      if(qid3_uid STREQUAL "0" AND qid3_ldconfig)
        message(STATUS "Running ldconfig")
        execute_process(COMMAND ${qid3_ldconfig})
      else()
        message(STATUS "Run ldconfig as root so that programs find the library")
      endif()
    endif()
  ]])
endif()

if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME quorvale-id3tag)
  set(CPACK_PACKAGE_VENDOR quorvale)
  set(CPACK_PACKAGE_CONTACT "quorvale-id3tag developers <dev@quorvale.invalid>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "MP3, FLAC, MP4, Ogg Vorbis and Opus tag library with a C interface")
  # tests/install/deb.sh checks this text against the library: the formats, and no count of
  # functions, which grows with the interface.
  set(CPACK_PACKAGE_DESCRIPTION
    "quorvale-id3tag reads and writes the tags of MP3 (ID3v2), FLAC, MP4/M4A,
Ogg Vorbis and Opus files: the text tags (title, artist, album, genre, date,
track), every other property under the names taggers share, and the pictures.
Tags pass as UTF-8 JSON through a small C interface whose header documents
every function and message; files are read from a path or from memory, and
calls may come from several threads at once.
The package holds the shared library, its header, pkg-config and CMake
files, the quorvale-tag command-line program and the Python module
quorvale_id3tag for python3.")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  # A Debian revision of its own, so that the package can change without a new library release.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(QID3_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # The package holds, besides what cmake --install puts in place, the yyjson shared library this
  # build links (in LIBDIR/quorvale-id3tag, found through the library's RUNPATH) and the Python
  # module for Debian's python3 (see cmake/deb-extras.cmake). Its dependencies (libc6, libgcc-s1,
  # libstdc++6) are computed by dpkg-shlibdeps from the files it holds.
  get_filename_component(qid3_yyjson_so "${YYJSON_LINK_LIBRARIES}" REALPATH)
  set(CPACK_QID3_YYJSON_LIBRARY "${qid3_yyjson_so}")
  set(CPACK_QID3_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
  set(CPACK_QID3_PYTHON_SOURCE "${PROJECT_SOURCE_DIR}/bindings/python/quorvale_id3tag")
  set(CPACK_QID3_LIBRARY_NAME "libquorvale-id3tag.so.${PROJECT_VERSION_MAJOR}")
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-extras.cmake)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
  # The shlibs file names the public library only (CPack's own would also offer the private yyjson
  # to other packages). The loader's cache is refreshed by dpkg's ldconfig trigger, not by
  # maintainer scripts.
  file(WRITE ${PROJECT_BINARY_DIR}/deb/shlibs
    "libquorvale-id3tag ${PROJECT_VERSION_MAJOR} quorvale-id3tag (>= ${PROJECT_VERSION})\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/shlibs
    ${CMAKE_CURRENT_LIST_DIR}/deb/prerm ${CMAKE_CURRENT_LIST_DIR}/deb/postinst
    ${CMAKE_CURRENT_LIST_DIR}/deb/postrm ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)
  # /usr/share/doc's copyright (ours and yyjson's notice) and changelog, the lintian overrides.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in ${PROJECT_BINARY_DIR}/deb/changelog @ONLY)
  set(CPACK_QID3_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/deb/changelog)
  set(CPACK_QID3_DEB_DIR ${CMAKE_CURRENT_LIST_DIR}/deb)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  include(CPack)
endif()
