# The bejconv command line, run as a real process.
bej_test(cli_test cli_test.cpp LIBS dictc)
# The same over the published reference dictionaries (skipped when absent).
bej_test(cli_reference_test cli_reference_test.cpp LABELS reference)
