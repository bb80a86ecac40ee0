// Points inside the layer where a test can stop a thread or slow it down, for deterministic race
// tests: hold the first thread that enters, say, IofCallDriver for a given device, wait until it
// is held there, act from another thread, then let it go. Driver code never uses this (the
// driver's sources also build as a real .sys).
//
// Threads: any host thread creates, waits on and releases a Hold; the held thread stops in a
// host wait exactly where it reached the point, with whatever IRQL and locks it holds then. A
// Hold or Delay acts only while it exists; destroying a Hold releases its thread.
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>
#include <string>

namespace ks {

enum class HookPoint {
    CallDriver,       // IofCallDriver; object: the device the request is sent to
    CompleteRequest,  // IofCompleteRequest; object: the IRP
    CancelIrp,        // IoCancelIrp; object: the IRP
    FreeIrp,          // IoFreeIrp; object: the IRP
    AcquireFastMutex, // ExAcquireFastMutex, before it waits; object: the mutex
    ReleaseFastMutex, // ExReleaseFastMutex; object: the mutex
    Wait,             // KeWaitForSingleObject, before it waits; object: the dispatcher object
    Delay,            // KeDelayExecutionThread; object: none
    SetEvent,         // KeSetEvent; object: the event
    ReferenceObject,  // ObfReferenceObject; object: the object
    DereferenceObject // ObfDereferenceObject, before the reference goes; object: the object
};

// Which arrivals a hook takes. object and thread null: any. predicate (optional) sees the
// arriving thread's site and answers whether it matches; it runs under the hooks' lock and must
// not call into the layer.
struct HookSite {
    HookPoint point;
    const void* object;
    PKTHREAD thread;
};
struct HookMatch {
    HookPoint point;
    const void* object = nullptr;
    PKTHREAD thread = nullptr;
    std::function<bool(const HookSite&)> predicate;
    int skip = 0; // matching arrivals let through before the hook takes one
};

// Holds the first matching arrival (after `skip`) until Release or destruction; later arrivals
// pass.
class Hold {
public:
    explicit Hold(HookMatch match);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    // Waits up to timeoutMs until a thread is held; true when one is.
    bool WaitHeld(int timeoutMs = 10000);
    PKTHREAD Held() const; // the held thread, or null
    void Release();

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Every matching arrival sleeps `milliseconds` there (a host sleep, not a kernel wait), at most
// `count` times (negative: without limit), while the Delay exists.
class Delay {
public:
    Delay(HookMatch match, int milliseconds, int count = -1);
    ~Delay();
    Delay(const Delay&) = delete;
    Delay& operator=(const Delay&) = delete;
    int Taken() const; // arrivals delayed so far

    struct State;

private:
    std::shared_ptr<State> state_;
};

// A name for the calling thread in the layer's reports (deadlocks name both threads). System
// threads are named after their start routine; other threads "host thread N" by default.
void SetThreadName(const std::string& name);
std::string ThreadName(PKTHREAD thread);

} // namespace ks
