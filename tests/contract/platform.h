// What differs between the two builds of the suite: how the suite's test
// service comes to run, and the few things only the simulation can do.
//
// Under Wine the test service is a process of its own: the service manager
// starts this executable with the service option, and every hook below
// except the native-only ones does nothing. Against winsim there is one
// process: the hooks make the simulated service manager treat the service as
// run by this process, and play the service process on a thread of its own.
// The tests call the hooks at the points where the two worlds differ and are
// otherwise the same source.
#pragma once

#include <windows.h>

#include <string>

namespace contract {

// True in the build that runs under Wine, false against winsim.
bool UnderWine();

// Called once the test has created the service `name` with CreateServiceA.
// Natively, makes the simulation hand the service to this process.
void ServiceCreated(const std::string& name);

// Called after StartServiceA accepted a start of the service `name`.
// Natively, starts the service's "process" (a thread that runs the test
// service's dispatcher) and returns once the service has made its first
// status report, which is when StartServiceA returns under Wine.
void ServiceStarted(const std::string& name);

// Called after the service `name` reported stopped. Natively, waits (at most
// `timeoutMs` of real time) until its process has ended and releases it.
// Returns false when the process still runs.
bool ServiceEnded(const std::string& name, DWORD timeoutMs);

// Native only: ends the service's process at once, without a report, as a
// kill would.
void KillServiceProcess(const std::string& name);

// Native only: sends the shutdown notification to the service as the
// system does when it shuts down (ControlService cannot send it). Returns 0
// when its handler ran, or the error that refused it.
DWORD SendShutdown(const std::string& name);

// Native only: makes opening or creating the key `path` below
// HKEY_CURRENT_USER, and any key below it, fail with access denied.
void SetRegistryAccessDenied(const std::string& path, bool denied);

} // namespace contract
