// Registering the service's name as a source of the Application event log:
// a key of its own naming the message file and event types, and an entry in
// the Application key's "Sources" list.
#include "NTService.h"

#include "SourceList.h"

#include <string.h>

namespace {

const char kApplicationKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
const char kSourcesValue[] = "Sources";

// Forms the source key's path, the Application key followed by the service
// name, in `path`. Returns false when it does not fit: the service name may
// have at most 200 characters.
bool FormSourceKeyPath(char (&path)[256], LPCSTR serviceName) {
    size_t prefix = sizeof(kApplicationKey) - 1;
    size_t name = strlen(serviceName);
    if (prefix + name >= sizeof(path))
        return false;
    memcpy(path, kApplicationKey, prefix);
    memcpy(path + prefix, serviceName, name + 1);
    return true;
}

// Adds `name` to the "Sources" list of the open Application key, in the
// list's own type. A missing or unreadable list is left alone, and so is a
// list that holds the name already.
void AddToSources(HKEY application, LPCSTR name) {
    DWORD stored = 0;
    if (RegQueryValueExA(application, kSourcesValue, NULL, NULL, NULL, &stored) != ERROR_SUCCESS)
        return;
    DWORD nameLength = static_cast<DWORD>(strlen(name));
    if (stored > 0x7FFFFFFFu)
        return;
    DWORD capacity = AddSourceCapacity(stored, nameLength);
    CGlobalMemory block(GlobalAlloc(GMEM_ZEROINIT, capacity));
    if (!block)
        return;
    BYTE* bytes = static_cast<BYTE*>(block.get());
    DWORD type = REG_NONE;
    DWORD read = stored;
    // A list that has grown since its size was asked for gives ERROR_MORE_DATA
    // here and is left as it is.
    if (RegQueryValueExA(application, kSourcesValue, NULL, &type, bytes, &read) != ERROR_SUCCESS)
        return;
    DWORD size = AddSourceToList(bytes, capacity, read, name);
    if (size == 0)
        return;
    RegSetValueExA(application, kSourcesValue, 0, type, bytes, size);
}

// Removes every entry `name` from the "Sources" list of the open Application
// key; writes only when an entry was removed.
void RemoveFromSources(HKEY application, LPCSTR name) {
    DWORD stored = 0;
    if (RegQueryValueExA(application, kSourcesValue, NULL, NULL, NULL, &stored) != ERROR_SUCCESS)
        return;
    if (stored == 0 || stored > 0x7FFFFFFFu)
        return;
    CGlobalMemory oldBlock(GlobalAlloc(GMEM_ZEROINIT, stored));
    if (!oldBlock)
        return;
    DWORD capacity = RemoveSourceCapacity(stored);
    CGlobalMemory newBlock(GlobalAlloc(GMEM_ZEROINIT, capacity));
    if (!newBlock)
        return;
    BYTE* oldList = static_cast<BYTE*>(oldBlock.get());
    DWORD type = REG_NONE;
    DWORD read = stored;
    if (RegQueryValueExA(application, kSourcesValue, NULL, &type, oldList, &read) != ERROR_SUCCESS)
        return;
    if (read == 0 || oldList[0] == 0)
        return;
    BYTE* newList = static_cast<BYTE*>(newBlock.get());
    BOOL found = FALSE;
    DWORD size = RemoveSourceFromList(oldList, read, newList, capacity, name, &found);
    if (found)
        RegSetValueExA(application, kSourcesValue, 0, type, newList, size);
}

} // namespace

LONG CNTService::AddEventSource(LPCSTR messageFile, DWORD typesSupported) {
    char path[256];
    if (!FormSourceKeyPath(path, m_serviceName))
        return ERROR_INVALID_NAME;

    HKEY sourceKey = NULL;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &sourceKey) == ERROR_SUCCESS) {
        CRegKey source(sourceKey);
        RegSetValueExA(sourceKey, "EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(messageFile),
                       static_cast<DWORD>(strlen(messageFile) + 1));
        RegSetValueExA(sourceKey, "TypesSupported", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&typesSupported), sizeof(typesSupported));
    }

    HKEY applicationKey = NULL;
    LONG result =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApplicationKey, 0, KEY_ALL_ACCESS, &applicationKey);
    if (result != ERROR_SUCCESS)
        return result;
    CRegKey application(applicationKey);
    AddToSources(applicationKey, m_serviceName);
    return application.close();
}

LONG CNTService::RemoveEventSource() {
    char path[256];
    if (!FormSourceKeyPath(path, m_serviceName))
        return ERROR_INVALID_NAME;

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);

    HKEY applicationKey = NULL;
    LONG result =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApplicationKey, 0, KEY_ALL_ACCESS, &applicationKey);
    if (result != ERROR_SUCCESS)
        return result;
    CRegKey application(applicationKey);
    RemoveFromSources(applicationKey, m_serviceName);
    return application.close();
}
