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

// Rebinds one standard runtime descriptor (0, 1 or 2) to a standard handle.
// A stream whose handle, descriptor or stream cannot be had keeps its
// previous binding.
void BindStandardStream(DWORD which, int standardDescriptor, const char* mode, FILE* stream) {
    HANDLE handle = GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_TEXT);
    if (descriptor == -1)
        return;
    if (_fdopen(descriptor, mode) == NULL)
        return;
    // The standard descriptor takes the new one over, so stdout, stderr and
    // stdin (formatted printing included) go to the handle. Reopening on
    // "CONOUT$" instead would lose output the caller redirected; duplicating
    // onto the descriptor keeps it. The new descriptor and its stream stay
    // open for the life of the process.
    _dup2(descriptor, standardDescriptor);
    setvbuf(stream, NULL, _IONBF, 0);
}

} // namespace

void CNTService::OpenConsole() {
    if (m_consoleOpened)
        return;

    // Fails when the process already has a console; the streams are then
    // bound to the standard handles it has, so redirected output stays
    // redirected.
    AllocConsole();

    BindStandardStream(STD_OUTPUT_HANDLE, 1, "w", stdout);
    BindStandardStream(STD_ERROR_HANDLE, 2, "w", stderr);
    BindStandardStream(STD_INPUT_HANDLE, 0, "r", stdin);

    m_consoleOpened = 1;
}
