// helper.exe: the stand-in for the software Brisvel watches, the service
// step runner, and the probes the Wine scenarios, the demo and the benchmark
// need, in one executable. Each command is one function, declared below or,
// for the parts only the tests use, in tests/wine/probes.h; main
// (tools/helper.cpp) picks it by the command line, whose words are listed
// there. Every command returns the process exit code: 0 on success, 1 on
// failure, 2 for a bad command line.
#pragma once

#include <windows.h>

#include "Handles.h"

// ---- tools/helper.cpp: what every part shares.

// The usage text on standard error; returns 2.
int Usage();
// `text` as a number (decimal, 0x hexadecimal or 0 octal).
DWORD Number(const char* text);
// "helper: WHAT failed (error N)" on standard error, N the last error;
// returns 1.
int Fail(const char* what);

// ---- tools/StandIn.cpp: the stand-in service "Ondrimar" (see there).
int RunService(const char* mode);

// ---- tools/Steps.cpp: service steps, run in order (see there).
int RunSteps(int argc, char** argv);

// ---- tools/SharedProbes.cpp: probes the benchmark shares with the tests.
int PrintHandleCount(DWORD pid);
int Idle();
