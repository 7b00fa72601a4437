// The program's entry point; everything else is the library of its checks,
// which the fuzz target drives too.
#include "xbase/e4error.h"
#include "xbcheck/xbcheck.h"

int main(int argc, char **argv)
{
    // Memory that runs out outside the engine's entry points ends the run
    // with the engine's -920 report and the failure status, not an abort.
    try {
        return xbcheck_main(argc, argv);
    } catch (const std::bad_alloc &) {
        return e4out_of_memory();
    }
}
