# Encode's parse in pieces against json-c's parse of the whole text.
bej_test(json_parse_test json_parse_test.cpp LIBS bejconv_core)
