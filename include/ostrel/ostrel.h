/*
 * ostrel: drive a TV wall controller from a host program.
 *
 * Register a wall controller by IPv4 address text and TCP port, then send it commands: start
 * play (a stream URL on an area of a video output), stop play, and duplicate (show on one area
 * what another shows). Each command travels as one framed XML document over a TCP connection
 * opened for that command alone; no reply is read.
 *
 * Results: 0 success, -1 rejected argument or full table. A play command returns 0 once its
 * arguments are accepted, whether or not the frame reached the controller: ask
 * Ostrel_LastErrorCode() right after the call to learn that.
 *
 * Threads: every function may be called from any thread; calls run on the caller's thread.
 * A play command blocks for at most 5 s while connecting and 2 s per wait while sending.
 */
#ifndef OSTREL_OSTREL_H
#define OSTREL_OSTREL_H

#if defined(_WIN32)
#if defined(OSTREL_BUILDING)
#define OSTREL_API __declspec(dllexport)
#elif defined(OSTREL_STATIC)
#define OSTREL_API
#else
#define OSTREL_API __declspec(dllimport)
#endif
#if defined(_M_IX86) || defined(__i386__)
/* What C# and VB hosts assume by default on 32-bit Windows. */
#define OSTREL_CALL __stdcall
#else
#define OSTREL_CALL
#endif
#else
#define OSTREL_API __attribute__((visibility("default")))
#define OSTREL_CALL
#endif

/* Outcome codes of Ostrel_LastErrorCode(): 0, or a Windows Sockets error code (the same numbers
 * on every platform; 8 is the Windows code for running out of memory). These are all the codes the
 * library reports: a failure the system names otherwise is reported under the code below that
 * means the same to a host. Ostrel_OutcomeText() below gives each its words. */
#define OSTREL_OK 0
#define OSTREL_E_NO_MEMORY 8            /* WSA_NOT_ENOUGH_MEMORY */
#define OSTREL_E_FINALIZED 10004        /* WSAEINTR */
#define OSTREL_E_BLOCKED 10013          /* WSAEACCES */
#define OSTREL_E_INVALID_ARG 10022      /* WSAEINVAL */
#define OSTREL_E_NO_SOCKETS 10024       /* WSAEMFILE */
#define OSTREL_E_NOT_REGISTERED 10039   /* WSAEDESTADDRREQ */
#define OSTREL_E_ADDRESS 10049          /* WSAEADDRNOTAVAIL */
#define OSTREL_E_NET_DOWN 10050         /* WSAENETDOWN */
#define OSTREL_E_NET_UNREACHABLE 10051  /* WSAENETUNREACH */
#define OSTREL_E_ABORTED 10053          /* WSAECONNABORTED */
#define OSTREL_E_RESET 10054            /* WSAECONNRESET */
#define OSTREL_E_NO_BUFFERS 10055       /* WSAENOBUFS */
#define OSTREL_E_TIMED_OUT 10060        /* WSAETIMEDOUT */
#define OSTREL_E_REFUSED 10061          /* WSAECONNREFUSED */
#define OSTREL_E_HOST_UNREACHABLE 10065 /* WSAEHOSTUNREACH */
#define OSTREL_E_TABLE_FULL 10068       /* WSAEUSERS: the library's quota of 64 controllers */
#define OSTREL_E_NOT_STARTED 10093      /* WSANOTINITIALISED */

/* Short English words for an outcome code, for people to read ("connection refused"); never
 * NULL. Any code not listed above reads "other socket error". Defined here rather than exported,
 * so that it costs the library nothing and works with any build of it. */
