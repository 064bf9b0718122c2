/* A stand-in for libngspice with the same entry points; ngSpice_Init always fails.
   Built without ngSpice_running (-DOMIT_RUNNING) it exports seven of the eight. */
#include <stddef.h>

int ngSpice_Init(void* a, void* b, void* c, void* d, void* e, void* f, void* user) { return 7; }
int ngSpice_Command(char* command) { return 0; }
void* ngGet_Vec_Info(char* name) { return NULL; }
int ngSpice_Circ(char** lines) { return 0; }
char* ngSpice_CurPlot(void) { return NULL; }
char** ngSpice_AllPlots(void) { return NULL; }
char** ngSpice_AllVecs(char* plot) { return NULL; }
#ifndef OMIT_RUNNING
_Bool ngSpice_running(void) { return 0; }
#endif
