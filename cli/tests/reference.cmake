# Writes (MODE=write) or checks (MODE=check) the operator reference: the text
# `tarqsh --reference` prints against docs/operators.md.
execute_process(COMMAND ${TARQSH} --reference OUTPUT_VARIABLE fresh RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "tarqsh --reference failed (${rc})")
endif()
if(MODE STREQUAL "write")
  file(WRITE ${DOC} "${fresh}")
  message(STATUS "Wrote ${DOC}")
else()
  file(READ ${DOC} stored)
  if(NOT stored STREQUAL fresh)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/operators.md.new "${fresh}")
    message(FATAL_ERROR "${DOC} differs from the operator table; see operators.md.new in the build "
                        "directory, and regenerate with: cmake --build <build dir> --target operators_doc")
  endif()
endif()
