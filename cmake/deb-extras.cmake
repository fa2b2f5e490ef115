# Run by CPack after it has installed the files into its staging folder: adds what only the Debian
# package holds.
#   - yyjson's shared library, in LIBDIR/quorvale-id3tag under its SONAME, where the library's
#     RUNPATH finds it;
#   - the Python module for Debian's python3, whose library link points at the packaged library.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${root}/${CPACK_QID3_LIBDIR}")
  message(FATAL_ERROR "deb-extras: no staged library folder ${root}/${CPACK_QID3_LIBDIR}")
endif()

execute_process(COMMAND objdump -p "${CPACK_QID3_YYJSON_LIBRARY}" OUTPUT_VARIABLE dump
                RESULT_VARIABLE failed)
string(REGEX MATCH "SONAME +([^\n ]+)" _ "${dump}")
set(soname "${CMAKE_MATCH_1}")
if(failed OR soname STREQUAL "")
  message(FATAL_ERROR "deb-extras: no SONAME read from ${CPACK_QID3_YYJSON_LIBRARY}")
endif()
set(private "${root}/${CPACK_QID3_LIBDIR}/quorvale-id3tag")
file(MAKE_DIRECTORY "${private}")
file(COPY_FILE "${CPACK_QID3_YYJSON_LIBRARY}" "${private}/${soname}")
file(CHMOD "${private}/${soname}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(module "${root}/lib/python3/dist-packages/quorvale_id3tag")
file(MAKE_DIRECTORY "${module}")
file(GLOB sources "${CPACK_QID3_PYTHON_SOURCE}/*.py" "${CPACK_QID3_PYTHON_SOURCE}/py.typed")
file(COPY ${sources} DESTINATION "${module}")
file(RELATIVE_PATH to_lib "${module}" "${root}/${CPACK_QID3_LIBDIR}/${CPACK_QID3_LIBRARY_NAME}")
file(CREATE_LINK "${to_lib}" "${module}/${CPACK_QID3_LIBRARY_NAME}" SYMBOLIC)
