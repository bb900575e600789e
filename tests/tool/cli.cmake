# The bejconv command line, run as a real process: the case folders under
# cases/ and what they cannot hold.
bej_test(cases_test cases_test.cpp LIBS dictc)
