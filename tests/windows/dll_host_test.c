/*
 * A Windows host that loads ostrel.dll at run time, as C#, VB and script hosts do:
 * LoadLibrary, GetProcAddress by the plain export names, calls through OSTREL_CALL pointers
 * (__stdcall on 32-bit Windows). It registers a loopback controller and checks the exact frames
 * that a small server in this process receives.
 *
 * Usage: dll_host_test [path-to-ostrel.dll]   (default: ostrel.dll beside the program)
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>

#include <stdio.h>
#include <string.h>

/* Only for OSTREL_CALL and the outcome codes: nothing is linked from the header. */
#include "ostrel/ostrel.h"

typedef const char*(OSTREL_CALL* VersionFn)(void);
typedef int(OSTREL_CALL* NoArgFn)(void);
typedef int(OSTREL_CALL* OpenTvWallFn)(const char*, int, int*);
typedef int(OSTREL_CALL* CloseTvWallFn)(int);
typedef int(OSTREL_CALL* StartPlayFn)(int, const char*, int, const char*);
typedef int(OSTREL_CALL* StopPlayFn)(int, const char*, int);
typedef int(OSTREL_CALL* DuplicateFn)(int, const char*, int, const char*, int);

static struct {
  VersionFn Version;
  NoArgFn LastErrorCode;
  NoArgFn Initialize;
  NoArgFn Finalize;
  OpenTvWallFn OpenTvWall;
  CloseTvWallFn CloseTvWall;
  StartPlayFn StartPlay;
  StopPlayFn StopPlay;
  DuplicateFn Duplicate;
} api;

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

/* ---- Debug output: OutputDebugStringA raises DBG_PRINTEXCEPTION_C first; a vectored
 * handler records the text and lets the search go on. Lines are joined by '|'. */

static char debug_lines[8192];

static LONG CALLBACK capture_debug_string(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
    const char* text = (const char*)record->ExceptionInformation[1];
    size_t used = strlen(debug_lines);
    if (used > 0 && used + 1 < sizeof debug_lines) debug_lines[used++] = '|';
    snprintf(debug_lines + used, sizeof debug_lines - used, "%s", text);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

/* ---- Loading ---- */

static FARPROC resolve(HMODULE dll, const char* name) {
  FARPROC proc = GetProcAddress(dll, name);
  if (proc == NULL) {
    fprintf(stderr, "export %s not found\n", name);
    ++failures;
  }
  return proc;
}

/* Function pointers differ in type; going through void* keeps the conversion explicit. */
#define RESOLVE(field, type) api.field = (type)(void*)resolve(dll, "Ostrel_" #field)

static int load_api(HMODULE dll) {
  RESOLVE(Version, VersionFn);
  RESOLVE(LastErrorCode, NoArgFn);
  RESOLVE(Initialize, NoArgFn);
  RESOLVE(Finalize, NoArgFn);
  RESOLVE(OpenTvWall, OpenTvWallFn);
  RESOLVE(CloseTvWall, CloseTvWallFn);
  RESOLVE(StartPlay, StartPlayFn);
  RESOLVE(StopPlay, StopPlayFn);
  RESOLVE(Duplicate, DuplicateFn);
  /* Hosts look the functions up by their plain names only. */
  CHECK(GetProcAddress(dll, "Ostrel_Version@0") == NULL);
  CHECK(GetProcAddress(dll, "_Ostrel_Version@0") == NULL);
  CHECK(GetProcAddress(dll, "_Ostrel_OpenTvWall@12") == NULL);
  return failures == 0;
}

/* ---- A loopback controller that records what each connection delivers ---- */

#define MAX_FRAME 4096

struct controller {
  SOCKET listener;
  unsigned short port;
  int expected_connections;
  int received_connections;
  char frames[4][MAX_FRAME];
  int frame_sizes[4];
  HANDLE thread;
};

static int start_controller(struct controller* c, int connections) {
  memset(c, 0, sizeof *c);
  c->expected_connections = connections;
  c->listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (c->listener == INVALID_SOCKET) return 0;
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(c->listener, (struct sockaddr*)&address, sizeof address) != 0 ||
      listen(c->listener, 8) != 0 ||
      getsockname(c->listener, (struct sockaddr*)&address, &length) != 0) {
    return 0;
  }
  c->port = ntohs(address.sin_port);
  return 1;
}

/* Waits at most 5 s for the socket to become readable. */
static int readable_within_limit(SOCKET s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  struct timeval limit = {5, 0};
  return select(0, &set, NULL, NULL, &limit) == 1;
}

static DWORD WINAPI controller_main(LPVOID argument) {
  struct controller* c = (struct controller*)argument;
  for (int i = 0; i < c->expected_connections; ++i) {
    if (!readable_within_limit(c->listener)) break;
    SOCKET peer = accept(c->listener, NULL, NULL);
    if (peer == INVALID_SOCKET) break;
    int size = 0;
    for (;;) {
      if (!readable_within_limit(peer)) break;
      int got = recv(peer, c->frames[i] + size, MAX_FRAME - size, 0);
      if (got <= 0) break; /* the library closes after the frame */
      size += got;
      if (size == MAX_FRAME) break;
    }
    c->frame_sizes[i] = size;
    c->received_connections = i + 1;
    closesocket(peer);
  }
  return 0;
}

/* ---- Expected frames ---- */

static const char* const kHead =
    "<?xml version=\"1.0\"?>\r\n<iq type='command'>\r\n<query xmlns='iq:command'>\r\n"
    "<Command>\r\n";
