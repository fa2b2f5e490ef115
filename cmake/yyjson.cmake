# yyjson: the Linux build links Debian's shared libyyjson 0.12.0 and insists on that exact release.
# A Windows cross build compiles yyjson from a source tree (see cmake/windows.cmake).
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows.cmake)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(YYJSON QUIET IMPORTED_TARGET yyjson=0.12.0)
  if(NOT YYJSON_FOUND)
    pkg_check_modules(YYJSON_ANY QUIET yyjson)
    if(YYJSON_ANY_FOUND)
      message(FATAL_ERROR "yyjson ${YYJSON_ANY_VERSION} found, but this library is built against "
                          "yyjson 0.12.0 exactly: run scripts/setup.sh build")
    else()
      message(FATAL_ERROR "yyjson 0.12.0 not found (pkg-config yyjson): run scripts/setup.sh build")
    endif()
  endif()
  add_library(qid3_yyjson INTERFACE)
  target_link_libraries(qid3_yyjson INTERFACE PkgConfig::YYJSON)
endif()
