// Preloaded into a child process: moves the wall clock by TARNWICK_CLOCK_SHIFT seconds, as an
// administrator stepping the clock, or a directory copied from a machine whose clock runs ahead,
// would leave it.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

int clock_gettime(clockid_t clock, struct timespec* now) {
  static int (*real)(clockid_t, struct timespec*);
  if (real == NULL) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  const int status = real(clock, now);
  const char* shift = getenv("TARNWICK_CLOCK_SHIFT");
  if (status == 0 && clock == CLOCK_REALTIME && shift != NULL) now->tv_sec += atoll(shift);
  return status;
}