static const char* const kTail = "</Command>\r\n</query>\r\n</iq>\r\n";

/* Checks a received frame: 4-byte little-endian total length, then the document. */
static void check_frame(const char* frame, int size, const char* body) {
  char document[MAX_FRAME];
  snprintf(document, sizeof document, "%s%s%s", kHead, body, kTail);
  const int total = (int)strlen(document) + 4;
  CHECK(size == total);
  if (size != total) {
    fprintf(stderr, "frame of %d bytes, expected %d\n", size, total);
    return;
  }
  const unsigned char* header = (const unsigned char*)frame;
  CHECK(header[0] == (total & 0xFF) && header[1] == ((total >> 8) & 0xFF) && header[2] == 0 &&
        header[3] == 0);
  CHECK(memcmp(frame + 4, document, (size_t)(total - 4)) == 0);
  if (memcmp(frame + 4, document, (size_t)(total - 4)) != 0) {
    fprintf(stderr, "received document:\n%.*s\n", total - 4, frame + 4);
  }
}

/* ---- The checks ---- */

static void check_table(void) {
  CHECK(strcmp(api.Version(), "V2.0") == 0);
  CHECK(api.Initialize() == 0);
  CHECK(api.LastErrorCode() == 0);

  for (int i = 0; i < 64; ++i) {
    int handle = -7;
    CHECK(api.OpenTvWall("127.0.0.1", 9000 + i, &handle) == 0);
    CHECK(handle == i);
  }
  int untouched = 12345;
  CHECK(api.OpenTvWall("127.0.0.1", 9000, &untouched) == -1);
  CHECK(untouched == 12345);
  CHECK(api.LastErrorCode() == OSTREL_E_TABLE_FULL);

  CHECK(api.CloseTvWall(5) == 0);
  int handle = -1;
  CHECK(api.OpenTvWall("10.0.0.1", 1, &handle) == 0 && handle == 5);
  CHECK(api.CloseTvWall(-1) == -1);
  CHECK(api.CloseTvWall(64) == -1);
  CHECK(api.CloseTvWall(7) == 0);
  CHECK(api.CloseTvWall(7) == 0);
  CHECK(api.LastErrorCode() == 0);
  CHECK(api.Finalize() == 0);
}

static void check_play_commands(void) {
  struct controller c;
  CHECK(start_controller(&c, 2));
  c.thread = CreateThread(NULL, 0, controller_main, &c, 0, NULL);
  CHECK(c.thread != NULL);

  /* Initialize frees every slot: the loopback controller gets handle 0. */
  CHECK(api.Initialize() == 0);
  int wall = -1;
  CHECK(api.OpenTvWall("127.0.0.1", c.port, &wall) == 0 && wall == 0);

  CHECK(api.StartPlay(wall, "1", 2, "rtsp://x") == 0);
  CHECK(api.LastErrorCode() == 0);
  CHECK(api.Duplicate(wall, "A", 3, "B", -4) == 0);
  CHECK(api.LastErrorCode() == 0);

  /* Refused before anything is sent; start play still writes its debug line first. */
  CHECK(api.StartPlay(64, "1", 2, "rtsp://x") == -1);
  CHECK(api.StopPlay(-1, "1", 2) == -1);

  if (c.thread != NULL) {
    CHECK(WaitForSingleObject(c.thread, 15000) == WAIT_OBJECT_0);
    CloseHandle(c.thread);
  }
  closesocket(c.listener);
  CHECK(c.received_connections == 2);
  check_frame(c.frames[0], c.frame_sizes[0],
              "<Function>StartPlay</Function>\r\n<Vidout>1</Vidout>\r\n<Area>2</Area>\r\n"
              "<Url>rtsp://x</Url>\r\n");
  check_frame(c.frames[1], c.frame_sizes[1],
              "<Function>Duplicate</Function>\r\n<Vidoutf>A</Vidoutf>\r\n<Areaf>3</Areaf>\r\n"
              "<Vidoutt>B</Vidoutt>\r\n<Areat>-4</Areat>\r\n");
  CHECK(api.CloseTvWall(wall) == 0);
  CHECK(api.Finalize() == 0);
}

static void check_debug_lines(void) {
  char expected[4096] = "Ostrel_Initialize";
  for (int i = 0; i < 65; ++i) strcat(expected, "|Ostrel_OpenTvWall");
  strcat(expected, "|Ostrel_Finalize|Ostrel_Initialize|Ostrel_OpenTvWall");
  strcat(expected, "|Ostrel_StartPlay|Ostrel_StartPlay|Ostrel_Finalize");
  CHECK(strcmp(debug_lines, expected) == 0);
  if (strcmp(debug_lines, expected) != 0) fprintf(stderr, "debug lines: %s\n", debug_lines);
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "ostrel.dll";
  HMODULE dll = LoadLibraryA(path);
  if (dll == NULL) {
    fprintf(stderr, "LoadLibrary(%s) failed: %lu\n", path, GetLastError());
    return 1;
  }
  if (!load_api(dll)) return 1;

  WSADATA data; /* for the controller's own sockets */
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  PVOID handler = AddVectoredExceptionHandler(1, capture_debug_string);
  CHECK(handler != NULL);

  check_table();
  check_play_commands();

  RemoveVectoredExceptionHandler(handler);
  check_debug_lines();
  WSACleanup();
  CHECK(FreeLibrary(dll));

  if (failures == 0) printf("dll host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
