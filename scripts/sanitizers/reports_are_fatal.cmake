# Runs the probe with one fault, its output captured as a test captures it: the run must fail and
# say what the sanitizer found. -DPROBE=<program> -DFAULT=<fault> -DREPORT=<text of the report>
execute_process(COMMAND ${PROBE} ${FAULT} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(result EQUAL 0)
  message(FATAL_ERROR "${FAULT}: the probe ended normally; the report did not stop it:\n${out}${err}")
endif()
string(FIND "${err}" "${REPORT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${FAULT}: the probe failed (${result}) without the report '${REPORT}':\n${err}")
endif()
message(STATUS "${FAULT}: reported and fatal (${result})")
