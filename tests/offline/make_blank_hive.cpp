// make_blank_hive PATH: writes an empty registry hive of format 1.5 for the
// end-to-end tests to fill with hivexsh.
#include "support/blank_hive.h"

int main(int argc, char** argv) { return argc == 2 && hive_test::WriteBlankHive(argv[1], 5) ? 0 : 1; }
