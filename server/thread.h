// The relay's helper threads (the state file's writer, the users file's reader): one per job,
// started once, and one lock with one wake-up shared by all of them and the loop. One file per
// platform (posix/thread.cpp, win32/thread.cpp).
#pragma once

enum { THREAD_NONE = -1 };

// Starts run in a thread of its own, at a lower priority than the loop's; returns its handle, or
// THREAD_NONE when it cannot.
long long thread_start(void (*run)());
// Waits for the thread to end (run returned).
void thread_join(long long h);

void thread_lock();
void thread_unlock();
// With the lock held: lets it go until thread_wake() is called, then takes it again. A wake-up
// may come without a call: the caller looks again at what it waits for.
void thread_wait();
// Wakes every thread in thread_wait().
void thread_wake();
