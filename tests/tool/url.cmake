# URL macros called directly: abbreviation against a plain scan, expansion.
bej_test(url_test ${CMAKE_CURRENT_LIST_DIR}/url_test.cpp LIBS bejconv_core)
