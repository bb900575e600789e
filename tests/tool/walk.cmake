# The converter's two tree walks, through the library and the executable.
bej_test(walk_test walk_test.cpp LIBS bejconv_core dictc)
# Two cases the decoder cannot produce are made by altering a decoded tree.
target_include_directories(walk_test PRIVATE ${PROJECT_SOURCE_DIR}/librde)
