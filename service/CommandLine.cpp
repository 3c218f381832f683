#include <stdio.h>
#include <io.h>
#include <fcntl.h>

#include "NTService.h"
#include "OptionWalk.h"

int CNTService::HandleCommandLine(int argc, char** argv) {
    CCommandOptions options = WalkOptions(argc, argv, m_accountName, m_password);
    m_accountName = options.m_accountName;
    m_password = options.m_password;

    BOOL (CNTService::*action)() = &CNTService::RunAsService;
    switch (options.m_action) {
    case ECommandAction::RunAsService:
        action = &CNTService::RunAsService;
        break;
    case ECommandAction::Install:
        action = &CNTService::Install;
        break;
    case ECommandAction::Uninstall:
        action = &CNTService::Uninstall;
        break;
    case ECommandAction::StartInstalled:
        action = &CNTService::StartInstalled;
        break;
    case ECommandAction::StopInstalled:
        action = &CNTService::StopInstalled;
        break;
    }
    // A pointer to a virtual member calls the override of the derived class.
    return (this->*action)();
}

namespace {

// Binds one standard runtime descriptor (0, 1 or 2) to the standard handle
// `which`, and makes `stream` unbuffered. The caller's handle is never
// closed: a descriptor that holds it already is left as it is, and any other
// descriptor is rebound to a duplicate of it. A descriptor whose handle or
// duplicate cannot be had keeps its previous binding; the stream's buffering
// changes either way.
//
// Microsoft's runtimes carry out _dup2 as "close the target, then duplicate
// the source": rebinding descriptor 1 to a descriptor that wraps the very
// handle descriptor 1 holds would close that handle first, clear the
// process's standard output and leave descriptor 1 closed, so nothing would
// be printed. Wine's _dup2 duplicates first and closes afterwards, which
// hides that fault, but closes the caller's handle all the same.
void BindStandardStream(DWORD which, int standardDescriptor, FILE* stream) {
    setvbuf(stream, NULL, _IONBF, 0);
    HANDLE handle = GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE || handle == NULL)
        return;
    if (reinterpret_cast<HANDLE>(_get_osfhandle(standardDescriptor)) == handle)
        return;
    HANDLE process = GetCurrentProcess();
    HANDLE duplicate = NULL;
    if (!DuplicateHandle(process, handle, process, &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return;
    // The new descriptor owns the duplicate from here on: _close releases it.
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(duplicate), _O_TEXT);
    if (descriptor == -1) {
        CHandle unused(duplicate);
        return;
    }
    // The standard descriptor gets a duplicate of its own; the stream, bound
    // to the standard descriptor, follows it.
    _dup2(descriptor, standardDescriptor);
    _close(descriptor);
}

} // namespace

void CNTService::OpenConsole() {
    if (m_consoleOpened)
        return;

    // Fails when the process already has a console; the streams are then
    // bound to the standard handles it has, so redirected output stays
    // redirected.
    AllocConsole();

    BindStandardStream(STD_OUTPUT_HANDLE, 1, stdout);
    BindStandardStream(STD_ERROR_HANDLE, 2, stderr);
    BindStandardStream(STD_INPUT_HANDLE, 0, stdin);

    m_consoleOpened = 1;
}
