/*
 * cvirte.h: start-up of the panel run-time.
 */
#ifndef KOVO_CVIRTE_H
#define KOVO_CVIRTE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the run-time: first opens /dev/null on any of standard input,
 * output and error that the program was started without (on every call, so
 * that nothing opened later takes their place), then makes standard output
 * line-buffered (so that its lines and standard error's keep their order in
 * one log) and chooses the front end: the panel's window whenever a display
 * answers, unless standard input is a pipe or a regular file, which a script
 * feeds with actions for the console front end. hInstance and reserved are
 * not used; argv is the program's argument vector, ending in NULL. Returns 1
 * on success, 0 on failure. */
int InitCVIRTEEx(int hInstance, char* argv[], void* reserved);

#ifdef __cplusplus
}
#endif

#endif /* KOVO_CVIRTE_H */
