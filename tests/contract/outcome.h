// A call's outcome as the suite checks it: what the call returned and the
// last error it left, the last error having been poisoned just before it.
// So one comparison tells a wrong result, a wrong error, an error set where
// none should be, and one left alone where the call should have set it.
//
//   EXPECT_EQ(Outcome<BOOL>(FALSE, ERROR_SERVICE_NOT_ACTIVE),
//             POISONED(ControlService(service, SERVICE_CONTROL_STOP, &status)));
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>

namespace contract {

// Set as the last error before each call, so a check can tell whether the
// call set it.
constexpr DWORD kPoison = 0xDEADBEEF;

template <typename T> struct SOutcome {
    T result;
    DWORD lastError;
};

template <typename T> SOutcome<T> Outcome(T result, DWORD lastError) {
    return SOutcome<T>{result, lastError};
}

template <typename T> bool operator==(const SOutcome<T>& a, const SOutcome<T>& b) {
    return a.result == b.result && a.lastError == b.lastError;
}

template <typename T> void PrintTo(const SOutcome<T>& outcome, std::ostream* out) {
    *out << "returns " << ::testing::PrintToString(outcome.result) << ", last error ";
    if (outcome.lastError == kPoison) {
        *out << "untouched";
    } else {
        *out << outcome.lastError;
    }
}

// Poisons the last error, makes the call and captures its outcome.
template <typename Call> auto Poisoned(Call call) -> SOutcome<decltype(call())> {
    SetLastError(kPoison);
    auto result = call();
    DWORD lastError = GetLastError();
    return SOutcome<decltype(call())>{result, lastError};
}

#define POISONED(expression) ::contract::Poisoned([&] { return (expression); })

} // namespace contract
