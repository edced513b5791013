# The profile run of boardsim (cmake -P): the instrumented build's benchmark
# on the image and a second of each compute probe, then the header that stands for the counts it left. The
# header holds their digest, so a cache that keys on the sources does not
# hand back objects built with other counts.
#   -DTRAIN=<boardsim-train> -DIMAGE=<elf> -DPROBES=<elf;elf> -DPROFILE_DIR=<dir> -DHEADER=<file> -DLOG=<file>
file(REMOVE_RECURSE ${PROFILE_DIR})
# Some counts record addresses; with the same addresses every time (no
# address-space randomisation, where the host allows that) the same sources
# give the same counts and so the same boardsim.
set(fixed_addresses)
find_program(SETARCH setarch)
if(SETARCH)
  execute_process(COMMAND ${SETARCH} -R true RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(status EQUAL 0)
    set(fixed_addresses ${SETARCH} -R)
  endif()
endif()
file(WRITE ${LOG} "")
function(train)
  execute_process(COMMAND ${fixed_addresses} ${TRAIN} ${ARGN}
                  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
  file(APPEND ${LOG} "${out}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "boardsim's profile run failed (${status}): see ${LOG}")
  endif()
endfunction()
train(--bench --passes 4 ${IMAGE})
foreach(probe ${PROBES})
  train(--headless --for 1s ${probe})
endforeach()
file(GLOB counts ${PROFILE_DIR}/*.gcda)
if(NOT counts)
  message(FATAL_ERROR "boardsim's profile run left no counts in ${PROFILE_DIR}")
endif()
list(SORT counts)
set(digests "")
foreach(file ${counts})
  file(SHA256 ${file} digest)
  string(APPEND digests ${digest})
endforeach()
string(SHA256 digest "${digests}")
file(WRITE ${HEADER} "// The profile boardsim is built with: ${digest}\n")
