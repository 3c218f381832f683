/* The monitored software's half of the Brisvel watchdog: it keeps the
 * section LIVECHECK_SECTION_NAME holding "1" while it is healthy.
 *
 *   LiveCheckPublisher flag;
 *   if (!LiveCheckOpen(&flag))    (LIVECHECK_ERROR_NAME_TAKEN: log, alarm)
 *   LiveCheckAlive(&flag);        once the service serves
 *   LiveCheckBeat(&flag);         each time its work loop comes round, at
 *                                 least twice per HeartbeatSeconds (every
 *                                 second or few does), from the thread whose
 *                                 progress shows that the service works
 *   LiveCheckUnhealthy(&flag);    while it cannot
 *   LiveCheckClose(&flag);        when it stops
 *
 * Call it from the monitored service itself. A program in a user's session
 * would create the name in that session's namespace, which the watchdog (a
 * service, in session 0) never sees.
 *
 * C or C++; copy this file and LiveCheckNames.h, link advapi32. The calls
 * are not thread-safe on one LiveCheckPublisher: keep it to one thread or
 * under the caller's lock. */
#ifndef LIVECHECK_PUBLISHER_H
#define LIVECHECK_PUBLISHER_H

#include <windows.h>

#include "LiveCheckNames.h"

/* The last error of LiveCheckOpen when the name is someone else's. Bit 29
 * marks an application's own code: no system call reports it. */
#define LIVECHECK_ERROR_NAME_TAKEN 0x2000B001UL

/* A watchdog's check holds the section for well under a millisecond; a
 * section whose owner has just closed it can still be found under the name
 * for that long. LiveCheckOpen tries this often, this far apart (about a
 * tenth of a second in all), before it calls the name taken. */
#define LIVECHECK_OPEN_TRIES 10
#define LIVECHECK_OPEN_RETRY_MS 10

#define LIVECHECK_CALL static __inline

/* The flag is written as one 16-bit store: the text must be one character. */
typedef char LiveCheckAliveTextIsOneCharacter_[sizeof(LIVECHECK_ALIVE_TEXT) == 2 ? 1 : -1];
typedef char LiveCheckUnhealthyTextIsOneCharacter_[sizeof(LIVECHECK_UNHEALTHY_TEXT) == 2 ? 1 : -1];

/* An open section: both null when closed. */
typedef struct LiveCheckPublisher {
    HANDLE mapping;
    void* view;
} LiveCheckPublisher;

/* Internal: the section's descriptor and the buffers it points into. */
typedef struct LiveCheckSecurity_ {
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    DWORD system[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    DWORD user[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
    DWORD acl[(sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)) /
              sizeof(DWORD)];
} LiveCheckSecurity_;

/* Internal: a descriptor whose DACL grants full access to the section to
 * local system and to the account of the process's token, and nothing to
 * anyone else. Returns FALSE with the failing call's last error. */
LIVECHECK_CALL BOOL LiveCheckSecurityInit_(LiveCheckSecurity_* security) {
    ACL* acl = (ACL*)security->acl;
    DWORD size = sizeof security->system;
    HANDLE token;
    PSID user;
    BOOL read;
    DWORD error;

    if (!CreateWellKnownSid(WinLocalSystemSid, NULL, security->system, &size) ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    read = GetTokenInformation(token, TokenUser, security->user, sizeof security->user, &size);
    error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    if (!read)
        return FALSE;
    user = ((TOKEN_USER*)security->user)->User.Sid;
    /* A service running as local system gets one entry, not the same twice. */
    if (!InitializeAcl(acl, sizeof security->acl, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, SECTION_ALL_ACCESS, security->system) ||
        (!EqualSid(user, security->system) &&
         !AddAccessAllowedAce(acl, ACL_REVISION, SECTION_ALL_ACCESS, user)) ||
        !InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE))
        return FALSE;
    security->attributes.nLength = sizeof security->attributes;
    security->attributes.lpSecurityDescriptor = &security->descriptor;
    security->attributes.bInheritHandle = FALSE;
    return TRUE;
}

/* Creates the section LIVECHECK_SECTION_NAME, one page of zeros, readable
 * and writable by local system and by this process's account only, and
 * maps it. Call it once, before LiveCheckAlive.
 *
 * Returns TRUE with `publisher` holding the section. Returns FALSE with
 * `publisher` holding nothing (LiveCheckClose is then harmless) and:
 *  - last error LIVECHECK_ERROR_NAME_TAKEN when the name still exists after
 *    LIVECHECK_OPEN_TRIES tries: another process created it first (or holds
 *    a section of another kind, or one this account may not open). Nothing
 *    was written into it. The watchdog trusts whatever that process keeps
 *    there: log it and raise an alarm.
 *  - otherwise the last error of the system call that failed. */
LIVECHECK_CALL BOOL LiveCheckOpen(LiveCheckPublisher* publisher) {
    LiveCheckSecurity_ security;
    SYSTEM_INFO system;
    HANDLE mapping;
    DWORD error;
    int tries;

    publisher->mapping = NULL;
    publisher->view = NULL;
    if (!LiveCheckSecurityInit_(&security))
        return FALSE;
    GetSystemInfo(&system);
    for (tries = 1;; ++tries) {
        SetLastError(ERROR_SUCCESS);
        mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &security.attributes, PAGE_READWRITE, 0,
                                     system.dwPageSize, LIVECHECK_SECTION_NAME);
        error = GetLastError();
        if (mapping != NULL && error != ERROR_ALREADY_EXISTS)
            break;
        /* An existing section is opened rather than created: let it go
         * unmapped. Access denied means it exists under a descriptor that
         * shuts this account out; an invalid handle, that the name belongs
         * to an object of another kind. */
        if (mapping != NULL)
            CloseHandle(mapping);
        else if (error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_HANDLE)
            return FALSE;
        if (tries == LIVECHECK_OPEN_TRIES) {
            SetLastError(LIVECHECK_ERROR_NAME_TAKEN);
            return FALSE;
        }
        Sleep(LIVECHECK_OPEN_RETRY_MS);
    }
    publisher->view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    if (publisher->view == NULL) {
        error = GetLastError();
        CloseHandle(mapping);
        SetLastError(error);
        return FALSE;
    }
    publisher->mapping = mapping;
    return TRUE;
}

