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

// The "Sources" list as read into a zero-filled working block.
struct CSourcesList {
    CGlobalMemory block;
    DWORD capacity; // bytes in the block
    DWORD size;     // bytes read
    DWORD type;     // the value's own type, written back unchanged
};

// Reads "Sources" of the open Application key into a new block that has
// room for the stored list and `spare` bytes more. Returns false, holding no
// block, when the list is absent, when there is nothing to hold, when no
// block can be had, or when the list cannot be read (also when it has grown
// since its size was asked for: ERROR_MORE_DATA).
bool ReadSources(HKEY application, DWORD spare, CSourcesList& list) {
    DWORD stored = 0;
    if (RegQueryValueExA(application, kSourcesValue, NULL, NULL, NULL, &stored) != ERROR_SUCCESS)
        return false;
    if (stored > 0x7FFFFFFFu || stored + spare == 0)
        return false;
    list.capacity = stored + spare;
    list.block.reset(GlobalAlloc(GMEM_ZEROINIT, list.capacity));
    if (!list.block)
        return false;
    list.type = REG_NONE;
    list.size = stored;
    if (RegQueryValueExA(application, kSourcesValue, NULL, &list.type,
                         static_cast<BYTE*>(list.block.get()), &list.size) != ERROR_SUCCESS) {
        list.block.reset();
        return false;
    }
    return true;
}

// Adds `name` to the "Sources" list of the open Application key, in the
// list's own type. A missing or unreadable list is left alone, and so is a
// list that holds the name already.
void AddToSources(HKEY application, LPCSTR name) {
    DWORD nameLength = static_cast<DWORD>(strlen(name));
    CSourcesList list;
    if (!ReadSources(application, AddSourceCapacity(0, nameLength), list))
        return;
    BYTE* bytes = static_cast<BYTE*>(list.block.get());
    DWORD size = AddSourceToList(bytes, list.capacity, list.size, name);
    if (size != 0)
        RegSetValueExA(application, kSourcesValue, 0, list.type, bytes, size);
}

// Removes every entry `name` from the "Sources" list of the open Application
// key; writes only when an entry was removed.
void RemoveFromSources(HKEY application, LPCSTR name) {
    CSourcesList list;
    if (!ReadSources(application, 0, list))
        return;
    const BYTE* oldList = static_cast<const BYTE*>(list.block.get());
    if (list.size == 0 || oldList[0] == 0)
        return;
    DWORD capacity = RemoveSourceCapacity(list.size);
    CGlobalMemory newBlock(GlobalAlloc(GMEM_ZEROINIT, capacity));
    if (!newBlock)
        return;
    BYTE* newList = static_cast<BYTE*>(newBlock.get());
    bool found = false;
    DWORD size = RemoveSourceFromList(oldList, list.size, newList, capacity, name, &found);
    if (found)
        RegSetValueExA(application, kSourcesValue, 0, list.type, newList, size);
}

// Opens the Application key with full access, lets `edit` change its
// "Sources" list for `name`, and closes the key. Returns the error of
// opening the key, or else the result of closing it.
LONG EditSources(void (*edit)(HKEY application, LPCSTR name), LPCSTR name) {
    HKEY applicationKey = NULL;
    LONG result =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApplicationKey, 0, KEY_ALL_ACCESS, &applicationKey);
    if (result != ERROR_SUCCESS)
        return result;
    CRegKey application(applicationKey);
    edit(applicationKey, name);
    return application.close();
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

    return EditSources(AddToSources, m_serviceName);
}

LONG CNTService::RemoveEventSource() {
    char path[256];
    if (!FormSourceKeyPath(path, m_serviceName))
        return ERROR_INVALID_NAME;

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);

    return EditSources(RemoveFromSources, m_serviceName);
}
