#include "SettingRules.h"

#include "TextOut.h"

const CSettingRule kUnhealthySecondsRule = {"UnhealthySeconds", 5, 86400, true, 0};
const CSettingRule kHeartbeatSecondsRule = {"HeartbeatSeconds", 5, 86400, true, 0};
const CSettingRule kStopSecondsRule = {"StopSeconds", 1, 600, false, 30};

namespace {

// The registry's value types, as regedit and reg.exe name them.
const uint32_t kRegDword = 4;
const char* const kTypeNames[] = {"REG_NONE",
                                  "REG_SZ",
                                  "REG_EXPAND_SZ",
                                  "REG_BINARY",
                                  "REG_DWORD",
                                  "REG_DWORD_BIG_ENDIAN",
                                  "REG_LINK",
                                  "REG_MULTI_SZ",
                                  "REG_RESOURCE_LIST",
                                  "REG_FULL_RESOURCE_DESCRIPTOR",
                                  "REG_RESOURCE_REQUIREMENTS_LIST",
                                  "REG_QWORD"};

void AddType(CTextOut& text, uint32_t type) {
    if (type < sizeof kTypeNames / sizeof kTypeNames[0])
        text.Add("%s", kTypeNames[type]);
    else
        text.Add("type %lu", static_cast<unsigned long>(type));
}

// "0 (off)" or the number.
void AddSeconds(CTextOut& text, const CSettingRule& rule, uint32_t seconds) {
    text.Add("%lu%s", static_cast<unsigned long>(seconds),
             seconds == 0 && rule.zeroIsOff ? " (off)" : "");
}

} // namespace

ESettingVerdict CheckSetting(const CSettingRule& rule, const CSettingRead& read, uint32_t& used) {
    used = rule.fallback;
    if (read.state == CSettingRead::Absent)
        return SettingAbsent;
    if (read.state == CSettingRead::Unreadable)
        return SettingUnreadable;
    if (read.type != kRegDword)
        return SettingWrongType;
    if (read.size != 4)
        return SettingWrongSize;
    bool off = read.value == 0 && rule.zeroIsOff;
    if (!off && (read.value < rule.min || read.value > rule.max))
        return SettingOutOfRange;
    used = read.value;
    return SettingTaken;
}

size_t FormatSettingWarning(char* out, size_t size, const char* key, const CSettingRule& rule,
                            ESettingVerdict verdict, const CSettingRead& read) {
    CTextOut text(out, size);
    text.Add("The value %s under %s ", rule.name, key);
    switch (verdict) {
    case SettingWrongType:
        text.Add("is of type ");
        AddType(text, read.type);
        text.Add(", not REG_DWORD");
        break;
    case SettingWrongSize:
        text.Add("is a REG_DWORD of %lu bytes, not 4", static_cast<unsigned long>(read.size));
        break;
    case SettingOutOfRange:
        text.Add("is %lu, outside what it accepts (%s%lu to %lu)",
                 static_cast<unsigned long>(read.value), rule.zeroIsOff ? "0, or " : "",
                 static_cast<unsigned long>(rule.min), static_cast<unsigned long>(rule.max));
        break;
    case SettingUnreadable:
    default:
        text.Add("could not be read (error %lu)", static_cast<unsigned long>(read.error));
        break;
    }
    text.Add(": the watchdog uses ");
    AddSeconds(text, rule, rule.fallback);
    text.Add(" instead.");
    return text.Length();
}

size_t FormatKeyWarning(char* out, size_t size, const char* key, uint32_t error) {
    CTextOut text(out, size);
    text.Add("The key %s could not be read (error %lu): the watchdog uses the defaults, ", key,
             static_cast<unsigned long>(error));
    const CSettingRule* rules[] = {&kUnhealthySecondsRule, &kHeartbeatSecondsRule,
                                   &kStopSecondsRule};
    for (size_t i = 0; i < 3; ++i) {
        text.Add("%s%s ", i == 0 ? "" : i == 2 ? " and " : ", ", rules[i]->name);
        AddSeconds(text, *rules[i], rules[i]->fallback);
    }
    text.Add(".");
    return text.Length();
}
