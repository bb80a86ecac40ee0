// IRQL, spin locks, events, kernel mutexes, fast mutexes, waits, delays and time.
#include "ks_internal.h"

#include <chrono>
#include <sched.h>
#include <time.h>

namespace ks {

constinit thread_local KIRQL tIrql = PASSIVE_LEVEL;
constinit thread_local KPROCESSOR_MODE tPreviousMode = KernelMode;
constinit thread_local int tFastMutexes = 0;

std::mutex& DispatcherLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
namespace {
struct WaitBlock {
    LIST_ENTRY link;
    std::condition_variable wake;
};

void EnsureWaitList(DISPATCHER_HEADER* header) {
    if (header->WaitListHead.Flink == nullptr)
        InitializeListHead(&header->WaitListHead);
}
} // namespace

void WakeWaiters(DISPATCHER_HEADER* header) {
    EnsureWaitList(header);
    for (PLIST_ENTRY entry = header->WaitListHead.Flink; entry != &header->WaitListHead;
         entry = entry->Flink)
        CONTAINING_RECORD(entry, WaitBlock, link)->wake.notify_one();
}

void WakeThread(PKTHREAD thread) {
    if (thread->WaitBlock != nullptr)
        static_cast<WaitBlock*>(thread->WaitBlock)->wake.notify_one();
}

bool WaitOn(DISPATCHER_HEADER* header, std::unique_lock<std::mutex>& guard,
            const std::chrono::steady_clock::time_point* deadline,
            bool (*satisfied)(DISPATCHER_HEADER*, void*), void* context, bool takesApcs) {
    PKTHREAD self = CurrentThread();
    auto takeApcs = [&] {
        while (takesApcs && self->ApcFirst != nullptr) {
            guard.unlock();
            DeliverApcs();
            guard.lock();
        }
    };
    takeApcs();
    if (satisfied(header, context))
        return true;
    WaitBlock block;
    EnsureWaitList(header);
    InsertTailList(&header->WaitListHead, &block.link);
    // An APC run during this wait may wait itself: the outer wait is restored after.
    const void* outerObject = self->WaitObject;
    void* outerBlock = self->WaitBlock;
    bool outerTakesApcs = self->WaitTakesApcs, outerInfinite = self->WaitInfinite;
    KIRQL outerIrql = self->WaitIrql;
    self->WaitObject = header;
    self->WaitBlock = &block;
    self->WaitTakesApcs = takesApcs;
    self->WaitInfinite = deadline == nullptr;
    self->WaitIrql = CurrentIrql();
    if (!takesApcs && deadline == nullptr)
        CheckApcDeadlock(self, header);
    bool done = false;
    for (;;) {
        if (deadline == nullptr) {
            block.wake.wait(guard);
        } else if (block.wake.wait_until(guard, *deadline) == std::cv_status::timeout) {
            takeApcs();
            done = satisfied(header, context);
            break;
        }
        takeApcs();
        if (satisfied(header, context)) {
            done = true;
            break;
        }
    }
    RemoveEntryList(&block.link);
    self->WaitObject = outerObject;
    self->WaitBlock = outerBlock;
    self->WaitTakesApcs = outerTakesApcs;
    self->WaitInfinite = outerInfinite;
    self->WaitIrql = outerIrql;
    return done;
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr LONGLONG kUnixEpochIn1601 = 116444736000000000LL;

LONGLONG SystemTimeNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochIn1601 + (LONGLONG)ts.tv_sec * 10000000LL + ts.tv_nsec / 100;
}

// A kernel timeout (negative relative, positive absolute, 100 ns units) as a deadline.
Clock::time_point Deadline(const LARGE_INTEGER* timeout) {
    LONGLONG ticks = timeout->QuadPart;
    if (ticks > 0)
        ticks = ticks - SystemTimeNow();
    else
        ticks = -ticks;
    if (ticks < 0)
        ticks = 0;
    return Clock::now() + std::chrono::nanoseconds(ticks * 100);
}

void CheckWaitIrql(const char* what, const LARGE_INTEGER* timeout) {
    KIRQL irql = CurrentIrql();
    bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
    if (irql > APC_LEVEL && !(irql == DISPATCH_LEVEL && zeroTimeout))
        Fail("%s at IRQL %d: waits need IRQL <= APC_LEVEL", what, irql);
}

// Tests the object and, when the wait is satisfied, applies its side effect. Dispatcher lock
// held.
bool TrySatisfy(DISPATCHER_HEADER* header, PKTHREAD thread) {
    switch (header->Type) {
        case KS_EVENT_NOTIFICATION:
            return header->SignalState > 0;
        case KS_EVENT_SYNCHRONIZATION:
            if (header->SignalState <= 0)
                return false;
            header->SignalState = 0;
            return true;
        case KS_MUTANT: {
            PKMUTEX mutex = CONTAINING_RECORD(header, KMUTEX, Header);
            if (mutex->OwnerThread != nullptr && mutex->OwnerThread != thread)
                return false;
            if (mutex->OwnerThread == nullptr)
                thread->MutexesHeld++;
            mutex->OwnerThread = thread;
            header->SignalState--;
            return true;
        }
        case KS_THREAD:
            return header->SignalState > 0;
        default:
            Fail("wait on %p, which is no dispatcher object (type %d)", (void*)header,
                 header->Type);
    }
}

} // namespace
} // namespace ks

