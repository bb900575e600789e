# The converter's two tree walks, through the library and the executable.
bej_test(walk_test walk_test.cpp LIBS bejconv_core test_decoded_json dictc)
