// The relay's helper threads on Windows (see thread.h): the system's own threads, a slim
// lock and a condition variable.
#include "server/thread.h"

#include <windows.h>

static SRWLOCK lock = SRWLOCK_INIT;
static CONDITION_VARIABLE cond = CONDITION_VARIABLE_INIT;

enum { THREADS = 4 };
static HANDLE threads[THREADS];
static void (*runs[THREADS])();

static DWORD WINAPI begin(void* arg) {
    // Below the loop: where the two share a processor, the loop's datagrams come first.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    runs[reinterpret_cast<INT_PTR>(arg)]();
    return 0;
}

long long thread_start(void (*run)()) {
    thread_lock();
    int i = 0;
    while (i < THREADS && threads[i] != nullptr)
        ++i;
    if (i < THREADS) {
        runs[i] = run;
        threads[i] = CreateThread(nullptr, 0, begin,
                                  reinterpret_cast<void*>(static_cast<INT_PTR>(i)), 0, nullptr);
    }
    long long h = i < THREADS && threads[i] != nullptr ? i : THREAD_NONE;
    thread_unlock();
    return h;
}

void thread_join(long long h) {
    if (h < 0 || h >= THREADS || threads[h] == nullptr) return;
    WaitForSingleObject(threads[h], INFINITE);
    CloseHandle(threads[h]);
    thread_lock();
    threads[h] = nullptr;
    thread_unlock();
}

void thread_lock() {
    AcquireSRWLockExclusive(&lock);
}

void thread_unlock() {
    ReleaseSRWLockExclusive(&lock);
}

void thread_wait() {
    SleepConditionVariableSRW(&cond, &lock, INFINITE, 0);
}

void thread_wake() {
    WakeAllConditionVariable(&cond);
}
