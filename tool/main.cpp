// The program's entry point; everything it does lives in ddmain so that
// tests can link the front end without it.
#include "tool/ddmain.h"
#include "xbase/e4error.h"

int main(int argc, char **argv) { return e4exit_status(ddmain_main(argc, argv)); }
