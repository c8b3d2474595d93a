# hivesweep_control_resources(TARGET)
# Draws the themed controls' glyphs and hand cursor (tools/controlart.py) at build time and
# compiles them into the executable TARGET. Resources inside a static library would be
# dropped by the linker, so every executable that shows the controls calls this.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(hivesweep_control_resources target)
  set(tool ${PROJECT_SOURCE_DIR}/tools/controlart.py)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/controlres_${target})
  set(rc ${dir}/controlres.rc)
  set(names ok cancel help yes no close abort retry ignore all)
  set(art ${dir}/hand.cur)
  foreach(name IN LISTS names)
    list(APPEND art ${dir}/kvcommon_${name}.bmp)
  endforeach()
  add_custom_command(
    OUTPUT ${rc} ${art}
    COMMAND Python3::Interpreter ${tool} ${dir}
    DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/tools/artfiles.py
    COMMENT "Control glyphs and cursor for ${target}"
    VERBATIM)
  # windres does not report the files it includes, so the dependency is stated here.
  set_source_files_properties(${rc} PROPERTIES GENERATED TRUE OBJECT_DEPENDS "${art}")
  target_sources(${target} PRIVATE ${rc})
endfunction()
