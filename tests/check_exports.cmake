# Checks that the shared library exports exactly the public functions.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; text symbols are T, data B/D/R, weak W/V, absolute A.
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ ]+)$")
    set(type ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    if(type STREQUAL "A")
      continue() # version-script nodes, not symbols of ours
    endif()
    list(APPEND found ${name})
  endif()
endforeach()
list(SORT found)
set(expected id3_batch id3_batch_results id3_extract_cover id3_free_string id3_last_error
             id3_last_error_code id3_read id3_read_all id3_read_all_data id3_read_data
             id3_set_cover id3_use_utf8_paths id3_write)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ:\n  found:    ${found}\n  expected: ${expected}")
endif()
message(STATUS "exports: ${found}")
