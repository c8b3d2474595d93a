# hivesweep_markup_resources(TARGET)
# Draws the caption help button's themed pictures (tools/markupart.py) at build time and
# compiles them into the executable TARGET (resources of a static library would be dropped).
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(hivesweep_markup_resources target)
  set(tool ${PROJECT_SOURCE_DIR}/tools/markupart.py)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/markupres_${target})
  set(rc ${dir}/markupres.rc)
  set(art)
  foreach(name blue green red yellow brown)
    list(APPEND art ${dir}/fhcb_xp_${name}.bmp)
  endforeach()
  add_custom_command(
    OUTPUT ${rc} ${art}
    COMMAND Python3::Interpreter ${tool} ${dir}
    DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/tools/artfiles.py
    COMMENT "Caption button pictures for ${target}"
    VERBATIM)
  set_source_files_properties(${rc} PROPERTIES GENERATED TRUE OBJECT_DEPENDS "${art}")
  target_sources(${target} PRIVATE ${rc})
endfunction()
