// Threads: system threads are real pthreads with a thread object that is signalled when they
// end; every other host thread gets a thread record on first use.
#include "ks_internal.h"
#include "ks/system.h"

#include <atomic>
#include <cstdio>
#include <dlfcn.h>
#include <pthread.h>

namespace ks {

namespace {

std::atomic<size_t> gLiveSystemThreads{0};
std::atomic<int> gThreadNumbers{0};

bool DeleteThreadObject(void*) {
    return false;
}

PKTHREAD NewThreadRecord(bool system) {
    PKTHREAD thread =
        (PKTHREAD)CreateObject(ObjectKind::Thread, sizeof(KTHREAD), DeleteThreadObject);
    if (thread == nullptr)
        return nullptr;
    thread->Header.Type = KS_THREAD;
    thread->Header.SignalState = 0;
    InitializeListHead(&thread->Header.WaitListHead);
    thread->Priority = 8;
    thread->System = system;
    snprintf(thread->Name, sizeof thread->Name, "%s thread %d", system ? "system" : "host",
             ++gThreadNumbers);
    return thread;
}

// Owns the record of an ordinary host thread; released when that thread ends.
struct HostThreadSlot {
    PKTHREAD thread = nullptr;
    ~HostThreadSlot() {
        if (thread != nullptr && !thread->System) {
            EndThreadApcs(thread);
            DereferenceObject(thread);
        }
        tCurrent = nullptr;
    }
};
thread_local HostThreadSlot tSlot;

// A system thread ends: what a verifier checks, then the object is signalled.
void EndSystemThread(PKTHREAD thread) {
    if (CurrentIrql() != PASSIVE_LEVEL)
        Fail("system thread ends at IRQL %d", CurrentIrql());
    if (thread->MutexesHeld != 0 || FastMutexesHeld() != 0)
        Fail("system thread ends holding %d mutex(es) and %d fast mutex(es)", thread->MutexesHeld,
             FastMutexesHeld());
    EndThreadApcs(thread);
    {
        std::lock_guard guard(DispatcherLock());
        thread->Header.SignalState = 1;
        WakeWaiters(&thread->Header);
    }
    tCurrent = nullptr;
    gLiveSystemThreads--;
    DereferenceObject(thread); // the running thread's own reference
}

void* SystemThreadMain(void* argument) {
    PKTHREAD thread = (PKTHREAD)argument;
    tCurrent = thread;
    SetCurrentDriverContext(thread->Driver);
    thread->Start(thread->StartContext);
    EndSystemThread(thread);
    return nullptr;
}

} // namespace

// The running thread's record. A plain pointer, read on every lock and wait: a thread-local
// without a constructor or destructor is one load, not a call.
constinit thread_local PKTHREAD tCurrent = nullptr;

PKTHREAD NewHostThread() {
    tSlot.thread = tCurrent = NewThreadRecord(false);
    if (tCurrent == nullptr)
        Fail("out of memory for a thread record");
    return tCurrent;
}

size_t LiveSystemThreads() {
    return gLiveSystemThreads;
}

void SetThreadName(const std::string& name) {
    PKTHREAD thread = CurrentThread();
    std::lock_guard guard(DispatcherLock());
    snprintf(thread->Name, sizeof thread->Name, "%s", name.c_str());
}

std::string ThreadName(PKTHREAD thread) {
    std::lock_guard guard(DispatcherLock());
    return thread->Name;
}

KPROCESSOR_MODE PreviousMode() {
    return CurrentPreviousMode();
}

} // namespace ks

extern "C" {

PKTHREAD KeGetCurrentThread(void) {
    return ks::CurrentThread();
}

PETHREAD PsGetCurrentThread(void) {
    return ks::CurrentThread();
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    if (Priority < 0 || Priority > 31)
        ks::Fail("KeSetPriorityThread to %d (0 to 31)", Priority);
    if (ks::CurrentIrql() > DISPATCH_LEVEL)
        ks::Fail("KeSetPriorityThread at IRQL %d", ks::CurrentIrql());
    std::lock_guard guard(ks::DispatcherLock());
    KPRIORITY old = Thread->Priority;
    Thread->Priority = Priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    std::lock_guard guard(ks::DispatcherLock());
    return Thread->Priority;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    UNREFERENCED_PARAMETER(ProcessHandle);
    if (ks::CurrentIrql() != PASSIVE_LEVEL)
        ks::Fail("PsCreateSystemThread at IRQL %d", ks::CurrentIrql());
    PKTHREAD thread = ks::NewThreadRecord(true);
    if (thread == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    thread->Start = StartRoutine;
    thread->StartContext = StartContext;
    thread->Driver = ks::CurrentDriverContext();
    Dl_info symbol;
    if (dladdr((void*)StartRoutine, &symbol) && symbol.dli_sname != nullptr)
        snprintf(thread->Name + strlen(thread->Name), sizeof thread->Name - strlen(thread->Name),
                 " (%s)", symbol.dli_sname);
    ks::ReferenceObject(thread); // one for the handle, one for the running thread
    *ThreadHandle =
        ks::CreateHandle(thread, DesiredAccess ? DesiredAccess : THREAD_ALL_ACCESS,
                         ks::CurrentDriverContext(), ks::IsKernelHandle(ObjectAttributes));
    if (ClientId) {
        ClientId->UniqueProcess = (HANDLE)4;
        ClientId->UniqueThread = thread;
    }
    ks::gLiveSystemThreads++;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    int error = pthread_create(&id, &attributes, ks::SystemThreadMain, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        ks::gLiveSystemThreads--;
        ZwClose(*ThreadHandle);
        ks::DereferenceObject(thread);
        *ThreadHandle = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    UNREFERENCED_PARAMETER(ExitStatus);
    PKTHREAD thread = ks::CurrentThread();
    if (!thread->System)
        ks::Fail("PsTerminateSystemThread called outside a system thread");
    ks::EndSystemThread(thread);
    pthread_exit(nullptr);
}

} // extern "C"
