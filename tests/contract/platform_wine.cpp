// The suite under Wine: the service manager starts the test service as a
// process of its own, so the hooks have nothing to do. The native-only
// operations are never reached: their tests skip under Wine first.
#include "platform.h"

#include <gtest/gtest.h>

namespace contract {

bool UnderWine() {
    return true;
}

void ServiceCreated(const std::string&) {}

void ServiceStarted(const std::string&) {}

bool ServiceEnded(const std::string&, DWORD) {
    // The process ends by itself once its dispatcher has returned.
    return true;
}

void KillServiceProcess(const std::string& name) {
    ADD_FAILURE() << "KillServiceProcess(" << name << ") is not available under Wine";
}

DWORD SendShutdown(const std::string& name) {
    ADD_FAILURE() << "SendShutdown(" << name << ") is not available under Wine";
    return ERROR_NOT_SUPPORTED;
}

void SetRegistryAccessDenied(const std::string& path, bool) {
    ADD_FAILURE() << "SetRegistryAccessDenied(" << path << ") is not available under Wine";
}

} // namespace contract
