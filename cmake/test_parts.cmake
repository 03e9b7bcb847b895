# Included by CTest (a TEST_INCLUDE_FILES script), never by the build: adds one CTest entry for
# each GoogleTest suite of a test program, or for each test, listed from the program itself each
# time CTest runs, so a new suite needs no line in any CMakeLists.txt.
#
# A whole program can pass any time limit on a busy machine; a part cannot. Run side by side, the
# parts also finish sooner on an idle one. Each part writes its own XML report,
# <results>/<entry name>.xml ("/" in a name becomes "-"), so that every test is counted in exactly
# one report.
#
# In: CORVANE_PARTS_PROGRAM  the test program's path
#     CORVANE_PARTS_NAME     its name, the first half of each entry's name
#     CORVANE_PARTS_RESULTS  the folder of the XML reports
#     CORVANE_PARTS_TIMEOUT  each part's time limit in seconds
#     CORVANE_PARTS_EACH     ON: one part per test, for programs whose suites hold minutes of
#                            work (a suite of the service tests took over 900 s at a load of 40)

# A program that cannot list its tests (not built, or crashing at start) stays one entry, which
# fails and says why.
execute_process(COMMAND "${CORVANE_PARTS_PROGRAM}" --gtest_list_tests
                OUTPUT_VARIABLE corvane_listing RESULT_VARIABLE corvane_listed ERROR_QUIET TIMEOUT 300)
if(NOT corvane_listed EQUAL 0)
    add_test("${CORVANE_PARTS_NAME}" "${CORVANE_PARTS_PROGRAM}"
             "--gtest_output=xml:${CORVANE_PARTS_RESULTS}/${CORVANE_PARTS_NAME}.xml")
    set_tests_properties("${CORVANE_PARTS_NAME}" PROPERTIES TIMEOUT "${CORVANE_PARTS_TIMEOUT}")
    return()
endif()

function(corvane_add_part name filter)
    set(part "${CORVANE_PARTS_NAME}.${name}")
    string(REPLACE "/" "-" report "${part}")
    add_test("${part}" "${CORVANE_PARTS_PROGRAM}" "--gtest_filter=${filter}"
             "--gtest_output=xml:${CORVANE_PARTS_RESULTS}/${report}.xml")
    set_tests_properties("${part}" PROPERTIES TIMEOUT "${CORVANE_PARTS_TIMEOUT}")
endfunction()

# A suite's line starts in the first column and ends its name with a dot ("Suite." or, typed or
# with parameters, "Prefix/Suite/0.  # TypeParam = ..."); its tests' lines are indented
# ("  Test" or "  Test/0  # GetParam() = ...").
string(REPLACE "\n" ";" corvane_lines "${corvane_listing}")
foreach(corvane_line IN LISTS corvane_lines)
    if(corvane_line MATCHES "^([A-Za-z0-9_/]+)\\.")
        set(corvane_suite "${CMAKE_MATCH_1}")
        if(NOT CORVANE_PARTS_EACH)
            corvane_add_part("${corvane_suite}" "${corvane_suite}.*")
        endif()
    elseif(CORVANE_PARTS_EACH AND corvane_line MATCHES "^  ([A-Za-z0-9_/]+)")
        corvane_add_part("${corvane_suite}.${CMAKE_MATCH_1}" "${corvane_suite}.${CMAKE_MATCH_1}")
    endif()
endforeach()
