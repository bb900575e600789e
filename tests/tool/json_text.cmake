# Decode's JSON text against json-c's printer; the reference mockups part
# reads the Redfish reference data and skips when it is absent.
bej_test(json_text_test json_text_test.cpp LIBS bejconv_core test_decoded_json dictc)
# An internal header: decoded trees are altered where no input reaches.
target_include_directories(json_text_test PRIVATE ${PROJECT_SOURCE_DIR}/librde)