static inline const char* Ostrel_OutcomeText(int code) {
  switch (code) {
    case OSTREL_OK:
      return "success";
    case OSTREL_E_NO_MEMORY:
      return "out of memory";
    case OSTREL_E_FINALIZED:
      return "stopped by Ostrel_Finalize while in progress";
    case OSTREL_E_BLOCKED:
      return "blocked by a local firewall or route rule";
    case OSTREL_E_INVALID_ARG:
      return "argument rejected";
    case OSTREL_E_NO_SOCKETS:
      return "the process has no free socket descriptors";
    case OSTREL_E_NOT_REGISTERED:
      return "no controller registered under the handle";
    case OSTREL_E_ADDRESS:
      return "not a usable IPv4 address (no name lookup is done)";
    case OSTREL_E_NET_DOWN:
      return "network is down or the socket layer failed";
    case OSTREL_E_NET_UNREACHABLE:
      return "network unreachable (no route, or a blackhole route)";
    case OSTREL_E_ABORTED:
      return "connection aborted";
    case OSTREL_E_RESET:
      return "connection reset by the controller";
    case OSTREL_E_NO_BUFFERS:
      return "no free local port or buffer space (too many recent connections)";
    case OSTREL_E_TIMED_OUT:
      return "timed out";
    case OSTREL_E_REFUSED:
      return "connection refused";
    case OSTREL_E_HOST_UNREACHABLE:
      return "host unreachable";
    case OSTREL_E_TABLE_FULL:
      return "all 64 controller slots are in use";
    case OSTREL_E_NOT_STARTED:
      return "Ostrel_Initialize was not called";
    default:
      return "other socket error";
  }
}

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version text, "V2.0". Constant; never modify or free it. */
OSTREL_API const char* OSTREL_CALL Ostrel_Version(void);

/* Outcome of this thread's most recent open, close or play call: 0 when it succeeded, else one
 * of the OSTREL_E_ codes above. For a play command, 0 means the frame was handed whole to the
 * connection, not that the controller read it: a controller that resets the connection right
 * after may still give 0, and TCP cannot say more without a reply, which the protocol has not. */
OSTREL_API int OSTREL_CALL Ostrel_LastErrorCode(void);

/* Starts the network layer and frees every registered wall controller. Always returns 0. */
OSTREL_API int OSTREL_CALL Ostrel_Initialize(void);

/* Stops the network layer; call once for each Ostrel_Initialize. The last call closes every
 * connection still open: a play command in flight on another thread then returns at once with
 * OSTREL_E_FINALIZED, and one begun afterwards gets OSTREL_E_NOT_STARTED. Always returns 0. */
OSTREL_API int OSTREL_CALL Ostrel_Finalize(void);

/* Registers a controller by dotted IPv4 address text (at most 31 characters) and TCP port (low
 * 16 bits used) in the lowest free of 64 slots and writes its handle (0..63) to *handle.
 * Returns 0, or -1 when every slot is taken or an argument is rejected (*handle untouched). */
OSTREL_API int OSTREL_CALL Ostrel_OpenTvWall(const char* address, int port, int* handle);

/* Releases a controller's slot. Returns 0 (also for a slot already free), -1 for a handle
 * outside 0..63. */
OSTREL_API int OSTREL_CALL Ostrel_CloseTvWall(int handle);

/* Plays the stream at url (under 256 bytes) on an area of a video output (text under 64 bytes).
 * Returns -1 for a handle outside 0..63 or an over-long or missing text, else 0. */
OSTREL_API int OSTREL_CALL Ostrel_StartPlay(int handle, const char* vidout, int area,
                                            const char* url);

/* Stops what plays on an area of a video output (text under 64 bytes). Returns 0 or -1 as above. */
OSTREL_API int OSTREL_CALL Ostrel_StopPlay(int handle, const char* vidout, int area);

/* Shows on area target_area of target_vidout what area source_area of source_vidout shows
 * (texts under 64 bytes). Returns 0 or -1 as above. */
OSTREL_API int OSTREL_CALL Ostrel_Duplicate(int handle, const char* source_vidout, int source_area,
                                            const char* target_vidout, int target_area);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_OSTREL_H */
