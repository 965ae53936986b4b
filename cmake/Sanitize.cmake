# -DTQ4_SANITIZE=thread or address: the core and everything that links it are instrumented. The
# multiversioned block passes are built for baseline x86-64 only, since a sanitizer's runtime is not up
# when their ifunc resolvers run.
set(TQ4_SANITIZE "" CACHE STRING "Instrument the core with a sanitizer: thread or address (empty: none)")
set_property(CACHE TQ4_SANITIZE PROPERTY STRINGS "" thread address)

function(tq4_apply_sanitizer)
    if(NOT TQ4_SANITIZE)
        return()
    endif()
    if(NOT TQ4_SANITIZE MATCHES "^(thread|address)$")
        message(FATAL_ERROR "TQ4_SANITIZE must be thread or address, not '${TQ4_SANITIZE}'")
    endif()
    target_compile_definitions(tq4_core PUBLIC TQ4_NO_MULTIVERSIONING=1)
    target_compile_options(tq4_core PUBLIC -fsanitize=${TQ4_SANITIZE} -fno-omit-frame-pointer -g)
    target_link_options(tq4_core PUBLIC -fsanitize=${TQ4_SANITIZE})
endfunction()
