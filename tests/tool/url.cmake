# URL macros called directly; what decode makes of a string, as the fuzzer checks.
bej_test(url_test ${CMAKE_CURRENT_LIST_DIR}/url_test.cpp LIBS bejconv_core)
target_include_directories(url_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz)
