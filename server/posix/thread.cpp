// The relay's helper threads on POSIX systems (see thread.h).
#include "server/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;

enum { THREADS = 4 };
static pthread_t threads[THREADS];
static void (*runs[THREADS])();
static int used[THREADS];

static void* begin(void* arg) {
    // Below the loop: where the two share a processor, the loop's datagrams come first.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
    runs[static_cast<int>(reinterpret_cast<long>(arg))]();
    return nullptr;
}

long long thread_start(void (*run)()) {
    thread_lock();
    int i = 0;
    while (i < THREADS && used[i])
        ++i;
    if (i < THREADS) {
        used[i] = 1;
        runs[i] = run;
    }
    thread_unlock();
    if (i == THREADS) return THREAD_NONE;
    if (pthread_create(&threads[i], nullptr, begin,
                       reinterpret_cast<void*>(static_cast<long>(i))) == 0)
        return i;
    thread_lock();
    used[i] = 0;
    thread_unlock();
    return THREAD_NONE;
}

void thread_join(long long h) {
    if (h < 0 || h >= THREADS) return;
    pthread_join(threads[h], nullptr);
    thread_lock();
    used[h] = 0;
    thread_unlock();
}

void thread_lock() {
    pthread_mutex_lock(&mutex);
}

void thread_unlock() {
    pthread_mutex_unlock(&mutex);
}

void thread_wait() {
    pthread_cond_wait(&cond, &mutex);
}

void thread_wake() {
    pthread_cond_broadcast(&cond);
}
