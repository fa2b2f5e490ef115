# yyjson: both builds accept any release from 0.10.0 (the oldest with every call this library makes;
# the unit tests pass against it) up to 0.12.x (the newest tested, Debian's 0.12.0+ds). Each of these
# keeps the soname libyyjson.so.0.
#   - Linux links the system's shared libyyjson: 0.12.0, from Debian's binary packages
#     (scripts/setup.sh build).
#   - The Windows cross build compiles yyjson into the DLL from a source tree (cmake/windows.cmake):
#     0.10.0, because Debian's archive serves the source tarball of 0.10.0 but not of 0.12.0 (only
#     0.12.0's binary packages and its debian/ folder), and the npm registry has no yyjson package
#     either. The two releases parse and write alike for the flags this library uses; the unit
#     tests run against both (the Windows ones under Wine).
set(QID3_YYJSON_OLDEST 0.10.0)
set(QID3_YYJSON_BELOW 0.13)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows.cmake)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(YYJSON QUIET IMPORTED_TARGET "yyjson>=${QID3_YYJSON_OLDEST}"
                    "yyjson<${QID3_YYJSON_BELOW}")
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
