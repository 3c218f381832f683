// The process entry: the one service object, Windows Sockets 1.1, then the
// action the command line selects.
#include <winsock2.h>
#include <windows.h>

#include "BrisvelService.h"

int main(int argc, char* argv[]) {
    // Lives for the whole of main and is destroyed on every path out of it.
    CBrisvelService service;

    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return 0;
    // wVersion is the version the caller is to use: major in the low byte,
    // minor in the high byte.
    if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
        WSACleanup();
        WSASetLastError(WSAVERNOTSUPPORTED);
        return 0;
    }

    return service.HandleCommandLine(argc, argv);
}
