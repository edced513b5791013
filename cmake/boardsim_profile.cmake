# boardsim built with profile feedback (included from sim/CMakeLists.txt).
#
# An interpreter spends its time in indirect calls and in branches whose
# bias only a run shows, so the compiler does far better with a profile:
# the hot sources are built once instrumented (boardsim-train), that build
# runs the benchmark on this tree's image, and boardsim is built from the
# same sources with the counts it left. Code the run never reached is
# optimised as it would be without a profile.
#
# The profile is taken once per build tree, when there is none: an edit
# then recompiles only what it touched, and the functions it changed are
# optimised without counts until the profile is taken again
# (`cmake --build build --target boardsim-reprofile`, then build as usual).
# Taking it after every edit would rebuild every hot source twice and
# re-run the benchmark: minutes for a one-line change.

set(profile_dir ${CMAKE_CURRENT_BINARY_DIR}/profile)
set(profile_stamp ${profile_dir}.h)
# The compiler names the counts, and identifies the functions local to a
# source in them, after the object's auxiliary name, which follows the
# object's path unless set: set alike in both builds, it matches. It is the
# source's file name, so no two may share one.
set(hot_options ${BOARDSIM_HOT_OPTIONS} -dumpdir boardsim-)
set(hot_names)
foreach(source main.cpp ${BOARDSIM_HOT_SOURCES})
  get_filename_component(name ${source} NAME)
  if(name IN_LIST hot_names)
    message(FATAL_ERROR "boardsim profile: two sources named ${name}")
  endif()
  list(APPEND hot_names ${name})
endforeach()

add_boardsim(boardsim-train ${BOARDSIM_HOT_SOURCES})
# Counts are taken before link-time optimisation, so this build needs none;
# nor debug information, which changes no code.
set_target_properties(boardsim-train PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
target_compile_options(boardsim-train PRIVATE ${hot_options} -g0
    -fprofile-generate=${profile_dir} -fprofile-update=single)
target_link_options(boardsim-train PRIVATE -fprofile-generate)

set(train_image ${FIRMWARE_DIR}/program.elf)
# The benchmark runs Thumb code and mostly skips its delay loops; the
# compute probe, built for ARM and for Thumb, also trains the core's paths
# for code that runs flat out (tests/core/bench/compute_probe.c).
set(probe_dir ${CMAKE_SOURCE_DIR}/tests/core/bench)
set(train_probes)
foreach(state arm thumb)
  set(elf ${CMAKE_CURRENT_BINARY_DIR}/train-probe-${state}.elf)
  set(state_flag)
  if(state STREQUAL "thumb")
    set(state_flag -mthumb)
  endif()
  add_custom_command(OUTPUT ${elf}
      COMMAND arm-none-eabi-gcc -mcpu=arm7tdmi ${state_flag} -mthumb-interwork -O2 -ffreestanding
              -fno-tree-loop-distribute-patterns -nostdlib -Wl,-Ttext=0x00100000 -Wl,-Tdata=0x00200000
              -Wl,-e,_start -o ${elf} ${probe_dir}/probe_start.s ${probe_dir}/compute_probe.c
      DEPENDS ${probe_dir}/probe_start.s ${probe_dir}/compute_probe.c VERBATIM)
  list(APPEND train_probes ${elf})
endforeach()
add_custom_target(boardsim-train-probes DEPENDS ${train_probes})
# Made when missing only (see above): the run needs boardsim-train and the
# image built, but a newer one does not make it again.
add_custom_command(
    OUTPUT ${profile_stamp}
    COMMAND ${CMAKE_COMMAND} -DTRAIN=$<TARGET_FILE:boardsim-train> -DIMAGE=${train_image}
            "-DPROBES=${train_probes}" -DPROFILE_DIR=${profile_dir} -DHEADER=${profile_stamp}
            -DLOG=${CMAKE_CURRENT_BINARY_DIR}/profile-run.txt
            -P ${CMAKE_SOURCE_DIR}/cmake/boardsim_profile_run.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/boardsim_profile_run.cmake
    COMMENT "Profiling boardsim on the benchmark"
    VERBATIM)
add_custom_target(boardsim-profile DEPENDS ${profile_stamp})
add_dependencies(boardsim-profile boardsim-train boardsim-train-probes firmware)
add_custom_target(boardsim-reprofile
    COMMAND ${CMAKE_COMMAND} -E rm -f ${profile_stamp}
    COMMENT "The next build profiles boardsim again")

add_boardsim(boardsim ${BOARDSIM_HOT_SOURCES})
set_property(TARGET boardsim PROPERTY INTERPROCEDURAL_OPTIMIZATION TRUE)
add_dependencies(boardsim boardsim-profile)
# The compiler does not report the counts it reads as a dependency; this
# header (their digest) does, so new counts recompile every object that used
# the old ones.
# The libraries hold these sources to -Werror; here the compiler may add
# notes on the profile itself, which are no fault of the code. A source
# edited since the profile was taken no longer matches its counts: the
# compiler then optimises the changed functions without them.
target_compile_options(boardsim PRIVATE ${hot_options} -Wno-error
    -include ${profile_stamp}
    -fprofile-use=${profile_dir} -fprofile-partial-training -Wno-missing-profile -Wno-coverage-mismatch)
