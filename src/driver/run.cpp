#include "driver/run.h"

// Placeholder until the run sequence lands.
int Run(RunServices&) { return 0; }
