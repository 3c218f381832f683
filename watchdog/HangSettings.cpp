#include "HangSettings.h"

#include <stdio.h>

#include "Handles.h"
#include "SettingRules.h"

namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
const char kParametersKey[] = "\\Parameters";

// What the registry holds under `name`. Registry calls report through their
// result, never through the last error.
CSettingRead ReadValue(HKEY key, const char* name) {
    CSettingRead read = {CSettingRead::Read, 0, 0, 0, 0};
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG result = RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (result == ERROR_FILE_NOT_FOUND) {
        read.state = CSettingRead::Absent;
    } else if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
        // More data: larger than a DWORD, and `size` tells how large.
        read.type = type;
        read.size = size;
        read.value = value;
    } else {
        read.state = CSettingRead::Unreadable;
        read.error = static_cast<uint32_t>(result);
    }
    return read;
}

} // namespace

CHangSettings DefaultHangSettings() {
    CHangSettings settings = {kUnhealthySecondsRule.fallback, kHeartbeatSecondsRule.fallback,
                              kStopSecondsRule.fallback};
    return settings;
}

CHangSettings ReadHangSettings(LPCSTR serviceName, SettingWarning warn, LPVOID context) {
    CHangSettings settings = DefaultHangSettings();
    char path[512];
    snprintf(path, sizeof path, "%s%s%s", kServicesKey, serviceName, kParametersKey);
    char shown[520];
    snprintf(shown, sizeof shown, "HKLM\\%s", path);
    char text[600];

    CRegKey key;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.receive());
    if (opened == ERROR_FILE_NOT_FOUND)
        return settings;
    if (opened != ERROR_SUCCESS) {
        FormatKeyWarning(text, sizeof text, shown, static_cast<uint32_t>(opened));
        warn(text, context);
        return settings;
    }
    struct {
        const CSettingRule* rule;
        DWORD* field;
    } values[] = {{&kUnhealthySecondsRule, &settings.unhealthySeconds},
                  {&kHeartbeatSecondsRule, &settings.heartbeatSeconds},
                  {&kStopSecondsRule, &settings.stopSeconds}};
    for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i) {
        CSettingRead read = ReadValue(key.get(), values[i].rule->name);
        uint32_t used = 0;
        ESettingVerdict verdict = CheckSetting(*values[i].rule, read, used);
        *values[i].field = used;
        if (verdict != SettingTaken && verdict != SettingAbsent) {
            FormatSettingWarning(text, sizeof text, shown, *values[i].rule, verdict, read);
            warn(text, context);
        }
    }
    return settings;
}
