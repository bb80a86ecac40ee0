// Shared internals of the host kernel-services layer.
#pragma once

#include <wdm.h>

#include "ks/hooks.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>

namespace ks {

constexpr ULONG kStringPoolTag = 0x67727453; // "Strg"

// A verifier failure: prints the message and aborts.
[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The dispatcher lock guards every dispatcher object's state (events, mutexes, threads). A
// waiting thread links a wait block into the object's WaitListHead and sleeps on its own
// condition variable; WakeWaiters (dispatcher lock held) wakes the waiters of one object, which
// recheck.
std::mutex& DispatcherLock();
void WakeWaiters(DISPATCHER_HEADER* header);
// Waits (dispatcher lock held through `guard`) until `satisfied` answers true or the deadline
// passes; false on time-out.
// With takesApcs, kernel APCs queued to the waiting thread run during the wait (outside the
// lock), as they do in a wait at PASSIVE_LEVEL.
bool WaitOn(DISPATCHER_HEADER* header, std::unique_lock<std::mutex>& guard,
            const std::chrono::steady_clock::time_point* deadline,
            bool (*satisfied)(DISPATCHER_HEADER*, void*), void* context, bool takesApcs = false);

// Kernel APCs (irp.cpp): completions of thread-queued requests run in the issuing thread. A
// thread takes them below APC_LEVEL holding no fast mutex.
inline bool TakesApcsNow();
inline void DeliverApcs(); // runs the calling thread's queued completions if it takes APCs now
void RunQueuedApcs();      // DeliverApcs when some are queued
// The calling thread starts an infinite wait on `object` unable to take APCs: a completion
// queued for it whose event is `object` can never run (dispatcher lock held).
void CheckApcDeadlock(PKTHREAD waiter, const void* object);
void WakeThread(PKTHREAD thread);    // wakes the thread's wait so it takes its APCs (lock held)
void EndThreadApcs(PKTHREAD thread); // the calling thread ends: takes its APCs, then none

// Object headers precede every kernel object the layer creates (devices, drivers, files,
// threads), giving reference counts and a type.
enum class ObjectKind : uint32_t { Driver = 1, Device, File, Thread, Key };
struct ObjectHeader;
// Runs when the last reference goes; answers true when it keeps the memory and releases it
// later with FreeObjectMemory.
using ObjectDeleter = bool (*)(void* body);
void FreeObjectMemory(void* body);
void* CreateObject(ObjectKind kind, size_t bodySize, ObjectDeleter deleter);
ObjectKind KindOf(void* body); // fails loudly on a pointer that is no object
ObjectHeader* HeaderOf(void* body);
void ReferenceObject(void* body);
void DereferenceObject(void* body);
LONG_PTR ReferenceCount(void* body);
// Fails loudly when a request carries an object whose last reference is gone.
void CheckObjectAlive(void* body, const char* request, PDEVICE_OBJECT device);

// Handles: indexes into one table. A handle belongs to the kernel (OBJ_KERNEL_HANDLE, or made
// in a system thread) or to the client process whose context made it; a client's handle is not
// valid in a system thread. The context is the client's when a non-system thread runs with the
// previous mode UserMode.
bool InClientContext();
bool IsKernelHandle(POBJECT_ATTRIBUTES attributes); // what a handle made now with them is
HANDLE CreateHandle(void* body, ACCESS_MASK access, void* owner, bool kernelHandle);
// Referenced; nullptr when invalid in this context. *kernelHandle tells whose it is.
void* HandleObject(HANDLE handle, ACCESS_MASK* access, bool* kernelHandle = nullptr);
size_t HandlesOwnedBy(void* owner);
// The driver whose code runs in this thread (for handle ownership); set by the system calls.
void* CurrentDriverContext();
void SetCurrentDriverContext(void* driver);

// Hook points (hooks.cpp): every hooked routine calls HookReached on entry. Locks and waits
// run on every request, so the check for no hooks at all is inline.
extern std::atomic<int> gActiveHooks;
void MeetHooks(HookPoint point, const void* object);
inline void HookReached(HookPoint point, const void* object) {
    if (gActiveHooks.load(std::memory_order_acquire) != 0)
        MeetHooks(point, object);
}

// Per-thread state (sync.cpp): plain thread-locals, one load each.
extern constinit thread_local KIRQL tIrql;
extern constinit thread_local KPROCESSOR_MODE tPreviousMode;
extern constinit thread_local int tFastMutexes;
inline KIRQL& CurrentIrql() {
    return tIrql;
}
inline KPROCESSOR_MODE& CurrentPreviousMode() {
    return tPreviousMode;
}
inline int& FastMutexesHeld() {
    return tFastMutexes;
}

// Pool (pool.cpp): guard bytes of every block checked now; whether a range touches pool.
void CheckPoolGuards();
bool InPool(const void* address, size_t length);

// Strings.
std::u16string ToU16(PCUNICODE_STRING s);
std::u16string Upcase(std::u16string_view s);
std::string Narrow(std::u16string_view s);

// Namespace of devices and symbolic links (io_objects.cpp).
PDEVICE_OBJECT ResolveDeviceName(std::u16string_view name); // follows links; not referenced

// Threads (threads.cpp). A thread object is signalled when the thread has ended.
struct ThreadRecord;
extern constinit thread_local PKTHREAD tCurrent; // null until the thread first needs a record
PKTHREAD NewHostThread();                        // gives the calling host thread its record
inline PKTHREAD CurrentThread() {
    return tCurrent != nullptr ? tCurrent : NewHostThread();
}

// File objects (client.cpp): opening a device for kernel callers and clients.
NTSTATUS OpenDeviceFile(std::u16string_view name, KPROCESSOR_MODE mode, PFILE_OBJECT* file);
void CloseFileHandle(PFILE_OBJECT file); // the last handle is gone: IRP_MJ_CLEANUP

} // namespace ks

struct _KTHREAD {
    DISPATCHER_HEADER Header;
    KPRIORITY Priority;
    bool System;
    int MutexesHeld; // kernel mutexes owned (recursive acquisitions count once each)
    PKSTART_ROUTINE Start;
    PVOID StartContext;
    void* Driver;
    char Name[64]; // for reports
    // Under the dispatcher lock: queued completions (thread-queued requests), and the wait the
    // thread is in. ApcFirst is written atomically: its own thread looks at it without the lock.
    PIRP ApcFirst;
    PIRP ApcLast;
    bool Ended;
    const void* WaitObject; // null when not waiting
    void* WaitBlock;
    bool WaitTakesApcs;
    bool WaitInfinite;
    KIRQL WaitIrql;
};

namespace ks {

inline bool TakesApcsNow() {
    return CurrentIrql() < APC_LEVEL && FastMutexesHeld() == 0;
}

// Called at every release of a lock: only this thread takes from its queue, so seen empty here
// it stays empty until another thread queues (and wakes this one if it waits).
inline void DeliverApcs() {
    if (TakesApcsNow() && __atomic_load_n(&CurrentThread()->ApcFirst, __ATOMIC_ACQUIRE))
        RunQueuedApcs();
}

} // namespace ks
