// The check of the section "Ondrimar_LiveCheck": does the monitored
// software say that it is alive, and where it beats, how far has its
// heartbeat counter gone.
#pragma once

#include <windows.h>

#include "RestartRecords.h"

// True when the section exists, can be mapped with full access, and its
// first bytes are committed, readable and hold the text "1". Keeps no
// handle or view.
bool LiveCheck();

// LiveCheck, telling in `seen` what the section held: missing (no section of
// that name), unreadable, or held, with its first two bytes when they say
// "1" and else as many as `seen` keeps. When the flag says "1" and `beat` is
// not null, `*beat` receives the heartbeat counter (0 when it cannot be
// read).
bool CheckSection(CSectionSeen& seen, DWORD* beat = NULL);
