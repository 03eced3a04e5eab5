// SPDX-License-Identifier: LGPL-2.1-or-later
// What the program's ioperm() and iopl() granted each thread, by the
// kernel's rules: a new thread starts with its creator's grant, and gives
// it back when it ends.
#include <cerrno>
#include <new>
#include <optional>

#include <pthread.h>
#include <sys/syscall.h>
#include <threads.h>
#include <unistd.h>

#include "interposing.h"
#include "port_grant.h"
#include "preload.h"

namespace qport_run::preload {

constinit thread_local PortGrant thread_grant __attribute__((tls_model("initial-exec")));

namespace {

using thread_start = void *(*)(void *);
using pthread_create_function = int (*)(pthread_t *, const pthread_attr_t *, thread_start, void *);
using thrd_create_function = int (*)(thrd_t *, thrd_start_t, void *);
QPORT_RUN_LIBC(pthread_create, pthread_create_function)
QPORT_RUN_LIBC(thrd_create, thrd_create_function)

// Threads created through pthread_create() or thrd_create() give back
// their grant and trap stack when they end (the main thread's go with the
// process).
pthread_key_t thread_end_key;
pthread_once_t thread_end_key_once = PTHREAD_ONCE_INIT;

void end_of_thread(void * /*value*/)
{
    thread_grant.release();
    release_trap_stack();
}

void adopt_grant(const PortGrant &grant)
{
    thread_grant = grant;
    ::pthread_once(&thread_end_key_once,
                   [] { ::pthread_key_create(&thread_end_key, end_of_thread); });
    ::pthread_setspecific(thread_end_key, &thread_grant);
}

struct NewThread {
    thread_start start;
    void *argument;
    PortGrant grant;
};

struct NewC11Thread {
    thrd_start_t start;
    void *argument;
    PortGrant grant;
};

// A new thread starts with its creator's grant, as the kernel gives it.
template <typename Thread> Thread *inherit(auto start, void *argument)
{
    const std::optional<PortGrant> grant = thread_grant.duplicate();
    if (!grant)
        return nullptr;
    auto *thread = new (std::nothrow) Thread{start, argument, *grant};
    if (thread == nullptr) {
        PortGrant unused = *grant;
        unused.release();
    }
    return thread;
}

template <typename Thread> void forget(Thread *thread)
{
    thread->grant.release();
    delete thread;
}

void *start_with_grant(void *raw)
{
    auto *created = static_cast<NewThread *>(raw);
    const NewThread thread = *created;
    delete created;
    adopt_grant(thread.grant);
    return thread.start(thread.argument);
}

int start_c11_with_grant(void *raw)
{
    auto *created = static_cast<NewC11Thread *>(raw);
    const NewC11Thread thread = *created;
    delete created;
    adopt_grant(thread.grant);
    return thread.start(thread.argument);
}

} // namespace

} // namespace qport_run::preload

// The definitions in front of the C library's are the C library's names,
// outside the preload's namespace.
using namespace qport_run::preload;

QPORT_RUN_EXPORT int ioperm(unsigned long from, unsigned long num, int turn_on)
{
    if (calling_qport)
        return static_cast<int>(::syscall(SYS_ioperm, from, num, turn_on));
    if (const int error = thread_grant.ioperm(from, num, turn_on); error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

QPORT_RUN_EXPORT int iopl(int level)
{
    if (calling_qport)
        return static_cast<int>(::syscall(SYS_iopl, level));
    if (const int error = thread_grant.iopl(level); error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

QPORT_RUN_EXPORT int pthread_create(pthread_t *newthread, const pthread_attr_t *attr,
                                    thread_start start_routine, void *arg)
{
    auto *created = inherit<NewThread>(start_routine, arg);
    if (created == nullptr)
        return EAGAIN;
    const int result = libc_pthread_create()(newthread, attr, start_with_grant, created);
    if (result != 0)
        forget(created);
    return result;
}

QPORT_RUN_EXPORT int thrd_create(thrd_t *thr, thrd_start_t func, void *arg)
{
    auto *created = inherit<NewC11Thread>(func, arg);
    if (created == nullptr)
        return thrd_nomem;
    const int result = libc_thrd_create()(thr, start_c11_with_grant, created);
    if (result != thrd_success)
        forget(created);
    return result;
}
