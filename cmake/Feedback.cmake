# Where the feedback dialog posts its reports. The default is a reserved name that reaches nobody;
# release builds set the real service host at configure time.
set(TQ4_FEEDBACK_HOST "feedback.veldrane.test" CACHE STRING
    "Host name of the feedback service (the plug-in stores it scrambled)")

if(NOT TQ4_FEEDBACK_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
    message(FATAL_ERROR "TQ4_FEEDBACK_HOST must be a plain host name, got '${TQ4_FEEDBACK_HOST}'")
endif()

# The name reaches only the compiler: the code scrambles it at compile time, so the binary never
# holds it in plain text.
function(tq4_set_feedback_host target)
    target_compile_definitions(${target} PRIVATE TQ4_FEEDBACK_HOST="${TQ4_FEEDBACK_HOST}")
endfunction()
