# hivesweep_manifest(TARGET)
# Compiles the program's manifest (common controls 6, the themed look) into the executable
# TARGET, so that test programs see the same window classes as the program.
function(hivesweep_manifest target)
  set(manifest ${PROJECT_SOURCE_DIR}/resources/hivesweep.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/manifest_${target}.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT "1 24 \"${manifest}\"\n")
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest})
  target_sources(${target} PRIVATE ${rc})
endfunction()
