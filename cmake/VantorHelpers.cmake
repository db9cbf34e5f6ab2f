# Build helpers shared by every deliverable: export-listed shared libraries, tests and fuzz targets.

# vantor_shared_library(<target> OUTPUT_NAME <file base> EXPORTS <version script> SOURCES ... [LIBS ...])
# Builds a shared library named exactly <file base>.so (no "lib" prefix, as the loader looks for
# "<name>.dll" -> "<name>.so") that exports only the names of its version script.
function(vantor_shared_library target)
    cmake_parse_arguments(ARG "" "OUTPUT_NAME;EXPORTS" "SOURCES;LIBS" ${ARGN})
    add_library(${target} SHARED ${ARG_SOURCES})
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${ARG_OUTPUT_NAME}
        LINK_DEPENDS ${ARG_EXPORTS})
    target_link_options(${target} PRIVATE -Wl,--version-script=${ARG_EXPORTS})
    # clang links the sanitizer runtime into programs only, so a sanitized library keeps
    # undefined references to it by design.
    if(NOT (VANTOR_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
        target_link_options(${target} PRIVATE -Wl,--no-undefined)
    endif()
    if(ARG_LIBS)
        target_link_libraries(${target} PRIVATE ${ARG_LIBS})
    endif()
endfunction()

# vantor_test(<name> SOURCES ... [LIBS ...] [FIXTURES ...] [LABELS ...] [TIMEOUT s])
# A GoogleTest program run as one CTest test; FIXTURES names the CTest fixtures it requires
# (for example card_bench for the private pcscd); card_bench tests also take its resource lock.
function(vantor_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;FIXTURES;LABELS;ENVIRONMENT;RESOURCE_LOCK" ${ARGN})
    add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/gtest_skip_exit.cpp)
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads ${ARG_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    # A test whose service is missing skips loudly (GTEST_SKIP). A program whose every test
    # skipped exits with 77 (tests/support/gtest_skip_exit.cpp) and CTest reports it skipped; any
    # failure still fails it.
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} SKIP_RETURN_CODE 77)
    if(ARG_FIXTURES)
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${ARG_FIXTURES}")
    endif()
    # Tests on the card bench share its readers, so they never run at the same time.
    if("card_bench" IN_LIST ARG_FIXTURES)
        list(APPEND ARG_RESOURCE_LOCK card_bench)
    endif()
    if(ARG_RESOURCE_LOCK)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
    endif()
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
    if(ARG_ENVIRONMENT)
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
    endif()
endfunction()

# vantor_fuzz_target(<name> SOURCES ... [LIBS ...] [CORPUS dir])
# A libFuzzer target, built only with VANTOR_FUZZ (clang). CTest runs it for a bounded number of
# inputs over its seed corpus so that CI catches a crash on the seeds or nearby mutations.
function(vantor_fuzz_target name)
    if(NOT VANTOR_FUZZ)
        return()
    endif()
    cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    set(args -runs=20000 -max_total_time=30)
    if(ARG_CORPUS)
        # libFuzzer writes new inputs into its first corpus folder: give it a scratch folder in
        # the build tree so a test run never adds files to the seeds in the source tree.
        set(scratch ${CMAKE_CURRENT_BINARY_DIR}/${name}_corpus)
        file(MAKE_DIRECTORY ${scratch})
        list(APPEND args ${scratch} ${ARG_CORPUS})
    endif()
    add_test(NAME ${name} COMMAND ${name} ${args})
    set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 120)
endfunction()

# Adds the sanitizer runtime defaults (asan_default_options.cpp) to every executable defined in
# <dir> and below; called once, after all folders have been added.
function(vantor_add_sanitizer_defaults dir)
    get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE")
            target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/cmake/asan_default_options.cpp")
        endif()
    endforeach()
    get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
        vantor_add_sanitizer_defaults("${sub}")
    endforeach()
endfunction()
