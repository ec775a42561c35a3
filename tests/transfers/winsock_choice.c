/* winsock_choice.c: This file contains a program that links Net-SNMP's import
 * library ahead of ours, both of which have a winsock_startup, and calls it
 * through our header: it must get ours, which prints what it found. Our DLL
 * also answers a look-up of the plain names, with the same functions. */
#include <stdio.h>
#include <windows.h>

#include "TORVAN_SNMP.h"

typedef char* (*Startup)(void);
typedef void (*Cleanup)(void);

int main(void)
{
    winsock_startup();
    winsock_cleanup();

    HMODULE dll = GetModuleHandleA("TORVAN_SNMP.dll");
    Startup startup = (Startup)(void (*)(void))GetProcAddress(dll, "winsock_startup");
    Cleanup cleanup = (Cleanup)(void (*)(void))GetProcAddress(dll, "winsock_cleanup");
    if (startup != winsock_startup || cleanup != winsock_cleanup) {
        printf("TORVAN_SNMP.dll's winsock_startup %p and winsock_cleanup %p are not the linked %p and %p\n",
               (void*)startup, (void*)cleanup, (void*)winsock_startup, (void*)winsock_cleanup);
        return 1;
    }
    printf("looked up by its plain name: ");
    fflush(stdout);
    startup();
    cleanup();
    return 0;
}
