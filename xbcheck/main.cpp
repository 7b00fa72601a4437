// The program's entry point; everything else is the library of its checks,
// which the fuzz target drives too.
#include "xbcheck/xbcheck.h"

int main(int argc, char **argv) { return xbcheck_main(argc, argv); }
