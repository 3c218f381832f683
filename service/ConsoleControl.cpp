#include "NTService.h"

// Starting and stopping the installed service from a console come later;
// until then both report failure and touch nothing.
BOOL CNTService::StopInstalled() {
    return 0;
}

BOOL CNTService::StartInstalled() {
    return 0;
}
