#include "NTService.h"

// Installation and removal come with the service registration work; until
// then both report failure and touch nothing.
BOOL CNTService::Install() {
    return 0;
}

BOOL CNTService::Uninstall() {
    return 0;
}
