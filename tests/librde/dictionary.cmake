# Dictionary registration, the schema property tree and the logger.
bej_test(dictionary_test ${CMAKE_CURRENT_LIST_DIR}/dictionary_test.cpp LIBS rde_static dictc)
# The lookups by name are internal operations.
target_include_directories(dictionary_test PRIVATE ${PROJECT_SOURCE_DIR}/librde)
