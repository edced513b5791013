# The firmware's C++ sources compiled for the host, against the board models
# through the bus (FW_HOST selects the host side of hw_access.h). Only
# firmware/include is on the include path, so the firmware's own stdio.h
# (found by quoted includes next to the sources) never shadows the system's.
file(GLOB FW_HOST_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/firmware/*.cpp
  ${CMAKE_SOURCE_DIR}/firmware/startup/*.cpp)
add_library(fw_host STATIC ${FW_HOST_SOURCES} ${CMAKE_SOURCE_DIR}/board/host_port.h)
set_target_properties(fw_host PROPERTIES LINKER_LANGUAGE CXX)
target_compile_definitions(fw_host PUBLIC FW_HOST=1)
target_include_directories(fw_host PUBLIC ${CMAKE_SOURCE_DIR}/firmware/include)
# The firmware's entry point must not clash with a test program's main.
set_source_files_properties(${CMAKE_SOURCE_DIR}/firmware/main.cpp
  PROPERTIES COMPILE_DEFINITIONS "main=firmware_main")
target_link_libraries(fw_host PUBLIC board)
