// The registry: case-insensitive keys holding typed values as exact bytes.
// Its functions return their error code and leave the last error alone.
#include "core.h"

#include <algorithm>
#include <cctype>
#include <cstring>

using namespace winsim::detail;

namespace {

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

struct KeyNode {
    std::string name;
    std::map<std::string, std::shared_ptr<KeyNode>> subkeys; // by lower-case name
    std::map<std::string, Value> values;                     // by lower-case name
    bool denied = false;
    bool deleted = false;
};

struct KeyObject : Object {
    std::shared_ptr<KeyNode> node;
};

struct Registry {
    std::shared_ptr<KeyNode> machine = std::make_shared<KeyNode>();
    std::shared_ptr<KeyNode> user = std::make_shared<KeyNode>();
};

Registry& registry() {
    static Registry r;
    return r;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<std::string> split(const std::string& path) {
    if (!path.empty() && path[0] == '\\') {
        winsim::unsupported("registry path with a leading backslash: " + path);
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string part = path.substr(start, end - start);
        if (part.empty() && end < path.size()) {
            winsim::unsupported("registry path with an empty component: " + path);
        }
        if (!part.empty()) {
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

// The machine as a fresh installation has it: the Application log without
// a "Sources" list, the System log with an empty one.
void resetRegistry() {
    registry() = Registry{};
    auto create = [](const std::string& path) {
        std::shared_ptr<KeyNode> node = registry().machine;
        for (const std::string& part : split(path)) {
            auto& child = node->subkeys[lower(part)];
            if (!child) {
                child = std::make_shared<KeyNode>();
                child->name = part;
            }
            node = child;
        }
        return node;
    };
    create("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application");
    auto system = create("SYSTEM\\CurrentControlSet\\Services\\EventLog\\System");
    system->values["sources"] = Value{"Sources", REG_MULTI_SZ, {0}};
    create("Software\\Microsoft\\Windows\\CurrentVersion");
}

[[maybe_unused]] const bool registered = [] {
    registerReset(resetRegistry);
    resetRegistry();
    return true;
}();

std::shared_ptr<KeyNode> root(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) {
        return registry().machine;
    }
    if (key == HKEY_CURRENT_USER) {
        return registry().user;
    }
    return nullptr;
}

bool predefined(HKEY key) {
    auto value = reinterpret_cast<std::uintptr_t>(key);
    return value >= 0x80000000u && value <= 0x80000006u;
}

// The node an open or predefined key stands for, or the error code.
std::shared_ptr<KeyNode> base(Call& call, HKEY key, LONG& error) {
    if (predefined(key)) {
        auto node = root(key);
        if (!node) {
            winsim::unsupported("registry roots other than HKLM and HKCU");
        }
        return node;
    }
    DWORD lastError = GetLastError();
    auto object = call.object<KeyObject>(key, {winsim::Kind::Key});
    SetLastError(lastError); // registry functions report through their result alone
    if (!object) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (object->node->deleted) {
        error = ERROR_KEY_DELETED;
        return nullptr;
    }
    return object->node;
}

HKEY openHandle(const std::shared_ptr<KeyNode>& node) {
    auto object = std::make_shared<KeyObject>();
    object->node = node;
    return reinterpret_cast<HKEY>(addHandle(winsim::Kind::Key, object));
}

// Walks the path below a node; creates missing keys when asked.
LONG walk(std::shared_ptr<KeyNode> node, const char* subKey, bool create,
          std::shared_ptr<KeyNode>& result) {
    for (const std::string& part : split(subKey != nullptr ? subKey : "")) {
        auto it = node->subkeys.find(lower(part));
        if (it == node->subkeys.end()) {
            if (!create) {
                return ERROR_FILE_NOT_FOUND;
            }
            if (node->denied) {
                return ERROR_ACCESS_DENIED;
            }
            auto child = std::make_shared<KeyNode>();
            child->name = part;
            it = node->subkeys.emplace(lower(part), child).first;
        }
        node = it->second;
        if (node->denied) {
            return ERROR_ACCESS_DENIED;
        }
    }
    result = node;
    return ERROR_SUCCESS;
}

std::shared_ptr<KeyNode> findPath(const std::string& path, bool create) {
    std::shared_ptr<KeyNode> node = registry().machine;
    std::string rest = path;
    if (lower(path.substr(0, 5)) == "hkcu\\") {
        node = registry().user;
        rest = path.substr(5);
    }
    for (const std::string& part : split(rest)) {
        auto it = node->subkeys.find(lower(part));
        if (it == node->subkeys.end()) {
            if (!create) {
                return nullptr;
            }
            auto child = std::make_shared<KeyNode>();
            child->name = part;
            it = node->subkeys.emplace(lower(part), child).first;
        }
        node = it->second;
    }
    return node;
}

std::shared_ptr<KeyNode> requirePath(const std::string& path) {
    auto node = findPath(path, false);
    if (!node) {
        winsim::unsupported("no registry key " + path);
    }
    return node;
}

} // namespace

namespace winsim {

void regCreateKey(const std::string& path) {
    std::lock_guard<std::mutex> lock(world().mutex);
    findPath(path, true);
}

bool regKeyExists(const std::string& path) {
    std::lock_guard<std::mutex> lock(world().mutex);
    return findPath(path, false) != nullptr;
}

void regSetValue(const std::string& path, const std::string& name, DWORD type,
                 const std::vector<BYTE>& bytes) {
    std::lock_guard<std::mutex> lock(world().mutex);
    findPath(path, true)->values[lower(name)] = Value{name, type, bytes};
}

std::optional<RegValue> regValue(const std::string& path, const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    auto node = findPath(path, false);
    if (!node) {
        return std::nullopt;
    }
    auto it = node->values.find(lower(name));
    if (it == node->values.end()) {
        return std::nullopt;
    }
    return RegValue{it->second.type, it->second.bytes};
}

void regDeleteValue(const std::string& path, const std::string& name) {
    std::lock_guard<std::mutex> lock(world().mutex);
    requirePath(path)->values.erase(lower(name));
}

void regDenyAccess(const std::string& path, bool denied) {
    std::lock_guard<std::mutex> lock(world().mutex);
    requirePath(path)->denied = denied;
}

std::vector<BYTE> multiSz(const std::vector<std::string>& entries) {
    std::vector<BYTE> bytes;
    for (const std::string& entry : entries) {
        bytes.insert(bytes.end(), entry.begin(), entry.end());
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

} // namespace winsim

extern "C" {

LONG WINAPI RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    Call call("RegCreateKeyA");
    if (subKey == nullptr || *subKey == '\0') {
        winsim::unsupported("RegCreateKeyA without a subkey (it returns the key it was given)");
    }
    if (call.failed()) {
        return static_cast<LONG>(call.error());
    }
    LONG error = ERROR_SUCCESS;
    auto node = base(call, key, error);
    if (!node) {
        return error;
    }
    std::shared_ptr<KeyNode> target;
    if ((error = walk(node, subKey, true, target)) != ERROR_SUCCESS) {
        return error;
    }
    *result = openHandle(target);
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    Call call("RegOpenKeyExA");
    (void)access;
    if (options != 0) {
        winsim::unsupported("RegOpenKeyExA: options");
    }
    if (call.failed()) {
        return static_cast<LONG>(call.error());
    }
    LONG error = ERROR_SUCCESS;
    auto node = base(call, key, error);
    if (!node) {
        return error;
    }
    std::shared_ptr<KeyNode> target;
    if ((error = walk(node, subKey, false, target)) != ERROR_SUCCESS) {
        return error;
    }
    *result = openHandle(target);
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD size) {
    Call call("RegQueryValueExA");
    if (reserved != nullptr || (data != nullptr && size == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (call.failed()) {
        return static_cast<LONG>(call.error());
    }
    LONG error = ERROR_SUCCESS;
    auto node = base(call, key, error);
    if (!node) {
        return error;
    }
    auto it = node->values.find(lower(valueName != nullptr ? valueName : ""));
    if (it == node->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const Value& value = it->second;
    DWORD stored = static_cast<DWORD>(value.bytes.size());
    if (type != nullptr) {
        *type = value.type;
    }
    if (size == nullptr) {
        return ERROR_SUCCESS;
    }
    if (data == nullptr) {
        *size = stored;
        return ERROR_SUCCESS;
    }
    if (*size < stored) {
        *size = stored;
        return ERROR_MORE_DATA;
    }
    if (stored != 0) {
        std::memcpy(data, value.bytes.data(), stored);
    }
    // A text stored without its terminator gets one in the caller's buffer
    // when there is room, outside the size returned.
    bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    if (text && stored > 0 && stored < *size && data[stored - 1] != 0) {
        data[stored] = 0;
    }
    *size = stored;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD size) {
    Call call("RegSetValueExA");
    if (reserved != 0 || (data == nullptr && size != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (call.failed()) {
        return static_cast<LONG>(call.error());
    }
    LONG error = ERROR_SUCCESS;
    auto node = base(call, key, error);
    if (!node) {
        return error;
    }
    // A text whose last counted byte is not its terminator, but whose next
    // byte is, gets that terminator stored too: the system reads one byte
    // past the count to find it.
    bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    if (text && size > 0 && data[size - 1] != 0 && data[size] == 0) {
        ++size;
    }
    std::string name = valueName != nullptr ? valueName : "";
    node->values[lower(name)] = Value{name, type, std::vector<BYTE>(data, data + size)};
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    Call call("RegDeleteKeyA");
    if (subKey == nullptr || *subKey == '\0') {
        winsim::unsupported("RegDeleteKeyA without a subkey");
    }
    if (call.failed()) {
        return static_cast<LONG>(call.error());
    }
    LONG error = ERROR_SUCCESS;
    auto node = base(call, key, error);
    if (!node) {
        return error;
    }
    std::vector<std::string> parts = split(subKey);
    std::string last = parts.back();
    parts.pop_back();
    std::shared_ptr<KeyNode> parent = node;
    for (const std::string& part : parts) {
        auto it = parent->subkeys.find(lower(part));
        if (it == parent->subkeys.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        parent = it->second;
        if (parent->denied) {
            return ERROR_ACCESS_DENIED;
        }
    }
    auto it = parent->subkeys.find(lower(last));
    if (it == parent->subkeys.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (it->second->denied || !it->second->subkeys.empty()) {
        return ERROR_ACCESS_DENIED;
    }
    it->second->deleted = true;
    parent->subkeys.erase(it);
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    Call call("RegDeleteValueA");
    if (call.failed()) {
        return static_cast<LONG>(call.error());
    }
    LONG error = ERROR_SUCCESS;
    auto node = base(call, key, error);
    if (!node) {
        return error;
    }
    auto erased = node->values.erase(lower(valueName != nullptr ? valueName : ""));
    return erased == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
    Call call("RegCloseKey");
    if (predefined(key)) {
        return ERROR_SUCCESS;
    }
    if (call.failed()) {
        return static_cast<LONG>(call.error());
    }
    DWORD lastError = GetLastError();
    bool closed = call.close(key, {winsim::Kind::Key});
    SetLastError(lastError);
    return closed ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

} // extern "C"
