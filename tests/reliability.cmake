# The reliability suite: transfers through a re-cutting proxy, faults, hostile peers.
add_library(corvane_testproxy STATIC resegmentingproxy.h resegmentingproxy.cpp)
target_include_directories(corvane_testproxy PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(corvane_testproxy PUBLIC Qt6::Network PRIVATE corvane_options)

# Both components on loopback, with or without the proxy, driven as the windows drive them.
add_library(corvane_transferrig STATIC transferrig.h transferrig.cpp)
target_link_libraries(corvane_transferrig
    PUBLIC corvane_testproxy Corvane::Components Qt6::Test PRIVATE corvane_options)

function(corvane_add_reliability_test name)
    corvane_add_test(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE corvane_transferrig)
    set_tests_properties(${name} PROPERTIES LABELS reliability)
endfunction()

corvane_add_reliability_test(tst_resegmentingproxy tst_resegmentingproxy.cpp)
corvane_add_reliability_test(tst_reliability_transfer tst_reliability_transfer.cpp)
corvane_add_reliability_test(tst_reliability_faults tst_reliability_faults.cpp)
corvane_add_reliability_test(tst_reliability_hostile tst_reliability_hostile.cpp)

# A receiver in a process of its own, for the tests that kill it or trace it.
add_executable(corvane-test-receiver receiverprocess.cpp)
target_link_libraries(corvane-test-receiver PRIVATE Corvane::Components corvane_options)
corvane_add_reliability_test(tst_reliability_durability tst_reliability_durability.cpp)
target_compile_definitions(tst_reliability_durability PRIVATE
    CORVANE_TEST_RECEIVER="$<TARGET_FILE:corvane-test-receiver>")
add_dependencies(tst_reliability_durability corvane-test-receiver)

include(fuzz/fuzzing.cmake)
