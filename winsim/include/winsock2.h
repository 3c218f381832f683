// Windows Sockets start-up, the only part of Windows Sockets the product uses.
#pragma once

#include <windows.h>

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA, *LPWSADATA;

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI WSAStartup(WORD versionRequested, LPWSADATA data);
int WINAPI WSACleanup(void);
void WINAPI WSASetLastError(int error);
int WINAPI WSAGetLastError(void);

#ifdef __cplusplus
}
#endif
