# Every reference mockup through the command; reads the Redfish reference
# data in place and skips when it is absent.
bej_test(mockups_test mockups_test.cpp LIBS test_mockups)
reference_test(mockups_test)
