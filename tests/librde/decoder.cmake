# Decoding and decoded value access; byte-level cases in tests/vectors/decode/.
bej_test(decoder_test ${CMAKE_CURRENT_LIST_DIR}/decoder_test.cpp LIBS rde_static dictc)
