# URL macros: the map loader, abbreviation and expansion, called directly.
bej_test(url_test ${CMAKE_CURRENT_LIST_DIR}/url_test.cpp LIBS bejconv_core)
# The same through the real executable.
bej_test(url_cli_test ${CMAKE_CURRENT_LIST_DIR}/url_cli_test.cpp LIBS dictc)
