# Builder, setters, encoding and locators; byte-level cases in tests/vectors/encode/.
bej_test(encoder_test ${CMAKE_CURRENT_LIST_DIR}/encoder_test.cpp LIBS rde_static dictc)
# The locator's path is an internal record field.
target_include_directories(encoder_test PRIVATE ${PROJECT_SOURCE_DIR}/librde)
