// Installing and removing the service: with the Service Control Manager on
// Windows NT, with a "RunServices" value on Windows 9x.
#include "NTService.h"

#include <stdio.h>
#include <string.h>

namespace {

const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

// Event types the executable reports: error, warning and information.
const DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

} // namespace

BOOL CNTService::Install() {
    OpenConsole();

    char errorText[256];
    char filePath[1024];
    DWORD length = GetModuleFileNameA(NULL, filePath, sizeof(filePath) - 1);
    if (length == 0) {
        printf("Unable to install %s - %s\n", m_displayName,
               FormatLastError(errorText, sizeof(errorText)));
        return 0;
    }
    // A path that filled the whole size offered was cut: installing it would
    // register a file that does not exist.
    if (length >= sizeof(filePath) - 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        printf("Unable to install %s - %s\n", m_displayName,
               FormatLastError(errorText, sizeof(errorText)));
        return 0;
    }
    filePath[length] = '\0';

    if (!m_isNt) {
        HKEY key = NULL;
        if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kRunServicesKey, &key) != ERROR_SUCCESS)
            return 0;
        CRegKey runServices(key);
        RegSetValueExA(key, m_serviceName, 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(filePath), length + 1);
        return 1;
    }

    CServiceHandle manager(OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        printf("OpenSCManager failed - %s\n", FormatLastError(errorText, sizeof(errorText)));
        return 0;
    }

    // Only drivers loaded at boot or system start get a tag within their group.
    LPDWORD tagId = NULL;
    if ((m_serviceType == SERVICE_KERNEL_DRIVER || m_serviceType == SERVICE_FILE_SYSTEM_DRIVER) &&
        (m_startType == SERVICE_BOOT_START || m_startType == SERVICE_SYSTEM_START))
        tagId = &m_tagId;

    // The service manager runs the image path as a command line: unquoted, a
    // path with spaces such as "C:\Program Files\..." would let
    // "C:\Program.exe" run in the service's place. The message file and the
    // "RunServices" value stay plain paths.
    char imagePath[sizeof(filePath) + 2];
    snprintf(imagePath, sizeof(imagePath), "\"%s\"", filePath);

    BOOL result = 0;
    {
        CServiceHandle service(CreateServiceA(manager.get(), m_serviceName, m_displayName,
                                              m_desiredAccess, m_serviceType, m_startType,
                                              m_errorControl, imagePath, m_loadOrderGroup, tagId,
                                              m_dependencies, m_accountName, m_password));
        if (service) {
            printf("%s installed.\n", m_displayName);
            result = 1;
        } else {
            printf("CreateService failed - %s\n", FormatLastError(errorText, sizeof(errorText)));
        }
    }
    manager.reset();

    if (result) {
        // The source is registered before the first record is written under it.
        AddEventSource(filePath, kTypesSupported);
        LogEvent("Service installed", EVENTLOG_INFORMATION_TYPE, kDefaultEventId);
    }
    return result;
}

BOOL CNTService::Uninstall() {
    OpenConsole();

    if (!m_isNt) {
        HKEY key = NULL;
        if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kRunServicesKey, &key) != ERROR_SUCCESS)
            return 0;
        CRegKey runServices(key);
        // A value that was not there counts as removed.
        RegDeleteValueA(key, m_serviceName);
        return 1;
    }

    BOOL result = 0;
    {
        CServiceHandle manager;
        CServiceHandle service;
        if (!OpenInstalledService(manager, service))
            return 0;
        // Whether it stopped or not, the service is deleted; the manager
        // removes it once it has stopped and every handle is closed.
        StopAndWait(service.get());
        if (DeleteService(service.get())) {
            printf("%s removed.\n", m_displayName);
            result = 1;
        } else {
            char errorText[256];
            printf("DeleteService failed - %s\n", FormatLastError(errorText, sizeof(errorText)));
        }
    }

    if (result)
        RemoveEventSource();
    return result;
}
