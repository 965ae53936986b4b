# Helpers shared by the targets that link the plug-in's core library.

# Debian's JUCE decodes FLAC and Ogg Vorbis with the system libraries instead of bundled copies.
pkg_check_modules(TQ4_CODECS REQUIRED IMPORTED_TARGET flac vorbisenc vorbisfile vorbis ogg)

# Gives an executable the core library together with the include paths and definitions the core was
# compiled with, without compiling JUCE's modules a second time.
function(tq4_link_core target)
    target_include_directories(${target} PRIVATE $<TARGET_PROPERTY:tq4_core,INCLUDE_DIRECTORIES>)
    target_compile_definitions(${target} PRIVATE $<TARGET_PROPERTY:tq4_core,COMPILE_DEFINITIONS>)
    target_link_libraries(${target} PRIVATE tq4_core juce::juce_recommended_config_flags
                                            juce::juce_recommended_warning_flags)
endfunction()
