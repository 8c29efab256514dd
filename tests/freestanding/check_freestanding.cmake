# Checks that the driver archive is fit for a kernel: it carries no static
# constructors or exception tables, and linked whole by the C compiler driver
# (which adds no C++ runtime) against do-nothing platform stubs, it links and
# its entry point runs.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -h ${ARCHIVE} OUTPUT_VARIABLE sections RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${ARCHIVE}")
endif()
foreach(section .init_array .ctors .gcc_except_table .eh_frame)
  string(FIND "${sections}" " ${section} " found)
  if(NOT found EQUAL -1)
    message(FATAL_ERROR "the driver archive has a ${section} section")
  endif()
endforeach()

separate_arguments(flags UNIX_COMMAND "${FLAGS}")
execute_process(
  COMMAND ${CC} ${flags} ${STUBS} -Wl,--whole-archive ${ARCHIVE} -Wl,--no-whole-archive -o ${OUT}
  RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the driver does not link without the C++ runtime:\n${errors}")
endif()
execute_process(COMMAND ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "DriverEntry did not report the refused registration")
endif()
message(STATUS "the driver links and runs with no C++ runtime")
