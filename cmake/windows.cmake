# Windows build (included from yyjson.cmake when WIN32).
#
# yyjson is compiled from the source tree in third_party/yyjson-src (Debian's source tarball,
# fetched by `scripts/setup.sh windows`) and linked statically into the DLL, so the DLL needs no
# yyjson DLL beside it. The Linux build links a shared yyjson instead; the releases both accept, and
# why the two builds use different ones: cmake/yyjson.cmake.
set(QID3_YYJSON_SRC ${PROJECT_SOURCE_DIR}/third_party/yyjson-src CACHE PATH
    "yyjson source tree compiled into the Windows DLL")
if(NOT EXISTS ${QID3_YYJSON_SRC}/src/yyjson.c)
  message(FATAL_ERROR "yyjson sources not found in ${QID3_YYJSON_SRC}: run scripts/setup.sh windows")
endif()
file(STRINGS ${QID3_YYJSON_SRC}/src/yyjson.h QID3_YYJSON_VERSION_LINE
     REGEX "^#define YYJSON_VERSION_STRING ")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" QID3_YYJSON_VERSION "${QID3_YYJSON_VERSION_LINE}")
if(QID3_YYJSON_VERSION VERSION_LESS QID3_YYJSON_OLDEST OR
   NOT QID3_YYJSON_VERSION VERSION_LESS QID3_YYJSON_BELOW)
  message(FATAL_ERROR "yyjson ${QID3_YYJSON_VERSION} in ${QID3_YYJSON_SRC}, but this library needs a "
                      "release from 0.10.0 to 0.12.x: run scripts/setup.sh windows")
endif()
message(STATUS "yyjson ${QID3_YYJSON_VERSION} from ${QID3_YYJSON_SRC}, linked statically")

add_library(qid3_yyjson STATIC ${QID3_YYJSON_SRC}/src/yyjson.c)
# yyjson's own warnings are not ours to fix; its symbols must stay inside the DLL, so neither
# YYJSON_EXPORTS nor YYJSON_IMPORTS is defined.
target_compile_options(qid3_yyjson PRIVATE -w)
target_include_directories(qid3_yyjson SYSTEM PUBLIC ${QID3_YYJSON_SRC}/src)
set_target_properties(qid3_yyjson PROPERTIES POSITION_INDEPENDENT_CODE ON)

# Every program and DLL is linked with the C, C++ and thread runtimes inside, so that it imports
# only system DLLs (KERNEL32, msvcrt). Programs and the DLL share one output folder, where Windows
# finds the DLL next to the test programs that load it.
add_link_options(-static)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# The version resources, the .def and the MSVC import library, and the release archive need the
# library's targets and installation rules: cmake/windows-package.cmake runs after the top-level
# CMakeLists.txt has been read to its end.
if(CMAKE_VERSION VERSION_LESS 3.19)
  message(FATAL_ERROR "the Windows build needs CMake 3.19 or later (cmake_language(DEFER))")
endif()
# The call's arguments are expanded when it runs, hence the variable.
set(QID3_WINDOWS_PACKAGE ${CMAKE_CURRENT_LIST_DIR}/windows-package.cmake)
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL include ${QID3_WINDOWS_PACKAGE})
