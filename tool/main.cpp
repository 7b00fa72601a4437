// The program's entry point; everything it does lives in ddmain so that
// tests can link the front end without it.
#include "tool/ddmain.h"
#include "xbase/e4error.h"

int main(int argc, char **argv)
{
    // The engine answers out of memory as -920 itself; memory that runs out
    // in the front end's own work ends the run with the same report and
    // the failure status, not an abort.
    try {
        return e4exit_status(ddmain_main(argc, argv));
    } catch (const std::bad_alloc &) {
        return e4out_of_memory();
    }
}
