# Prints how much of the flash and the RAM the image takes, from the bounds
# the linker script defines. Run after the link: cmake -DNM=... -DELF=... -P
execute_process(COMMAND ${NM} ${ELF} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "size report: cannot read the symbols of ${ELF}")
endif()

foreach(name _etext _data _edata __bss_start__ __bss_end__ Top_Stack IRQ_Stack_Size)
  if(NOT symbols MATCHES "([0-9a-fA-F]+) [A-Za-z] ${name}\n")
    message(FATAL_ERROR "size report: ${ELF} has no symbol ${name}")
  endif()
  math(EXPR ${name} "0x${CMAKE_MATCH_1}")
endforeach()

set(flash_origin 1048576)   # 0x00100000
set(flash_size 262144)
set(ram_size 65536)
math(EXPR code "${_etext} - ${flash_origin}")
math(EXPR data "${_edata} - ${_data}")
math(EXPR bss "${__bss_end__} - ${__bss_start__}")
math(EXPR flash_used "${code} + ${data}")
math(EXPR ram_used "${data} + ${bss}")
math(EXPR stack_room "${Top_Stack} - ${IRQ_Stack_Size} - ${__bss_end__}")
math(EXPR flash_tenths "${flash_used} * 1000 / ${flash_size}")
math(EXPR ram_tenths "${ram_used} * 1000 / ${ram_size}")
math(EXPR flash_pct "${flash_tenths} / 10")
math(EXPR flash_dec "${flash_tenths} % 10")
math(EXPR ram_pct "${ram_tenths} / 10")
math(EXPR ram_dec "${ram_tenths} % 10")

message("program: flash ${flash_used} of ${flash_size} bytes (${flash_pct}.${flash_dec}%): code and constants ${code}, initialised data ${data}")
message("program: RAM ${ram_used} of ${ram_size} bytes (${ram_pct}.${ram_dec}%): initialised data ${data}, zeroed data ${bss}; ${stack_room} bytes left for the supervisor stack, ${IRQ_Stack_Size} for the IRQ stack")
