# Runs one fuzz target for SECONDS seconds from the seed corpus SEEDS; new inputs and any
# crashing input go to SCRATCH, so the kept corpus only changes by hand.
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/corpus)
execute_process(
    COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
        -print_final_stats=1 -artifact_prefix=${SCRATCH}/ ${SCRATCH}/corpus ${SEEDS}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(GLOB found ${SCRATCH}/crash-* ${SCRATCH}/leak-* ${SCRATCH}/timeout-* ${SCRATCH}/oom-*)
    message(FATAL_ERROR "${FUZZER} failed (${result}); inputs that show it: ${found}")
endif()
