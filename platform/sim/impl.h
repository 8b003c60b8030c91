// The simulated implementation of each operation, behind the recording and
// fault hooks that core.cpp wraps around it.
#pragma once

#include "platform/sim/state.h"

namespace nimbrel::sim {

#define NIMBREL_SIM_DECLARE(ret, name, params, ...) ret Sim_##name params;
NIMBREL_PLATFORM_OPS(NIMBREL_SIM_DECLARE, NIMBREL_SIM_DECLARE)
#undef NIMBREL_SIM_DECLARE

// What GetPrivateProfileStringW gives when it cannot read the file.
DWORD ProfileStringDefault(LPCWSTR defaultValue, LPWSTR buffer, DWORD size);

// Writes to a simulated file opened for writing.
bool WriteSimFile(HANDLE handle, LPCVOID bytes, DWORD length, LPDWORD written);

// What a registry call returns when it fails: the error itself, with the
// key it would have opened (if any) set to null.
LONG RegistryFailure(HKEY* result);

// What NotifyServiceStatusChangeW returns when it fails: the error itself.
DWORD NotifyFailure();

} // namespace nimbrel::sim
