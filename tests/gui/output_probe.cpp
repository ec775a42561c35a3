// This file contains a small panel program for the process tests of the
// graphical front end: it prints before, during and after its window, a flood
// of lines larger than a pipe holds with error lines among them, and a last
// line begun inside a callback and ended after the window has gone; a slow
// action that waits for its caller's word on descriptor 3, and a counter.
#include <cvirte.h>
#include <poll.h>
#include <unistd.h>
#include <userint.h>
#include <utility.h>

#include <cstdio>

int main(int argc, char* argv[])
{
    (void)argc;
    if (InitCVIRTEEx(0, argv, 0) == 0)
        return -1;
    int panel = LoadPanel(0, "probe.uir", 1);
    if (panel < 0)
        return -1;
    printf("before the window\n");
    DisplayPanel(panel);
    int code = RunUserInterface();
    DiscardPanel(panel);
    printf(" ended after the window: %d\n", code);
    return 0;
}

extern "C" int CVICALLBACK ProbeFloodCB(int, int, int event, void*, int, int)
{
    if (event != EVENT_COMMIT)
        return 0;
    for (int i = 0; i < 20000; ++i) {
        printf("line %05d of the flood\n", i);
        if (i % 5000 == 0)
            fprintf(stderr, "error %d\n", i);
    }
    printf("a line begun in the callback");
    return 0;
}

extern "C" int CVICALLBACK ProbeQuitCB(int, int, int event, void*, int, int)
{
    if (event == EVENT_COMMIT)
        QuitUserInterface(0);
    return 0;
}

// Prints, then pauses in Sleep until a byte arrives on descriptor 3, then prints again.
extern "C" int CVICALLBACK ProbeSlowCB(int, int, int event, void*, int, int)
{
    if (event != EVENT_COMMIT)
        return 0;
    printf("slow begins\n");
    pollfd word = {3, POLLIN, 0};
    while (poll(&word, 1, 0) == 0)
        Sleep(10);
    char byte;
    if (read(3, &byte, 1) != 1)
        fprintf(stderr, "no word on descriptor 3\n");
    printf("slow ends\n");
    return 0;
}

extern "C" int CVICALLBACK ProbeCountCB(int, int, int event, void*, int, int)
{
    if (event == EVENT_COMMIT)
        printf("count\n");
    return 0;
}
