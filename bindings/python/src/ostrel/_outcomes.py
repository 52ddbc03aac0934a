"""Outcome codes of a command, and words for people to read."""
import enum


class Outcome(enum.IntEnum):
    """What became of an open, close or play call.

    0, or a Windows Sockets error code: the same numbers on every platform.
    """

    OK = 0
    NO_MEMORY = 8
    FINALIZED = 10004
    BLOCKED = 10013
    INVALID_ARG = 10022
    NO_SOCKETS = 10024
    NOT_REGISTERED = 10039
    ADDRESS = 10049
    NET_DOWN = 10050
    NET_UNREACHABLE = 10051
    ABORTED = 10053
    RESET = 10054
    NO_BUFFERS = 10055
    TIMED_OUT = 10060
    REFUSED = 10061
    HOST_UNREACHABLE = 10065
    TABLE_FULL = 10068
    NOT_STARTED = 10093


_TEXTS = {
    Outcome.OK: "success",
    Outcome.NO_MEMORY: "out of memory",
    Outcome.FINALIZED: "stopped by Ostrel_Finalize while in progress",
    Outcome.BLOCKED: "blocked by a local firewall or route rule",
    Outcome.INVALID_ARG: "argument rejected",
    Outcome.NO_SOCKETS: "the process has no free socket descriptors",
    Outcome.NOT_REGISTERED: "no controller registered under the handle",
    Outcome.ADDRESS: "not a usable IPv4 address (no name lookup is done)",
    Outcome.NET_DOWN: "network is down or the socket layer failed",
    Outcome.NET_UNREACHABLE: "network unreachable (no route, or a blackhole route)",
    Outcome.ABORTED: "connection aborted",
    Outcome.RESET: "connection reset by the controller",
    Outcome.NO_BUFFERS: "no free local port or buffer space (too many recent connections)",
    Outcome.TIMED_OUT: "timed out",
    Outcome.REFUSED: "connection refused",
    Outcome.HOST_UNREACHABLE: "host unreachable",
    Outcome.TABLE_FULL: "all 64 controller slots are in use",
    Outcome.NOT_STARTED: "Ostrel_Initialize was not called",
}

_OTHER = "other socket error"


def outcome_text(code: int) -> str:
    """Short English words for an outcome code ("connection refused"); never empty."""
    try:
        return _TEXTS[Outcome(code)]
    except ValueError:
        return _OTHER
