# hivesweep_reporter_resources(TARGET SETTINGS)
# Compiles the exception reporter's resources into the executable TARGET: its settings (the
# readable text SETTINGS turned into the form stream "THXEXCEPT"), the please-wait box's
# hourglass "VQIPLWAIT", the send window's envelope "VQISEND32" and the exception box's pictures
# "VQIBIG" and "VQI" + action, drawn by tools/reporterart.py, and the assistants' forms
# "TVQCONTACTFORM", "TVQDETAILSFORM" and "TVQSCRSHOTFORM".
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(hivesweep_reporter_resources target settings)
  hivesweep_form_resource(${target} THXEXCEPT ${settings})
  hivesweep_form_resource(${target} TVQCONTACTFORM ${PROJECT_SOURCE_DIR}/resources/hxContactForm.txt)
  hivesweep_form_resource(${target} TVQDETAILSFORM ${PROJECT_SOURCE_DIR}/resources/hxDetailsForm.txt)
  hivesweep_form_resource(${target} TVQSCRSHOTFORM ${PROJECT_SOURCE_DIR}/resources/hxScrShotForm.txt)
  set(tool ${PROJECT_SOURCE_DIR}/tools/reporterart.py)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/reporterres_${target})
  set(rc ${dir}/reporterart.rc)
  set(art ${dir}/plwait.bmp ${dir}/boxbig.bmp ${dir}/send32.bmp)
  foreach(action send save print show continue restart close cantcontinue)
    list(APPEND art ${dir}/box${action}.bmp)
  endforeach()
  add_custom_command(
    OUTPUT ${rc} ${art}
    COMMAND Python3::Interpreter ${tool} ${dir}
    DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/tools/artfiles.py
    COMMENT "Reporter art for ${target}"
    VERBATIM)
  # windres does not report the files it includes, so the dependency is stated here.
  set_source_files_properties(${rc} PROPERTIES GENERATED TRUE OBJECT_DEPENDS "${art}")
  target_sources(${target} PRIVATE ${rc})
endfunction()
