# hivesweep_debug_symbols(TARGET)
# After each link of the executable TARGET, tools/hxmapgen.py writes its packed debug-symbol
# map beside it (X.exe gets X.hx), from the linker's symbols and the DWARF line tables, and
# stores the same data in the executable as resource "EXCEPT" of type "HX". The tool proves
# that the code bytes stayed as the linker left them.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(HIVESWEEP_NM ${MINGW_TRIPLE}-nm REQUIRED)

function(hivesweep_debug_symbols target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/hxmapgen.py
            --nm ${HIVESWEEP_NM}
            --cipher ${PROJECT_SOURCE_DIR}/reporter/capture/hxCrypt.cpp
            --source-root ${PROJECT_SOURCE_DIR}
            --embed
            $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
