// The administrator's hang-recovery settings: which values are taken as
// given, and the warning a value that is not taken gives. Kept apart from
// the registry calls that read them.
#pragma once

#include <stddef.h>
#include <stdint.h>

// One setting: a REG_DWORD of `name` under the Parameters key, taken when
// it is 0 (only where `zeroIsOff`) or within min..max, else `fallback`.
struct CSettingRule {
    const char* name;
    uint32_t min;
    uint32_t max;
    bool zeroIsOff;
    uint32_t fallback;
};

// The three settings, in seconds.
extern const CSettingRule kUnhealthySecondsRule;
extern const CSettingRule kHeartbeatSecondsRule;
extern const CSettingRule kStopSecondsRule;

// What was found under the value's name.
struct CSettingRead {
    enum EState {
        Absent,     // no such value: the fallback, without a warning
        Read,       // read: `type`, `size` and, for 4 bytes, `value`
        Unreadable, // the read failed with `error`
    } state;
    uint32_t type;
    uint32_t size;
    uint32_t value;
    uint32_t error;
};

// Why a value that was read is not taken; SettingTaken when it is.
enum ESettingVerdict {
    SettingTaken,
    SettingAbsent,
    SettingWrongType,
    SettingWrongSize,
    SettingOutOfRange,
    SettingUnreadable,
};

// The verdict on `read` by `rule`; the value to use goes to `used`.
ESettingVerdict CheckSetting(const CSettingRule& rule, const CSettingRead& read, uint32_t& used);

// The warning record of a value not taken (`verdict` is neither
// SettingTaken nor SettingAbsent), naming the value, under `key` (as the
// administrator would type it, HKLM\...), what was wrong and what is used
// instead, into `out` (`size` bytes, cut to fit, NUL-terminated when `size`
// is nonzero). Returns the length written.
size_t FormatSettingWarning(char* out, size_t size, const char* key, const CSettingRule& rule,
                            ESettingVerdict verdict, const CSettingRead& read);

// The warning record of a Parameters key that exists but cannot be read
// (the open failed with `error`): every setting takes its default. Returns
// the length written.
size_t FormatKeyWarning(char* out, size_t size, const char* key, uint32_t error);
