# Run by CPack after it has installed the files into its staging folder: adds what only the Debian
# package holds.
#   - yyjson's shared library, in LIBDIR/quorvale-id3tag under its SONAME, where the library's
#     RUNPATH finds it;
#   - the Python module for Debian's python3, with its version and a library link that points at
#     the packaged library;
#   - /usr/share/doc/quorvale-id3tag (copyright, changelog.Debian.gz), the lintian overrides, the
#     manual page compressed and the zsh completion in Debian's vendor-completions folder.
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
# The version the module reports (from the source folder it reads the C header instead).
file(WRITE "${module}/_version.py" "__version__ = \"${CPACK_PACKAGE_VERSION}\"\n")
file(CHMOD "${module}/_version.py" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(RELATIVE_PATH to_lib "${module}" "${root}/${CPACK_QID3_LIBDIR}/${CPACK_QID3_LIBRARY_NAME}")
file(CREATE_LINK "${to_lib}" "${module}/${CPACK_QID3_LIBRARY_NAME}" SYMBOLIC)
# The library's RUNPATH ($ORIGIN/quorvale-id3tag) is resolved from the folder of the path it is
# loaded through, here the module's: a link to the private folder beside the module's library link
# lets the loader find yyjson from there too.
file(RELATIVE_PATH to_private "${module}" "${private}")
file(CREATE_LINK "${to_private}" "${module}/quorvale-id3tag" SYMBOLIC)

set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}" "${root}/share/lintian/overrides")
file(COPY_FILE "${CPACK_QID3_DEB_DIR}/copyright" "${doc}/copyright")
file(COPY_FILE "${CPACK_QID3_DEB_CHANGELOG}" "${doc}/changelog.Debian")
file(COPY_FILE "${CPACK_QID3_DEB_DIR}/lintian-overrides"
     "${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME}")
# Debian compresses manual pages and changelogs with gzip -9n (no name or time stamp inside).
foreach(file "${doc}/changelog.Debian" "${root}/share/man/man1/quorvale-tag.1")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "deb-extras: ${file} was not staged")
  endif()
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "deb-extras: gzip ${file} failed")
  endif()
endforeach()
file(GLOB_RECURSE staged_docs "${doc}/*" "${root}/share/man/*" "${root}/share/lintian/*")
foreach(file IN LISTS staged_docs)
  file(CHMOD "${file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
set(zsh "${root}/share/zsh")
file(MAKE_DIRECTORY "${zsh}/vendor-completions")
file(RENAME "${zsh}/site-functions/_quorvale-tag" "${zsh}/vendor-completions/_quorvale-tag")
file(REMOVE_RECURSE "${zsh}/site-functions")
