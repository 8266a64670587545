# Builds the fuzz targets with clang (a project of their own, tests/fuzz/CMakeLists.txt) and
# registers one CTest test per target, labelled `fuzz`, that runs it for a bounded time from
# the seed corpus in tests/fuzz/corpus/. Without clang and libFuzzer the tests report
# themselves skipped.
option(CORVANE_FUZZ "Build the libFuzzer targets with clang and run them as tests" ON)
set(CORVANE_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs in the test suite")

set(fuzz_targets fuzz_protocol fuzz_receiver_info fuzz_sender_info)
set(fuzz_source ${CMAKE_CURRENT_LIST_DIR})
set(fuzz_binary ${CMAKE_CURRENT_BINARY_DIR}/fuzz)

set(fuzz_missing "")
if(NOT CORVANE_FUZZ)
    set(fuzz_missing "CORVANE_FUZZ is off")
else()
    find_program(CORVANE_CLANGXX NAMES clang++ clang++-14)
    if(NOT CORVANE_CLANGXX)
        set(fuzz_missing "clang++ was not found (Debian: clang, libclang-rt-14-dev)")
    else()
        set(probe ${CMAKE_CURRENT_BINARY_DIR}/fuzz-probe)
        file(MAKE_DIRECTORY ${probe})
        file(WRITE ${probe}/probe.cpp
            "#include <cstddef>\n#include <cstdint>\n"
            "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n")
        execute_process(
            COMMAND ${CORVANE_CLANGXX} -fsanitize=fuzzer,address,undefined probe.cpp -o probe
            WORKING_DIRECTORY ${probe}
            RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
        if(NOT probe_result EQUAL 0)
            set(fuzz_missing "${CORVANE_CLANGXX} cannot link libFuzzer (Debian: libclang-rt-14-dev)")
        endif()
    endif()
endif()

if(fuzz_missing)
    message(STATUS "Fuzz tests skipped: ${fuzz_missing}")
    foreach(target IN LISTS fuzz_targets)
        add_test(NAME ${target} COMMAND ${CMAKE_COMMAND} -E env sh -c
            "echo 'Fuzz test skipped: ${fuzz_missing}'; exit 77")
        set_tests_properties(${target} PROPERTIES LABELS fuzz SKIP_RETURN_CODE 77)
    endforeach()
    return()
endif()

include(ExternalProject)
set(fuzz_byproducts "")
foreach(target IN LISTS fuzz_targets)
    list(APPEND fuzz_byproducts ${fuzz_binary}/${target})
endforeach()
ExternalProject_Add(corvane_fuzzers
    SOURCE_DIR ${fuzz_source}
    BINARY_DIR ${fuzz_binary}
    CMAKE_ARGS
        -DCMAKE_CXX_COMPILER=${CORVANE_CLANGXX}
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
        -DCORVANE_ROOT=${PROJECT_SOURCE_DIR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${fuzz_binary} -j 2
    BUILD_BYPRODUCTS ${fuzz_byproducts}
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON
    INSTALL_COMMAND "")

foreach(target IN LISTS fuzz_targets)
    # New inputs go to a scratch folder; the kept corpus only seeds the run.
    set(scratch ${CMAKE_CURRENT_BINARY_DIR}/fuzz-corpus/${target})
    add_test(NAME ${target}
        COMMAND ${CMAKE_COMMAND}
            -DFUZZER=${fuzz_binary}/${target}
            -DSCRATCH=${scratch}
            -DSEEDS=${fuzz_source}/corpus/${target}
            -DSECONDS=${CORVANE_FUZZ_SECONDS}
            -P ${fuzz_source}/runfuzzer.cmake)
    set_tests_properties(${target} PROPERTIES
        LABELS fuzz
        TIMEOUT 600
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endforeach()
