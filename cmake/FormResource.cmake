# hivesweep_form_resource(TARGET NAME TEXT_FILE)
# Converts a form description (tools/formconv.py) into the binary form stream at build
# time and compiles it into the target as the RCDATA resource NAME. The reporter finds its
# settings as THXEXCEPT and each assistant form as TVQ<FORM>; those names make the converter
# refuse the value types the reporter's readers do not take.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(hivesweep_form_resource target name text)
  get_filename_component(source ${text} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  set(tool ${PROJECT_SOURCE_DIR}/tools/formconv.py)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/forms)
  set(stream ${dir}/${target}_${name}.bin)
  set(rc ${dir}/${target}_${name}.rc)
  set(reader)
  if(name STREQUAL "THXEXCEPT")
    set(reader --reader settings)
  elseif(name MATCHES "^TVQ")
    set(reader --reader assistant)
  endif()
  add_custom_command(
    OUTPUT ${stream}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND Python3::Interpreter ${tool} ${reader} ${source} ${stream}
    DEPENDS ${source} ${tool}
    COMMENT "Form stream ${name} from ${text}"
    VERBATIM)
  file(CONFIGURE OUTPUT ${rc} CONTENT "${name} RCDATA \"${stream}\"\n")
  # windres does not report the file it includes, so the dependency is stated here.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${stream})
  target_sources(${target} PRIVATE ${rc} ${stream})
endfunction()
