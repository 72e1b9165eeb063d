# Builds the layering probes and checks each outcome: every probe of a header of the Linux layer
# fails because the header is not found, every probe of a contract compiles.
#   cmake -DBUILD_DIR=... -DKEEP_GOING=... -DREFUSED=header|object;... -DACCEPTED=object;...
#         -P build_layering_probes.cmake

# Objects left by an earlier build would pass for a fresh outcome.
foreach(entry ${REFUSED} ${ACCEPTED})
  string(REGEX REPLACE "^.*\\|" "" object "${entry}")
  file(REMOVE "${object}")
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target layering_probes
                        -- ${KEEP_GOING}
                OUTPUT_VARIABLE output ERROR_VARIABLE output)

set(faults)
foreach(entry ${REFUSED})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 header)
  list(GET fields 1 object)
  if(EXISTS "${object}")
    list(APPEND faults "${object} compiled: \"${header}\" is within its reach")
  endif()
  string(FIND "${output}" "${header}: No such file or directory" found)
  if(found EQUAL -1)
    list(APPEND faults "no probe failed for want of \"${header}\"")
  endif()
endforeach()
foreach(object ${ACCEPTED})
  if(NOT EXISTS "${object}")
    list(APPEND faults "${object} did not compile: the probe itself is broken")
  endif()
endforeach()

if(faults)
  string(REPLACE ";" "\n  " faults "${faults}")
  message(FATAL_ERROR "The layering leaks:\n  ${faults}\nBuild output:\n${output}")
endif()
list(LENGTH REFUSED refused)
list(LENGTH ACCEPTED accepted)
message(STATUS "${refused} probes of the Linux layer refused, ${accepted} of the contracts built")
