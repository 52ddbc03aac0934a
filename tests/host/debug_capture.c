/* Preloaded into test hosts: stands in for syslog and appends each debug line, one per line,
 * to the file named by OSTREL_DEBUG_CAPTURE, so a host test can read back what the library
 * wrote to its debug output, in order. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

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
