/* The baseline for start-up under Wine: a program that does nothing but end. */
#include <windows.h>

void ProgramEntry(void) { ExitProcess(0); }
