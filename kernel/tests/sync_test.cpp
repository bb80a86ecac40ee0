// Dispatcher objects, waits and system threads.
#include <ks/system.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER Milliseconds(LONGLONG ms) {
    LARGE_INTEGER value;
    value.QuadPart = -ms * 10000;
    return value;
}

// Waits for a dispatcher object, without limit when ms is negative.
NTSTATUS WaitFor(PVOID object, LONGLONG ms = -1) {
    LARGE_INTEGER timeout = Milliseconds(ms);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, ms < 0 ? nullptr : &timeout);
}

void Sleep(LONGLONG ms) {
    LARGE_INTEGER delay = Milliseconds(ms);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

TEST(Events, SynchronizationEventsReleaseOneWaiterNotificationEventsAll) {
    KEVENT sync, notify;
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    KeInitializeEvent(&notify, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&sync, 0, FALSE), 0);
    EXPECT_EQ(WaitFor(&sync, 0), STATUS_SUCCESS); // consumed: the waiters below wait
    KeSetEvent(&notify, 0, FALSE);
    EXPECT_EQ(WaitFor(&notify, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&notify), 1); // stays signalled
    EXPECT_EQ(KeResetEvent(&notify), 1);

    // Two waiters on a synchronization event: each set releases exactly one.
    std::atomic<int> released{0};
    auto waiter = [&] {
        WaitFor(&sync);
        released++;
    };
    std::thread a(waiter), b(waiter);
    KeSetEvent(&sync, 0, FALSE);
    while (released < 1)
        std::this_thread::yield();
    Sleep(50);
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
    EXPECT_EQ(WaitFor(&never, 30), STATUS_TIMEOUT);
    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 30 * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
}

TEST(Mutexes, OwnerMayAcquireAgainOthersWaitFastMutexesRaiseToApcLevel) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 1);
    WaitFor(&mutex);
    WaitFor(&mutex);
    std::atomic<bool> got{false};
    std::thread other([&] {
        WaitFor(&mutex);
        got = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    KeReleaseMutex(&mutex, FALSE);
    Sleep(30);
    EXPECT_FALSE(got); // still held once
    KeReleaseMutex(&mutex, FALSE);
    other.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);

    FAST_MUTEX fast;
    ExInitializeFastMutex(&fast);
    ExAcquireFastMutex(&fast);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    std::thread([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&fast)); }).join();
    ExReleaseFastMutex(&fast);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Contended: the threads start while it is held, every waiter is handed the mutex in turn,
    // and nothing runs inside it twice.
    long inside = 0, total = 0;
    ExAcquireFastMutex(&fast);
    auto work = [&] {
        for (int i = 0; i < 3000; i++) {
            if (i % 3 || !ExTryToAcquireFastMutex(&fast))
                ExAcquireFastMutex(&fast);
            EXPECT_EQ(++inside, 1);
            total++;
            inside--;
            ExReleaseFastMutex(&fast);
        }
    };
    std::vector<std::thread> threads(4);
    for (auto& t : threads)
        t = std::thread(work);
    Sleep(30);
    ExReleaseFastMutex(&fast);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(total, 4 * 3000);
    EXPECT_GE(fast.Contention, 3u);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&fast));
    ExReleaseFastMutex(&fast);
}

struct ThreadState {
    KEVENT go;
    std::atomic<int> ran{0};
    KPRIORITY priority = 0;
};

void Worker(PVOID context) {
    auto* state = (ThreadState*)context;
    state->priority = KeSetPriorityThread(KeGetCurrentThread(), 31);
    WaitFor(&state->go);
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
    PVOID thread, wrong;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *IoFileObjectType, KernelMode,
                                        &wrong, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(handle);
    EXPECT_EQ(ks::LiveSystemThreads(), before + 1);
    EXPECT_EQ(WaitFor(thread, 20), STATUS_TIMEOUT);
    KeSetEvent(&state.go, 0, FALSE);
    EXPECT_EQ(WaitFor(thread), STATUS_SUCCESS);
    EXPECT_EQ(state.ran, 1);
    EXPECT_EQ(state.priority, 8); // system threads start at 8
    EXPECT_EQ(KeQueryPriorityThread((PKTHREAD)thread), 31);
    ObDereferenceObject(thread);
    while (ks::LiveSystemThreads() != before)
        std::this_thread::yield();
}

} // namespace
