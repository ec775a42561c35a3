// This file contains a small panel program for the process tests of the
// graphical front end: it prints before, during and after its window, a flood
// of lines larger than a pipe holds with error lines among them, and a last
// line begun inside a callback and ended after the window has gone.
#include <cvirte.h>
#include <userint.h>

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
