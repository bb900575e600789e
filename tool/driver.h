// The converter's entry: options, files, dictionaries, one action, release.
#ifndef BEJCONV_DRIVER_H
#define BEJCONV_DRIVER_H

// Runs one conversion; returns the process exit status (0 or 1).
int bejconv_main(int argc, char **argv);

#endif