using ks::DispatcherLock;

extern "C" {

// ---- IRQL ----------------------------------------------------------------------------------

KIRQL KeGetCurrentIrql(void) {
    return ks::CurrentIrql();
}

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < ks::CurrentIrql())
        ks::Fail("KeRaiseIrql to %d below the current IRQL %d", NewIrql, ks::CurrentIrql());
    *OldIrql = ks::CurrentIrql();
    ks::CurrentIrql() = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > ks::CurrentIrql())
        ks::Fail("KeLowerIrql to %d above the current IRQL %d", NewIrql, ks::CurrentIrql());
    ks::CurrentIrql() = NewIrql;
    ks::DeliverApcs();
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// ---- Spin locks ----------------------------------------------------------------------------
// The lock word holds the owning thread record.

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (ks::CurrentIrql() != DISPATCH_LEVEL)
        ks::Fail("KeAcquireSpinLockAtDpcLevel at IRQL %d", ks::CurrentIrql());
    ULONG_PTR self = (ULONG_PTR)ks::CurrentThread();
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == self)
        ks::Fail("spin lock %p acquired again by its owner (deadlock)", (void*)SpinLock);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        sched_yield();
    }
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (ks::CurrentIrql() != DISPATCH_LEVEL)
        ks::Fail("spin lock %p released at IRQL %d", (void*)SpinLock, ks::CurrentIrql());
    ULONG_PTR self = (ULONG_PTR)ks::CurrentThread();
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) != self)
        ks::Fail("spin lock %p released by a thread that does not hold it", (void*)SpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    if (ks::CurrentIrql() > DISPATCH_LEVEL)
        ks::Fail("KeAcquireSpinLock at IRQL %d", ks::CurrentIrql());
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

// ---- Events --------------------------------------------------------------------------------

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type =
        Type == NotificationEvent ? KS_EVENT_NOTIFICATION : KS_EVENT_SYNCHRONIZATION;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    ks::HookReached(ks::HookPoint::SetEvent, Event);
    if (ks::CurrentIrql() > DISPATCH_LEVEL)
        ks::Fail("KeSetEvent at IRQL %d", ks::CurrentIrql());
    std::lock_guard guard(DispatcherLock());
    if (Event->Header.Type != KS_EVENT_NOTIFICATION &&
        Event->Header.Type != KS_EVENT_SYNCHRONIZATION)
        ks::Fail("KeSetEvent of %p, which is no initialised event", (void*)Event);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    ks::WakeWaiters(&Event->Header);
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
    std::lock_guard guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    KeResetEvent(Event);
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard guard(DispatcherLock());
    return Event->Header.SignalState;
}

// ---- Kernel mutexes ------------------------------------------------------------------------

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    UNREFERENCED_PARAMETER(Level);
    Mutex->Header.Type = KS_MUTANT;
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Wait);
    if (ks::CurrentIrql() > DISPATCH_LEVEL)
        ks::Fail("KeReleaseMutex at IRQL %d", ks::CurrentIrql());
    PKTHREAD self = ks::CurrentThread();
    std::lock_guard guard(DispatcherLock());
    if (Mutex->Header.Type != KS_MUTANT)
        ks::Fail("KeReleaseMutex of %p, which is no initialised mutex", (void*)Mutex);
    if (Mutex->OwnerThread != self)
        ks::Fail("mutex %p released by a thread that does not own it", (void*)Mutex);
    LONG previous = Mutex->Header.SignalState;
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        self->MutexesHeld--;
        ks::WakeWaiters(&Mutex->Header);
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard guard(DispatcherLock());
    return Mutex->Header.SignalState;
}

