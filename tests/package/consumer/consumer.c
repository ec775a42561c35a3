/* consumer.c: a program of someone else's that uses the installed library:
 * reads the crate's main switch, writes channel 0's set voltage and reads it
 * back, printing each result on one line. */
#include <stdio.h>
#include <stdlib.h>

#include <TORVAN_SNMP.h>

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
