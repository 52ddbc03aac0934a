/* Preloaded into test hosts: stands in for syslog and appends each debug line, one per line,
 * to the file named by OSTREL_DEBUG_CAPTURE, so a host test can read back what the library
 * wrote to its debug output, in order. It also stands in for the system log's socket, so that
 * the library, which writes nothing while no system log listens, finds one. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

static void capture(const char* format, va_list args) {
  const char* path = getenv("OSTREL_DEBUG_CAPTURE");
  if (path == NULL) {
    return;
  }
  FILE* file = fopen(path, "a");
  if (file == NULL) {
    return;
  }
  vfprintf(file, format, args);
  fputc('\n', file);
  fclose(file);
}

void syslog(int priority, const char* format, ...) {
  (void)priority;
  va_list args;
  va_start(args, format);
  capture(format, args);
  va_end(args);
}

void vsyslog(int priority, const char* format, va_list args) {
  (void)priority;
  capture(format, args);
}

/* What syslog becomes under _FORTIFY_SOURCE. */
void __syslog_chk(int priority, int flag, const char* format, ...) {
  (void)priority;
  (void)flag;
  va_list args;
  va_start(args, format);
  capture(format, args);
  va_end(args);
}

int connect(int fd, const struct sockaddr* address, socklen_t length) {
  const struct sockaddr_un* local = (const struct sockaddr_un*)address;
  if (address != NULL && address->sa_family == AF_UNIX && getenv("OSTREL_DEBUG_CAPTURE") != NULL &&
      strcmp(local->sun_path, _PATH_LOG) == 0) {
    return 0;
  }
  int (*real_connect)(int, const struct sockaddr*, socklen_t) =
      (int (*)(int, const struct sockaddr*, socklen_t))dlsym(RTLD_NEXT, "connect");
  return real_connect(fd, address, length);
}
