# yyjson: the Linux build links the system's shared libyyjson, any release from 0.10.0 (the oldest
# with every call this library makes; the unit tests pass against it) up to 0.12.x (the newest
# tested, Debian's 0.12.0+ds). Each of these keeps the soname libyyjson.so.0. The Windows cross
# build compiles yyjson 0.10.0 from a source tree into the DLL (see cmake/windows.cmake): that
# source is what Debian 12's mirrors carry for the mingw build, and it is inside the same range.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows.cmake)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(YYJSON QUIET IMPORTED_TARGET "yyjson>=0.10.0" "yyjson<0.13")
  if(NOT YYJSON_FOUND)
    pkg_check_modules(YYJSON_ANY QUIET yyjson)
    if(YYJSON_ANY_FOUND)
      message(FATAL_ERROR "yyjson ${YYJSON_ANY_VERSION} found, but this library needs a release from "
                          "0.10.0 to 0.12.x: run scripts/setup.sh build")
    else()
      message(FATAL_ERROR "yyjson (0.10.0 to 0.12.x) not found (pkg-config yyjson): run scripts/setup.sh build")
    endif()
  endif()
  add_library(qid3_yyjson INTERFACE)
  target_link_libraries(qid3_yyjson INTERFACE PkgConfig::YYJSON)
endif()