// ---- Waits ---------------------------------------------------------------------------------

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    ks::HookReached(ks::HookPoint::Wait, Object);
    ks::CheckWaitIrql("KeWaitForSingleObject", Timeout);
    PKTHREAD self = ks::CurrentThread();
    DISPATCHER_HEADER* header = (DISPATCHER_HEADER*)Object;
    auto deadline = Timeout ? ks::Deadline(Timeout) : ks::Clock::time_point();
    std::unique_lock guard(DispatcherLock());
    auto satisfied = [](DISPATCHER_HEADER* header, void* thread) {
        return ks::TrySatisfy(header, (PKTHREAD)thread);
    };
    bool done = ks::WaitOn(header, guard, Timeout ? &deadline : nullptr, satisfied, self,
                           ks::TakesApcsNow());
    return done ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    ks::HookReached(ks::HookPoint::Delay, nullptr);
    ks::CheckWaitIrql("KeDelayExecutionThread", Interval);
    auto deadline = ks::Deadline(Interval);
    // A wait on an object nobody signals: kernel APCs still run during it.
    DISPATCHER_HEADER never{};
    never.Type = KS_EVENT_NOTIFICATION;
    std::unique_lock guard(DispatcherLock());
    ks::WaitOn(
        &never, guard, &deadline, [](DISPATCHER_HEADER*, void*) { return false; }, nullptr,
        ks::TakesApcsNow());
    return STATUS_SUCCESS;
}

// ---- Time ----------------------------------------------------------------------------------

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = ks::SystemTimeNow();
}

ULONGLONG KeQueryInterruptTime(void) {
    return (ULONGLONG)std::chrono::duration_cast<std::chrono::nanoseconds>(
               ks::Clock::now().time_since_epoch())
               .count() /
           100;
}

// ---- Fast mutexes --------------------------------------------------------------------------
// Count is 1 when free, 0 when owned, and one less for every thread waiting for it: taking and
// giving back an uncontended mutex are one atomic step each, without the dispatcher lock. A
// release that finds waiters hands the mutex to one of them through the synchronization event.
// Owner and Count are atomic: other threads read them without the lock.

void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = 0;
}

static void CheckFastMutex(PFAST_MUTEX FastMutex) {
    if (FastMutex->Event.Header.Type != KS_EVENT_SYNCHRONIZATION ||
        __atomic_load_n(&FastMutex->Count, __ATOMIC_RELAXED) > 1)
        ks::Fail("fast mutex %p is not initialised", (void*)FastMutex);
}

static void AcquireFast(PFAST_MUTEX FastMutex, PKTHREAD self, KIRQL old) {
    __atomic_store_n(&FastMutex->Owner, self, __ATOMIC_RELAXED);
    FastMutex->OldIrql = old;
    ks::FastMutexesHeld()++;
    ks::CurrentIrql() = APC_LEVEL;
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    ks::HookReached(ks::HookPoint::AcquireFastMutex, FastMutex);
    KIRQL old = ks::CurrentIrql();
    if (old > APC_LEVEL)
        ks::Fail("ExAcquireFastMutex at IRQL %d", old);
    PKTHREAD self = ks::CurrentThread();
    CheckFastMutex(FastMutex);
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == self)
        ks::Fail("fast mutex %p acquired again by its owner (deadlock)", (void*)FastMutex);
    if (__atomic_fetch_sub(&FastMutex->Count, 1, __ATOMIC_SEQ_CST) != 1) {
        // Owned: this thread now counts as a waiter and sleeps until a release hands it over.
        std::unique_lock guard(DispatcherLock());
        FastMutex->Contention++;
        ks::WaitOn(
            &FastMutex->Event.Header, guard, nullptr,
            [](DISPATCHER_HEADER* event, void*) {
                if (event->SignalState == 0)
                    return false;
                event->SignalState = 0;
                return true;
            },
            nullptr);
    }
    AcquireFast(FastMutex, self, old);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    KIRQL old = ks::CurrentIrql();
    if (old > APC_LEVEL)
        ks::Fail("ExTryToAcquireFastMutex at IRQL %d", old);
    PKTHREAD self = ks::CurrentThread();
    CheckFastMutex(FastMutex); // a try by the owner cannot deadlock: it only fails
    LONG free = 1;
    if (!__atomic_compare_exchange_n(&FastMutex->Count, &free, 0, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_RELAXED))
        return FALSE;
    AcquireFast(FastMutex, self, old);
    return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    ks::HookReached(ks::HookPoint::ReleaseFastMutex, FastMutex);
    PKTHREAD self = ks::CurrentThread();
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != self)
        ks::Fail("fast mutex %p released by a thread that does not own it", (void*)FastMutex);
    if (ks::CurrentIrql() != APC_LEVEL)
        ks::Fail("fast mutex %p released at IRQL %d", (void*)FastMutex, ks::CurrentIrql());
    KIRQL old = (KIRQL)FastMutex->OldIrql;
    __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_RELAXED);
    ks::FastMutexesHeld()--;
    if (__atomic_fetch_add(&FastMutex->Count, 1, __ATOMIC_SEQ_CST) < 0) {
        std::lock_guard guard(DispatcherLock());
        FastMutex->Event.Header.SignalState = 1;
        ks::WakeWaiters(&FastMutex->Event.Header);
    }
    ks::CurrentIrql() = old;
    ks::DeliverApcs();
}

KPROCESSOR_MODE ExGetPreviousMode(void) {
    return ks::CurrentPreviousMode();
}

} // extern "C"
