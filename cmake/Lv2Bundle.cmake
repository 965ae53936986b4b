# Finishes the Turtle that JUCE 7.0.5 writes into an LV2 bundle, where it would mislead hosts:
# - scale points of choices and switches carry normalised values while the parameter's range is
#   plain, so a host shows and sends the wrong item ("OPTO" at 0.33 of 0 to 3); they get plain values;
# - the plug-in is classed as a compressor, where hosts list dynamics, instead of a bare lv2:Plugin;
# - the maintainer's empty web site and e-mail become "<>", the Turtle file itself: they go;
# - a single program is published as a preset "Default" that restores nothing: it goes;
# - integer parameters without item names are marked lv2:integer, so hosts step them.
# Every fix checks that it found what it fixes: a JUCE that writes something else fails the build.
#
# In a project: tq4_finish_lv2_bundle(<LV2 target> INTEGER_PARAMETERS id...)
# As a script:  cmake -DTQ4_LV2_BINARY=<bundle>/lib.so "-DTQ4_LV2_INTEGERS=id;..." -P Lv2Bundle.cmake

if(NOT CMAKE_SCRIPT_MODE_FILE)
    function(tq4_finish_lv2_bundle target)
        cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "INTEGER_PARAMETERS")
        string(REPLACE ";" "," integers "${arg_INTEGER_PARAMETERS}")
        # Runs after JUCE's own POST_BUILD step that writes the Turtle.
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} "-DTQ4_LV2_BINARY=$<TARGET_FILE:${target}>"
                    "-DTQ4_LV2_INTEGERS=${integers}" -P "${CMAKE_CURRENT_FUNCTION_LIST_FILE}"
            VERBATIM)
    endfunction()
    return()
endif()

cmake_minimum_required(VERSION 3.22)
get_filename_component(bundle "${TQ4_LV2_BINARY}" DIRECTORY)
string(REPLACE "," ";" integers "${TQ4_LV2_INTEGERS}")

function(fail message)
    message(FATAL_ERROR "${bundle}: ${message}")
endfunction()

# Replaces the first `what` in `text` (literal, no pattern) with `with`; fails when it is absent.
function(replace_once var what with)
    string(FIND "${${var}}" "${what}" at)
    if(at EQUAL -1)
        fail("expected to find: ${what}")
    endif()
    string(LENGTH "${what}" length)
    string(SUBSTRING "${${var}}" 0 ${at} head)
    math(EXPR tail_start "${at} + ${length}")
    string(SUBSTRING "${${var}}" ${tail_start} -1 tail)
    set(${var} "${head}${with}${tail}" PARENT_SCOPE)
endfunction()

# One parameter block ("plug:id" to the blank line): scale points k = 0, 1, ... become minimum + k.
function(plain_scale_points var)
    set(block "${${var}}")
    if(NOT block MATCHES "lv2:minimum (-?[0-9]+) ;" OR NOT block MATCHES "lv2:maximum[ \t]+(-?[0-9]+)[ \t]*;")
        fail("a parameter with item names has no whole-number range:\n${block}")
    endif()
    string(REGEX MATCH "lv2:minimum (-?[0-9]+) ;" minimum_text "${block}")
    set(minimum ${CMAKE_MATCH_1})
    string(REGEX MATCH "lv2:maximum[ \t]+(-?[0-9]+)" maximum_text "${block}")
    set(maximum ${CMAKE_MATCH_1})

    set(done "")
    set(rest "${block}")
    set(k 0)
    while(TRUE)
        string(FIND "${rest}" "rdf:value " at)
        if(at EQUAL -1)
            break()
        endif()
        math(EXPR value_start "${at} + 10")
        string(SUBSTRING "${rest}" 0 ${value_start} head)
        string(SUBSTRING "${rest}" ${value_start} -1 rest)
        string(FIND "${rest}" " ;" value_end)
        string(SUBSTRING "${rest}" ${value_end} -1 rest)
        math(EXPR value "${minimum} + ${k}")
        string(APPEND done "${head}${value}")
        math(EXPR k "${k} + 1")
    endwhile()
    math(EXPR span "${maximum} - ${minimum} + 1")
    if(NOT k EQUAL span)
        fail("${k} item names for a range of ${span} values:\n${block}")
    endif()
    set(${var} "${done}${rest}" PARENT_SCOPE)
endfunction()

# dsp.ttl: parameters, class, maintainer.
file(READ "${bundle}/dsp.ttl" ttl)
set(fixed "")
set(rest "${ttl}")
set(enumerations 0)
set(found_integers "")
while(NOT rest STREQUAL "")
    string(FIND "${rest}" "\n\n" at)
    if(at EQUAL -1)
        set(block "${rest}")
        set(rest "")
    else()
        math(EXPR end "${at} + 2")
        string(SUBSTRING "${rest}" 0 ${end} block)
        string(SUBSTRING "${rest}" ${end} -1 rest)
    endif()
    if(block MATCHES "^plug:([A-Za-z0-9_]+)\n\ta lv2:Parameter ;")
        set(id ${CMAKE_MATCH_1})
        if(block MATCHES "lv2:scalePoint")
            plain_scale_points(block)
            math(EXPR enumerations "${enumerations} + 1")
        elseif(id IN_LIST integers)
            string(REGEX REPLACE "(lv2:maximum[ \t]+-?[0-9]+)[ \t]*\\.\n" "\\1 ;\n\tlv2:portProperty lv2:integer .\n"
                                 block "${block}")
            if(NOT block MATCHES "lv2:integer")
                fail("cannot mark ${id} as an integer:\n${block}")
            endif()
            list(APPEND found_integers ${id})
        endif()
    endif()
    string(APPEND fixed "${block}")
endwhile()
if(enumerations EQUAL 0)
    fail("no parameter with item names in dsp.ttl")
endif()
foreach(id IN LISTS integers)
    if(NOT id IN_LIST found_integers)
        fail("no parameter ${id} to mark as an integer")
    endif()
endforeach()

replace_once(fixed "\ta lv2:Plugin ;\n\tdoap:name" "\ta lv2:Plugin , lv2:CompressorPlugin ;\n\tdoap:name")
replace_once(fixed "\t\tfoaf:homepage <> ;\n" "")
replace_once(fixed "\t\tfoaf:mbox <> ;\n" "")
file(WRITE "${bundle}/dsp.ttl" "${fixed}")

# manifest.ttl: the single program's preset.
file(READ "${bundle}/manifest.ttl" manifest)
string(REGEX MATCHALL "a pset:Preset" presets "${manifest}")
list(LENGTH presets preset_count)
if(preset_count EQUAL 1)
    string(REGEX REPLACE "\n<[^>\n]*:preset1>\n[^\n]*pset:Preset ;\n[^\n]*\n[^\n]*\n[^\n]*state:state [^\n]*\n" "\n"
                         manifest "${manifest}")
    if(manifest MATCHES "pset:Preset")
        fail("cannot remove the single program's preset from manifest.ttl")
    endif()
    file(WRITE "${bundle}/manifest.ttl" "${manifest}")
endif()
