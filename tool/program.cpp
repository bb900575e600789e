#include "program.h"

// Replaced by argv[0] as the first thing a run does; the default only shows
// when the converter units are used without the driver.
const char *program_name = "bejconv";
