#include "driver.h"

int main(int argc, char **argv) { return bejconv_main(argc, argv); }
