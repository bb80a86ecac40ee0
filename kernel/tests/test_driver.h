// A small driver for the layer's own tests: one named device whose requests go to a handler
// the test sets.
#pragma once

#include <ks/system.h>

#include <functional>

namespace kstest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDriver {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

// Loads a driver named `service` with a device `deviceName` (\Device\...). Every request goes
// to *handler; without one it completes with success.
TestDriver LoadTestDriver(std::u16string_view service, std::u16string_view deviceName,
                          Handler* handler, ULONG deviceFlags = 0, BOOLEAN exclusive = FALSE);
// Deletes the device and unloads; answers the unload report.
std::string UnloadTestDriver(TestDriver& test);

// Completes irp with status and information.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

} // namespace kstest
