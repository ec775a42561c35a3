/* consumer.c: a program of someone else's that uses the installed library:
 * reads the crate's main switch, writes channel 0's set voltage and reads it
 * back, printing each result on one line. Its own macros, named as a table's
 * row macros often are, must come out of the library's headers untouched. */
#include <stdio.h>
#include <stdlib.h>

#define GET 1
#define SET 2
#define GET_ROW 3
#define SET_ROW 4
#define SET_CONST 5
#define SCALAR 6
#define TABLE 7
#include <TORVAN_SNMP.h>
#include <catalogue.h>
#if GET != 1 || SET != 2 || GET_ROW != 3 || SET_ROW != 4 || SET_CONST != 5 || SCALAR != 6 || TABLE != 7
#error the library's headers changed a client's macros
#endif

int main(int argc, char** argv)
{
    if (argc != 2 || !SnmpInit())
        return 2;
    HSNMP crate = SnmpOpen(argv[1]);
    if (crate == NULL)
        return 3;
    printf("main switch %d\n", getMainSwitch(crate));
    printf("set %.2f\n", setOutputVoltage(crate, 0, 12.25));
    printf("get %.2f\n", getOutputVoltage(crate, 0));
    char* name = getOutputName(crate, 0);
    printf("name %s\n", name ? name : "(none)");
    free(name);
    SnmpClose(crate);
    SnmpCleanup();
    return 0;
}
