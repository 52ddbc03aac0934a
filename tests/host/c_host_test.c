/* A C host program, linked against the shared library the way integrators link it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ostrel/ostrel.h"

static int failures = 0;

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

/* Reads the captured debug lines into one string, lines joined by '|'. */
static void read_debug_lines(const char* path, char* out, size_t size) {
  out[0] = '\0';
  FILE* file = fopen(path, "r");
  if (file == NULL) {
    return;
  }
  char line[256];
  while (fgets(line, sizeof line, file) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    if (out[0] != '\0') {
      strncat(out, "|", size - strlen(out) - 1);
    }
    strncat(out, line, size - strlen(out) - 1);
  }
  fclose(file);
}

int main(void) {
  const char* capture = getenv("OSTREL_DEBUG_CAPTURE");
  if (capture != NULL) {
    remove(capture);
  }

  CHECK(strcmp(Ostrel_Version(), "V2.0") == 0);
  CHECK(Ostrel_Initialize() == 0);
  CHECK(strcmp(Ostrel_Version(), "V2.0") == 0);
  CHECK(Ostrel_LastErrorCode() == 0);

  /* Handles 0..63 in order, then -1 with the handle variable left alone. */
  for (int i = 0; i < 64; ++i) {
    int handle = -7;
    CHECK(Ostrel_OpenTvWall("127.0.0.1", 9000 + i, &handle) == 0);
    CHECK(handle == i);
  }
  int untouched = 12345;
  CHECK(Ostrel_OpenTvWall("127.0.0.1", 9000, &untouched) == -1);
  CHECK(untouched == 12345);
  CHECK(Ostrel_LastErrorCode() == OSTREL_E_TABLE_FULL);

  /* The lowest free slot is taken again. */
  CHECK(Ostrel_CloseTvWall(5) == 0);
  CHECK(Ostrel_CloseTvWall(9) == 0);
  int handle = -1;
  CHECK(Ostrel_OpenTvWall("10.0.0.1", 1, &handle) == 0 && handle == 5);
  CHECK(Ostrel_OpenTvWall("10.0.0.1", 1, &handle) == 0 && handle == 9);

  /* Out-of-range handles are refused; a free slot closes fine. */
  CHECK(Ostrel_CloseTvWall(-1) == -1);
  CHECK(Ostrel_CloseTvWall(64) == -1);
  CHECK(Ostrel_CloseTvWall(7) == 0);
  CHECK(Ostrel_CloseTvWall(7) == 0);
  CHECK(Ostrel_LastErrorCode() == 0);

  /* Initialize frees every slot: the next registration gets handle 0 again. */
  CHECK(Ostrel_Initialize() == 0);
  CHECK(Ostrel_OpenTvWall("127.0.0.1", 65536 + 4321, &handle) == 0 && handle == 0);
  CHECK(Ostrel_OpenTvWall("127.0.0.1", 1, &handle) == 0 && handle == 1);
  CHECK(Ostrel_Finalize() == 0);

  if (capture != NULL) {
    /* Initialize, 64 opens, 2 reopens, Initialize, 2 opens, Finalize. */
    char expected[4096] = "Ostrel_Initialize";
    for (int i = 0; i < 66; ++i) strcat(expected, "|Ostrel_OpenTvWall");
    strcat(expected, "|Ostrel_Initialize|Ostrel_OpenTvWall|Ostrel_OpenTvWall|Ostrel_Finalize");
    char actual[4096];
    read_debug_lines(capture, actual, sizeof actual);
    CHECK(strcmp(actual, expected) == 0);
    if (strcmp(actual, expected) != 0) fprintf(stderr, "debug lines: %s\n", actual);
  } else {
    fprintf(stderr, "OSTREL_DEBUG_CAPTURE is not set: debug lines not checked\n");
    ++failures;
  }

  if (failures == 0) printf("c host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
