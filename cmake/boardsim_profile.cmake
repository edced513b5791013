# boardsim built with profile feedback (included from sim/CMakeLists.txt).
#
# An interpreter spends its time in indirect calls and in branches whose
# bias only a run shows, so the compiler does far better with a profile:
# the run loop, the handlers and the models are built once instrumented
# (boardsim-train), that build runs the benchmark on this tree's image, and
# boardsim is built from the same sources with the counts it left. Code the
# run never reached is optimised as it would be without a profile.
#
# The hot sources are compiled into both executables directly; the linker
# then takes nothing of theirs from the libraries, which keep their plain
# code for the tests.

set(BOARDSIM_HOT_SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/machine/machine.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/machine/memory_map.cpp)
get_target_property(armcore_sources armcore SOURCES)
get_target_property(board_sources board SOURCES)
list(APPEND BOARDSIM_HOT_SOURCES ${armcore_sources} ${board_sources})

set(profile_dir ${CMAKE_CURRENT_BINARY_DIR}/profile)
set(profile_stamp ${profile_dir}.h)
# The compiler names the counts, and identifies the functions local to a
# source in them, after the object's auxiliary name, which follows the
# object's path unless set: set alike in both builds, it matches. It is the
# source's file name, so no two may share one.
set(hot_options $<$<CONFIG:Release,RelWithDebInfo>:-O3> -dumpdir boardsim-)
set(hot_names)
foreach(source main.cpp ${BOARDSIM_HOT_SOURCES})
  get_filename_component(name ${source} NAME)
  if(name IN_LIST hot_names)
    message(FATAL_ERROR "boardsim profile: two sources named ${name}")
  endif()
  list(APPEND hot_names ${name})
endforeach()

add_boardsim(boardsim-train ${BOARDSIM_HOT_SOURCES})
# Counts are taken before link-time optimisation, so this build needs none.
set_target_properties(boardsim-train PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
target_compile_options(boardsim-train PRIVATE ${hot_options}
    -fprofile-generate=${profile_dir} -fprofile-update=single)
target_link_options(boardsim-train PRIVATE -fprofile-generate)

set(train_image ${FIRMWARE_DIR}/program.elf)
add_custom_command(
    OUTPUT ${profile_stamp}
    COMMAND ${CMAKE_COMMAND} -DTRAIN=$<TARGET_FILE:boardsim-train> -DIMAGE=${train_image}
            -DPROFILE_DIR=${profile_dir} -DHEADER=${profile_stamp} -DLOG=${CMAKE_CURRENT_BINARY_DIR}/profile-run.txt
            -P ${CMAKE_SOURCE_DIR}/cmake/boardsim_profile_run.cmake
    DEPENDS boardsim-train ${train_image} ${CMAKE_SOURCE_DIR}/cmake/boardsim_profile_run.cmake
    COMMENT "Profiling boardsim on the benchmark"
    VERBATIM)
add_custom_target(boardsim-profile DEPENDS ${profile_stamp})

add_boardsim(boardsim ${BOARDSIM_HOT_SOURCES})
set_property(TARGET boardsim PROPERTY INTERPROCEDURAL_OPTIMIZATION TRUE)
add_dependencies(boardsim boardsim-profile)
# The compiler does not report the counts it reads as a dependency; this
# header (their digest) does, so new counts recompile every object that used
# the old ones.
# The libraries hold these sources to -Werror; here the compiler may add
# notes on the profile itself, which are no fault of the code.
target_compile_options(boardsim PRIVATE ${hot_options} -Wno-error
    -include ${profile_stamp}
    -fprofile-use=${profile_dir} -fprofile-partial-training -Wno-missing-profile)
