// Sleep and the interlocked counters.
#pragma once

#include "win/windef.h"

void Sleep(DWORD milliseconds);
LONG InterlockedIncrement(LONG volatile* value);
LONG InterlockedDecrement(LONG volatile* value);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand);

// Named mutexes shared by every process of the machine (the subset the suite calls).
// A handle names one process-wide object per name, so every module of a process that opens the
// same name shares its owner thread and recursion count, as on Windows. Across processes the
// mutex is an flock on a lock file: in the directory named by VANTOR_RUNTIME_DIR when set, else
// /run/lock (machine-wide on Debian), else /tmp. The lock file outlives the processes; the lock
// does not, so a process that dies holding it releases it (Windows reports such a mutex as
// abandoned; here the next waiter simply gets it with WAIT_OBJECT_0).
// - CreateMutexA: security attributes are accepted and ignored (the lock file is made readable
//   and writable by every user); a null name gives an unnamed mutex of this process. When the
//   mutex existed already in this process the last error is ERROR_ALREADY_EXISTS.
//   initialOwner is honoured. Returns null with the last error on failure.
// - WaitForSingleObject: INFINITE or 0 (a poll) or any other time-out, bounded by polling
//   every millisecond; WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (ERROR_INVALID_HANDLE).
//   The owner thread may wait again (recursive ownership).
// - ReleaseMutex: FALSE with ERROR_NOT_OWNER when the calling thread does not own it.
// - CloseHandle: closes a mutex handle; a handle still owned by this thread keeps the lock
//   until the ownership is released.
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

extern "C" __attribute__((visibility("default"))) HANDLE CreateMutexA(
    LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
extern "C" __attribute__((visibility("default"))) DWORD WaitForSingleObject(HANDLE handle,
                                                                            DWORD milliseconds);
extern "C" __attribute__((visibility("default"))) BOOL ReleaseMutex(HANDLE handle);
extern "C" __attribute__((visibility("default"))) BOOL CloseHandle(HANDLE handle);
