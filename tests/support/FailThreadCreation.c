// Preloaded into a process under test (LD_PRELOAD) to make thread creation fail from the Nth call on, as it does
// when the address space or the thread limit runs out. QOR_TEST_THREADS_ALLOWED=N lets the first N calls of
// pthread_create through; every later one fails with EAGAIN. Without the variable nothing changes.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>

typedef int (*CreateFunction)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

static atomic_long g_calls;

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
  static CreateFunction real;
  if (!real) real = (CreateFunction)dlsym(RTLD_NEXT, "pthread_create");
  const char* allowed = getenv("QOR_TEST_THREADS_ALLOWED");
  long call = atomic_fetch_add(&g_calls, 1) + 1;
  if (allowed && call > atol(allowed)) return EAGAIN;
  return real(thread, attributes, start, argument);
}
