# Writes the names the system's modules export, as the MinGW-w64 import
# libraries of NDIS.SYS, HAL.dll and ntoskrnl.exe list them, into a C++ table.
# Every export has an import-address symbol __imp_<decorated name>: _name for
# cdecl, _name@N for stdcall (N argument bytes), @name@N for fastcall; the
# module exports the undecorated name.
# Arguments: NM, OUT, and MODULES: a list of module=library pairs.
set(rows "")
foreach(pair ${MODULES})
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 module)
  list(GET pair 1 library)
  execute_process(COMMAND ${NM} ${library} OUTPUT_VARIABLE symbols RESULT_VARIABLE listed)
  if(NOT listed EQUAL 0)
    message(FATAL_ERROR "${NM} could not list ${library}")
  endif()
  string(REGEX MATCHALL " I __imp_[^\n]+" imports "${symbols}")
  set(names "")
  foreach(import ${imports})
    string(REGEX REPLACE "^ I __imp_" "" symbol "${import}")
    if(symbol MATCHES "^_([A-Za-z0-9_]+)@([0-9]+)$")
      list(APPEND names "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|Stdcall")
    elseif(symbol MATCHES "^@([A-Za-z0-9_]+)@([0-9]+)$")
      list(APPEND names "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|Fastcall")
    elseif(symbol MATCHES "^_([A-Za-z0-9_]+)$")
      list(APPEND names "${CMAKE_MATCH_1}|0|Cdecl")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  list(LENGTH names count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${library} lists no exports")
  endif()
  foreach(entry ${names})
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 name)
    list(GET entry 1 bytes)
    list(GET entry 2 convention)
    string(APPEND rows "    {\"${module}\", \"${name}\", ${bytes}, PlatformExport::Convention::k${convention}},\n")
  endforeach()
endforeach()

file(WRITE ${OUT}.new "// Generated from the platform's import libraries; not edited by hand.
#include \"windows/platform_exports.h\"

namespace kl::windows {

namespace {
const PlatformExport kExports[] = {
${rows}};
}  // namespace

std::span<const PlatformExport> platformExports() { return kExports; }

}  // namespace kl::windows
")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.new)