/* Internal: writes the one-character `text` and its zero as one aligned
 * 16-bit store (Windows is little-endian), so that a check never reads the
 * character without its zero. */
LIVECHECK_CALL BOOL LiveCheckWrite_(LiveCheckPublisher* publisher, const char* text) {
    if (publisher->view == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *(volatile WORD*)publisher->view = (WORD)((BYTE)text[0] | ((BYTE)text[1] << 8));
    return TRUE;
}

/* Publishes "1" and its zero: the watchdog leaves the service alone.
 * Returns TRUE; FALSE with last error ERROR_INVALID_HANDLE when the
 * section is not open. */
LIVECHECK_CALL BOOL LiveCheckAlive(LiveCheckPublisher* publisher) {
    return LiveCheckWrite_(publisher, LIVECHECK_ALIVE_TEXT);
}

/* Publishes "0" and its zero: the watchdog looks at the service every
 * second, and starts it whenever it is not running. Returns as
 * LiveCheckAlive does. */
LIVECHECK_CALL BOOL LiveCheckUnhealthy(LiveCheckPublisher* publisher) {
    return LiveCheckWrite_(publisher, LIVECHECK_UNHEALTHY_TEXT);
}

/* Moves the heartbeat on by one (the counter at LIVECHECK_HEARTBEAT_OFFSET,
 * incremented atomically). Where the administrator set HeartbeatSeconds, a
 * flag of "1" whose heartbeat stands still for that long makes the watchdog
 * restart the service; elsewhere the heartbeat is not read. Returns TRUE;
 * FALSE with last error ERROR_INVALID_HANDLE when the section is not open.
 * It may come from another thread than the other calls, as long as
 * LiveCheckClose does not run meanwhile. */
LIVECHECK_CALL BOOL LiveCheckBeat(LiveCheckPublisher* publisher) {
    if (publisher->view == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    InterlockedIncrement((volatile LONG*)((BYTE*)publisher->view + LIVECHECK_HEARTBEAT_OFFSET));
    return TRUE;
}

/* Unmaps and closes the section; it goes away with the last handle to it
 * (a watchdog's check may hold one for a moment). `publisher` then holds
 * nothing; closing it again does nothing. Keeps the last error as it was. */
LIVECHECK_CALL void LiveCheckClose(LiveCheckPublisher* publisher) {
    DWORD error = GetLastError();
    if (publisher->view != NULL)
        UnmapViewOfFile(publisher->view);
    if (publisher->mapping != NULL)
        CloseHandle(publisher->mapping);
    publisher->view = NULL;
    publisher->mapping = NULL;
    SetLastError(error);
}

#endif
