# Included by CTest (a TEST_INCLUDE_FILES script), never by the build: adds one CTest entry for
# each GoogleTest suite of a test program, listed from the program itself each time CTest runs,
# so a new suite needs no line in any CMakeLists.txt.
#
# A whole program can pass any time limit on a busy machine; a suite cannot. Run side by side, the
# suites also finish sooner on an idle one. Each part writes its own XML report,
# <results>/<program>.<suite>.xml ("/" in a suite name becomes "-"), so that every test is counted
# in exactly one report.
#
# In: CORVANE_PARTS_PROGRAM  the test program's path
#     CORVANE_PARTS_NAME     its name, the first half of each entry's name
#     CORVANE_PARTS_RESULTS  the folder of the XML reports
#     CORVANE_PARTS_TIMEOUT  each part's time limit in seconds

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

# A suite's line starts in the first column and ends its name with a dot ("Suite." or, typed or
# with parameters, "Prefix/Suite/0.  # TypeParam = ..."); its tests' lines are indented.
string(REPLACE "\n" ";" corvane_lines "${corvane_listing}")
foreach(corvane_line IN LISTS corvane_lines)
    if(NOT corvane_line MATCHES "^([A-Za-z0-9_/]+)\\.")
        continue()
    endif()
    set(corvane_suite "${CMAKE_MATCH_1}")
    set(corvane_part "${CORVANE_PARTS_NAME}.${corvane_suite}")
    string(REPLACE "/" "-" corvane_report "${corvane_part}")
    add_test("${corvane_part}" "${CORVANE_PARTS_PROGRAM}" "--gtest_filter=${corvane_suite}.*"
             "--gtest_output=xml:${CORVANE_PARTS_RESULTS}/${corvane_report}.xml")
    set_tests_properties("${corvane_part}" PROPERTIES TIMEOUT "${CORVANE_PARTS_TIMEOUT}")
endforeach()
