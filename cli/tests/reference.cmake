# Writes (MODE=write) or checks (MODE=check) the operator reference: the text
# `tarqsh --reference` prints against docs/operators.md. The reference is made
# in two working directories, one whose path contains "tarq" and the root, and
# both must agree: an example whose result depends on where it runs (the
# working directory, the write fence) would make the check pass in one
# checkout and fail in another.
# OUT: the directory for the scratch folder and for operators.md.new.
if(NOT OUT)
  set(OUT ${CMAKE_CURRENT_BINARY_DIR})
endif()
set(inside ${OUT}/reference-cwd/tarq)
file(MAKE_DIRECTORY ${inside})
execute_process(COMMAND ${TARQSH} --reference WORKING_DIRECTORY ${inside}
                OUTPUT_VARIABLE fresh RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "tarqsh --reference failed (${rc}) in ${inside}")
endif()
execute_process(COMMAND ${TARQSH} --reference WORKING_DIRECTORY /
                OUTPUT_VARIABLE elsewhere RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "tarqsh --reference failed (${rc}) in /")
endif()
if(NOT fresh STREQUAL elsewhere)
  file(WRITE ${OUT}/operators.md.tarq-cwd "${fresh}")
  file(WRITE ${OUT}/operators.md.root-cwd "${elsewhere}")
  message(FATAL_ERROR "The reference depends on the working directory: compare\n"
                      "  ${OUT}/operators.md.tarq-cwd (made in ${inside})\n"
                      "  ${OUT}/operators.md.root-cwd (made in /)\n"
                      "and give the example that differs a result of its own.")
endif()
if(MODE STREQUAL "write")
  file(WRITE ${DOC} "${fresh}")
  message(STATUS "Wrote ${DOC}")
else()
  file(READ ${DOC} stored)
  if(NOT stored STREQUAL fresh)
    file(WRITE ${OUT}/operators.md.new "${fresh}")
    message(FATAL_ERROR "${DOC} differs from the operator table; see ${OUT}/operators.md.new, "
                        "and regenerate with: cmake --build <build dir> --target operators_doc")
  endif()
endif()
