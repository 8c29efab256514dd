# Prepares the two sides of the layout comparison:
#  - the platform's own ndis.h from the MinGW-w64 DDK, with the two mends it
#    needs before a miniport can include it: the missing comma between the
#    parameters of NdisMWanIndicateReceiveComplete, and the second declaration
#    of NDIS_REQUEST_TYPE, which ntddndis.h already declares, taken out;
#  - the list of every constant the driver's declarations define, as
#    KL_PLATFORM_CONSTANTS(VALUE).
# Arguments: DDK_DIR, SOURCE_DIR, OUT_DIR.
file(READ ${DDK_DIR}/ndis.h ndis)

set(missing_comma "NdisMWanIndicateReceiveComplete(\n\tIN NDIS_HANDLE  MiniportAdapterHandle\n")
string(FIND "${ndis}" "${missing_comma}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${DDK_DIR}/ndis.h has changed: the declaration of "
                      "NdisMWanIndicateReceiveComplete is not as expected")
endif()
string(REPLACE "${missing_comma}"
               "NdisMWanIndicateReceiveComplete(\n\tIN NDIS_HANDLE  MiniportAdapterHandle,\n"
               ndis "${ndis}")

set(request_type "typedef enum _NDIS_REQUEST_TYPE {[^}]*} NDIS_REQUEST_TYPE, \\*PNDIS_REQUEST_TYPE;")
string(REGEX MATCH "${request_type}" found "${ndis}")
if(NOT found)
  message(FATAL_ERROR "${DDK_DIR}/ndis.h has changed: it no longer declares NDIS_REQUEST_TYPE")
endif()
string(REGEX REPLACE "${request_type}" "/* NDIS_REQUEST_TYPE: as ntddndis.h declares it */"
                     ndis "${ndis}")
file(WRITE ${OUT_DIR}/ddk/ndis.h "${ndis}")

set(constants "#define KL_PLATFORM_CONSTANTS(VALUE) \\\n")
foreach(header ndis.h wdm.h)
  file(STRINGS ${SOURCE_DIR}/platform/${header} defines
       REGEX "^#define [A-Z][A-Z0-9_]+ [(0-9]")
  foreach(line ${defines})
    string(REGEX REPLACE "^#define ([A-Z0-9_]+) .*" "\\1" name "${line}")
    string(APPEND constants "  VALUE(${name}) \\\n")
  endforeach()
  file(STRINGS ${SOURCE_DIR}/platform/${header} enumerators REGEX "^  Ndis[A-Za-z0-9_]+ = ")
  foreach(line ${enumerators})
    string(REGEX REPLACE "^  (Ndis[A-Za-z0-9_]+) = .*" "\\1" name "${line}")
    string(APPEND constants "  VALUE(${name}) \\\n")
  endforeach()
endforeach()
file(WRITE ${OUT_DIR}/platform_constants.h "${constants}\n")
