// The parts of helper.exe only the Wine scenarios use, declared for the
// tools' side of it (tools/helper.cpp dispatches to them, the stand-in keeps
// the broken sections). Each command returns the process exit code, as in
// tools/helper.h.
#pragma once

#include <windows.h>

#include "Handles.h"

// ---- tests/wine/BrokenSections.cpp: the sections the stand-in keeps when
// a scenario asks for one that no publisher writes.
class CBrokenSection {
public:
    CBrokenSection() : m_size(0) {}

    // Replaces the section held by a new "Ondrimar_LiveCheck" of `size`
    // bytes holding `text` and its zero (as much as fits). A section still
    // held by another process (a watchdog in the middle of its check) stays
    // under the name for a moment, so this retries for up to a second.
    // Returns false, holding nothing, with the last error set
    // (ERROR_ALREADY_EXISTS when the name stayed taken).
    bool Create(DWORD size, const char* text);
    // Writes `text` and its zero (as much as fits) at the start. Returns
    // false, with ERROR_INVALID_HANDLE, when no section is held.
    bool Write(const char* text);
    void* view() const { return m_view.get(); }
    // Gives the section up.
    void Release();

private:
    CHandle m_mapping;
    CMappedView m_view;
    DWORD m_size;
};

// Fills the committed memory from `view` to the end of its region with
// bytes that are never zero, the first "1": a flag without its zero.
void FillGarbage(void* view);

// ---- tests/wine/probes.cpp: probes only the tests use (see there).
int PrintErrorText(DWORD code);
int RunRegistry(int argc, char** argv);
int PrintMessage(const char* module, DWORD id, const char* insert);
int HoldSection(DWORD flags, const char* text, bool fresh);
int HoldEvent();
int PrintSection();
int PrintAccount(DWORD pid);
int Reopen(DWORD holdMs);
