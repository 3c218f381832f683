// The runtime library's descriptor functions that rebind the standard streams.
//
// On Windows these come from msvcrt. In the simulation a descriptor opened on
// a Win32 handle is a record of the simulated world; _dup2 onto 0, 1 or 2
// rebinds the simulated standard stream and leaves the test process's own
// descriptors alone.
#pragma once

#include <stdint.h>
#include <stdio.h>

#ifndef _O_TEXT
#define _O_TEXT 0x4000
#endif
#ifndef _O_BINARY
#define _O_BINARY 0x8000
#endif

#ifdef __cplusplus
extern "C" {
#endif

int _open_osfhandle(intptr_t osHandle, int flags);
FILE* _fdopen(int descriptor, const char* mode);
int _dup2(int descriptor, int target);

#ifdef __cplusplus
}
#endif
