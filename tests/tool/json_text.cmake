# Decode's JSON text against json-c's printer.  The part over every
# reference mockup (which skips when they are absent) is a test of its own,
# run natively only.
bej_test(json_text_test json_text_test.cpp
  LIBS bejconv_core test_mockups dictc)
set_tests_properties(json_text_test PROPERTIES ENVIRONMENT GTEST_FILTER=-*Mockups)
add_test(NAME json_text_mockups COMMAND json_text_test --gtest_filter=*Mockups)
reference_test(json_text_mockups)
# An internal header: decoded trees are altered where no input reaches.
target_include_directories(json_text_test PRIVATE ${PROJECT_SOURCE_DIR}/librde)
