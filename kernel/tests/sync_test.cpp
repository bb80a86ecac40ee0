// Dispatcher objects, waits and system threads.
#include <ks/system.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

LARGE_INTEGER Milliseconds(LONGLONG ms) {
    LARGE_INTEGER value;
    value.QuadPart = -ms * 10000;
    return value;
}

TEST(Events, SynchronizationEventsReleaseOneWaiterNotificationEventsAll) {
    KEVENT sync, notify;
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    KeInitializeEvent(&notify, NotificationEvent, FALSE);
    LARGE_INTEGER zero{.QuadPart = 0};
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&sync, 0, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&sync), 0); // consumed by the wait
    KeSetEvent(&notify, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&notify, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&notify), 1); // stays signalled
    EXPECT_EQ(KeResetEvent(&notify), 1);

    // Two waiters on a synchronization event: each set releases exactly one.
    std::atomic<int> released{0};
    auto waiter = [&] {
        KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, nullptr);
        released++;
    };
    std::thread a(waiter), b(waiter);
    KeSetEvent(&sync, 0, FALSE);
    while (released < 1)
        std::this_thread::yield();
    LARGE_INTEGER shortWait = Milliseconds(50);
    KeDelayExecutionThread(KernelMode, FALSE, &shortWait);
    EXPECT_EQ(released, 1);
    KeSetEvent(&sync, 0, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(released, 2);
}

TEST(Waits, RelativeAndAbsoluteTimeoutsExpire) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    auto start = std::chrono::steady_clock::now();
    LARGE_INTEGER relative = Milliseconds(30);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &relative),
              STATUS_TIMEOUT);
    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 30 * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
}

TEST(Mutexes, OwnerMayAcquireAgainOthersWait) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 1);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    std::atomic<bool> got{false};
    std::thread other([&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        got = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    KeReleaseMutex(&mutex, FALSE);
    LARGE_INTEGER wait = Milliseconds(30);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_FALSE(got); // still held once
    KeReleaseMutex(&mutex, FALSE);
    other.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(FastMutexes, RaiseToApcLevelAndExcludeOthers) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    std::atomic<bool> tried{false}, got{false};
    std::thread other([&] {
        got = ExTryToAcquireFastMutex(&mutex);
        tried = true;
    });
    other.join();
    EXPECT_TRUE(tried);
    EXPECT_FALSE(got);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

struct ThreadState {
    KEVENT go;
    std::atomic<int> ran{0};
    KPRIORITY priority = 0;
};

void Worker(PVOID context) {
    auto* state = (ThreadState*)context;
    state->priority = KeSetPriorityThread(KeGetCurrentThread(), 31);
    KeWaitForSingleObject(&state->go, Executive, KernelMode, FALSE, nullptr);
    state->ran++; // returning ends the thread as PsTerminateSystemThread would
}

TEST(SystemThreads, RunWaitAndSignalTheirObjectWhenTheyReturn) {
    ThreadState state;
    KeInitializeEvent(&state.go, NotificationEvent, FALSE);
    size_t before = ks::LiveSystemThreads();
    HANDLE handle;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, &state),
        STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    PVOID wrong;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *IoFileObjectType, KernelMode,
                                        &wrong, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(handle);
    EXPECT_EQ(ks::LiveSystemThreads(), before + 1);
    LARGE_INTEGER shortWait = Milliseconds(20);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &shortWait),
              STATUS_TIMEOUT);
    KeSetEvent(&state.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(state.ran, 1);
    EXPECT_EQ(state.priority, 8); // system threads start at 8
    EXPECT_EQ(KeQueryPriorityThread((PKTHREAD)thread), 31);
    ObDereferenceObject(thread);
    while (ks::LiveSystemThreads() != before)
        std::this_thread::yield();
}

TEST(Pool, AccountsPerTagAndInjectsFailures) {
    const ULONG tag = ks::Tag("Tst1");
    void* a = ExAllocatePoolWithTag(NonPagedPool, 10, tag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 30, tag);
    EXPECT_EQ(ks::PoolBlocks(tag), 2u);
    EXPECT_EQ(ks::PoolBytes(tag), 40u);
    EXPECT_EQ((uintptr_t)a % 16, 0u);
    ks::FailPoolAllocations(tag, 1, 1);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 1, ks::Tag("Tst2")); // other tag: unaffected
    void* d = ExAllocatePoolWithTag(NonPagedPool, 1, tag);             // skipped
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, tag), nullptr);   // fails
    void* e = ExAllocatePoolWithTag(NonPagedPool, 1, tag);             // works again
    EXPECT_NE(c, nullptr);
    EXPECT_NE(d, nullptr);
    EXPECT_NE(e, nullptr);
    for (void* p : {a, b, d, e})
        ExFreePoolWithTag(p, tag);
    ExFreePool(c);
    EXPECT_EQ(ks::PoolBlocks(tag), 0u);
}

} // namespace
