// The program's entry point; everything it does lives in ddmain so that
// tests can link the front end without it.
#include "tool/ddmain.h"

int main(int argc, char **argv) { return ddmain_run(argc, argv); }
