# Every reference mockup through the converter; reads the Redfish reference
# data in place and skips when it is absent.
bej_test(mockups_test mockups_test.cpp LIBS bejconv_core test_decoded_json LABELS reference)
