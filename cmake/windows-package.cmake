# What the Windows build hands to a Windows developer (run from cmake/windows.cmake once the whole
# project is configured, so that the targets and the installation rules exist):
#   - a version resource in quorvale-id3tag.dll and quorvale-tag.exe,
#   - the exports named by cmake/windows/quorvale-id3tag.def, which the DLL is linked with,
#   - lib/quorvale-id3tag.lib, an import library for MSVC's link.exe made from that .def,
#   - the release archive quorvale-id3tag-VERSION-win64.zip (`cpack` in the build folder).
set(QID3_WINDOWS_DIR ${CMAKE_CURRENT_LIST_DIR}/windows)
set(QID3_DEF_FILE ${QID3_WINDOWS_DIR}/quorvale-id3tag.def)
set(QID3_COPYRIGHT "Copyright (c) 2026 quorvale-id3tag developers")

# One resource script per binary, made from the same template.
function(qid3_version_resource target filename filetype description)
  set(QID3_RC_FILENAME ${filename})
  set(QID3_RC_FILETYPE ${filetype})
  set(QID3_RC_DESCRIPTION ${description})
  set(QID3_RC_COPYRIGHT ${QID3_COPYRIGHT})
  get_filename_component(QID3_RC_INTERNAL_NAME ${filename} NAME_WE)
  set(rc ${PROJECT_BINARY_DIR}/windows/${target}-version.rc)
  configure_file(${QID3_WINDOWS_DIR}/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

qid3_version_resource(quorvale-id3tag quorvale-id3tag.dll VFT_DLL
  "quorvale-id3tag: MP3, FLAC and MP4 tag library")
# With a .def among its sources, the DLL's exports are the .def's names and nothing else.
target_sources(quorvale-id3tag PRIVATE ${QID3_DEF_FILE})
if(TARGET quorvale-tag)
  qid3_version_resource(quorvale-tag quorvale-tag.exe VFT_APP
    "quorvale-tag: MP3, FLAC and MP4 tag tool")
endif()

# The MSVC import library, as `lib /def:quorvale-id3tag.def /machine:x64` makes it. LLVM's dlltool
# writes the same short import members as Microsoft's lib (LLVM 14's llvm-lib has no /def).
find_program(QID3_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14
  NO_CMAKE_FIND_ROOT_PATH)
if(NOT QID3_LLVM_DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool not found (it makes quorvale-id3tag.lib): run scripts/setup.sh windows")
endif()
set(QID3_MSVC_IMPLIB ${PROJECT_BINARY_DIR}/lib/quorvale-id3tag.lib)
add_custom_command(OUTPUT ${QID3_MSVC_IMPLIB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/lib
  COMMAND ${QID3_LLVM_DLLTOOL} -m i386:x86-64 -d ${QID3_DEF_FILE} -l ${QID3_MSVC_IMPLIB}
  DEPENDS ${QID3_DEF_FILE}
  COMMENT "Making the MSVC import library lib/quorvale-id3tag.lib"
  VERBATIM)
add_custom_target(quorvale-id3tag-msvc-implib ALL DEPENDS ${QID3_MSVC_IMPLIB})

# The archive: bin/ (DLL, program), lib/ (both import libraries, the .def, the CMake and pkg-config
# files for MinGW), include/, and the README, the license, yyjson's license and docs/windows.md. install.cmake installs
# the binaries and the header.
install(FILES ${QID3_MSVC_IMPLIB} ${QID3_DEF_FILE} DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
# yyjson is compiled into the DLL: its MIT licence asks for its notice in every copy.
install(FILES ${QID3_YYJSON_SRC}/LICENSE DESTINATION . RENAME LICENSE-yyjson)
install(FILES ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION docs)

if(CPack_CMake_INCLUDED)
  message(FATAL_ERROR "CPack was included before cmake/windows-package.cmake set up the archive")
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME quorvale-id3tag)
set(CPACK_PACKAGE_VENDOR "quorvale-id3tag developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Read and write MP3, FLAC and MP4 tags through a small C interface with JSON values")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_FILE_NAME quorvale-id3tag-${PROJECT_VERSION}-win64)
# The DLL and the program go out without their DWARF debug information (the DLL shrinks from 2.1 MB
# to 0.35 MB).
set(CPACK_STRIP_FILES ON)
# Everything sits in one folder of the archive's name.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
