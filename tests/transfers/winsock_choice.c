/* winsock_choice.c: This file contains a program that links Net-SNMP's import
 * library ahead of ours, both of which have a winsock_startup, and calls it
 * through our header: it must get ours, which prints what it found. */
#include "TORVAN_SNMP.h"

int main(void)
{
    winsock_startup();
    winsock_cleanup();
    return 0;
}
