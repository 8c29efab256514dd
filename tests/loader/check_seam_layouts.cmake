# Runs the host's layout printer and compiles what it prints with the cross
# compiler: the build for Windows must agree with every size, alignment and
# offset of the 32-bit host.
execute_process(COMMAND ${PRINTER} OUTPUT_FILE ${OUT} RESULT_VARIABLE printed)
if(NOT printed EQUAL 0)
  message(FATAL_ERROR "the layout printer failed: ${printed}")
endif()
execute_process(
  COMMAND ${CXX} -std=c++20 -ffreestanding -fsyntax-only -Wall -Wextra -Werror
          -Wno-invalid-offsetof -I${SOURCE_DIR} -I${TEST_DIR} ${OUT}
  RESULT_VARIABLE compiled
  ERROR_VARIABLE diagnostics)
if(NOT compiled EQUAL 0)
  message(FATAL_ERROR "the Windows build lays out the seam differently:\n${diagnostics}")
endif()
file(STRINGS ${OUT} checks REGEX "^static_assert")
list(LENGTH checks count)
message(STATUS "${count} sizes, alignments and offsets agree")
