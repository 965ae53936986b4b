# Where the feedback dialog posts its reports. The default is a reserved name that reaches nobody;
# release builds set the real service host at configure time.
set(TQ4_FEEDBACK_HOST "feedback.veldrane.test" CACHE STRING
    "Host name of the feedback service (the plug-in stores it scrambled)")

if(NOT TQ4_FEEDBACK_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
    message(FATAL_ERROR "TQ4_FEEDBACK_HOST must be a plain host name, got '${TQ4_FEEDBACK_HOST}'")
endif()

# The name reaches only the files that need it, so changing it recompiles two files rather than the
# whole core; the code scrambles it at compile time and the binary never holds it in plain text.
function(tq4_set_feedback_host)
    set_source_files_properties(${ARGN} PROPERTIES COMPILE_DEFINITIONS TQ4_FEEDBACK_HOST="${TQ4_FEEDBACK_HOST}")
endfunction()
