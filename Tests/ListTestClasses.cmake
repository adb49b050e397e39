# Run by CTest whenever it reads the tests (TEST_INCLUDE_FILES): one test per
# class that the suite's executable registers. Set by the caller: suite,
# executable, timeout, environment.
if(NOT EXISTS "${executable}")
    # No such program: the test fails until the suite is built.
    add_test(${suite}.NOT_BUILT "${suite}.NOT_BUILT")
    return()
endif()
execute_process(COMMAND "${executable}" --list-classes
    OUTPUT_VARIABLE classes ERROR_VARIABLE errors RESULT_VARIABLE result TIMEOUT 60)
if(NOT result EQUAL 0 OR classes STREQUAL "")
    # A test that cannot run, rather than a suite that silently runs nothing.
    message(WARNING "${executable} --list-classes: ${result} ${errors}")
    add_test(${suite}.NOT_LISTED "${suite}.NOT_LISTED")
    return()
endif()
string(STRIP "${classes}" classes)
string(REPLACE "\n" ";" classes "${classes}")
foreach(class IN LISTS classes)
    add_test(${suite}.${class} "${executable}" ${class})
    set_tests_properties(${suite}.${class} PROPERTIES TIMEOUT ${timeout} ENVIRONMENT "${environment}")
endforeach()
