// Stand-ins for the directive handlers until the dictionary operations are
// built: each directive reports that it is not available yet.
#include "tool/ddmain.h"

// The dictionary is not created: the pending INIT returns the general
// failure, which the dispatch passes on, instead of claiming the success
// that a built INIT reports.
int ddmain_initializeCatalogr(void) { return DDMAIN_FAILURE; }

// IA and ID are not available yet; nothing is opened or printed.
int ddmain_operateIndex(int argc, char **argv, int operation)
{
    (void)argc;
    (void)argv;
    (void)operation;
    return DDMAIN_FAILURE;
}

// TA and TD are not available yet; nothing is opened or printed.
int ddmain_operateTable(int argc, char **argv, int operation)
{
    (void)argc;
    (void)argv;
    (void)operation;
    return DDMAIN_FAILURE;
}
