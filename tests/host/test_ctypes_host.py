"""A Python host that loads the shared library with ctypes, as integrators do."""
import ctypes
import os
import sys
import unittest

LIBRARY_PATH = sys.argv.pop(1) if len(sys.argv) > 1 else "libostrel.so"
CAPTURE = os.environ.get("OSTREL_DEBUG_CAPTURE")


def load():
    lib = ctypes.CDLL(LIBRARY_PATH)
    lib.Ostrel_Version.restype = ctypes.c_char_p
    lib.Ostrel_OpenTvWall.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    lib.Ostrel_CloseTvWall.argtypes = [ctypes.c_int]
    return lib


def debug_lines():
    with open(CAPTURE, encoding="ascii") as f:
        return f.read().splitlines()


class HostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if CAPTURE and os.path.exists(CAPTURE):
            os.remove(CAPTURE)
        cls.lib = load()

    def open(self, address=b"127.0.0.1", port=9000):
        handle = ctypes.c_int(-7)
        result = self.lib.Ostrel_OpenTvWall(address, port, ctypes.byref(handle))
        return result, handle.value

    def test_session(self):
        lib = self.lib
        self.assertEqual(lib.Ostrel_Version(), b"V2.0")
        self.assertEqual(lib.Ostrel_Initialize(), 0)
        self.assertEqual(lib.Ostrel_Version(), b"V2.0")

        self.assertEqual([self.open(port=p) for p in range(64)], [(0, i) for i in range(64)])
        self.assertEqual(self.open(), (-1, -7))  # handle variable not written

        self.assertEqual(lib.Ostrel_CloseTvWall(5), 0)
        self.assertEqual(self.open(), (0, 5))
        self.assertEqual(lib.Ostrel_CloseTvWall(-1), -1)
        self.assertEqual(lib.Ostrel_CloseTvWall(64), -1)
        self.assertEqual(lib.Ostrel_CloseTvWall(7), 0)
        self.assertEqual(lib.Ostrel_CloseTvWall(7), 0)  # already free
        self.assertEqual(lib.Ostrel_LastErrorCode(), 0)

        self.assertEqual(lib.Ostrel_Initialize(), 0)  # frees every slot
        self.assertEqual(self.open(port=65536 + 80), (0, 0))
        self.assertEqual(self.open(address=b"x" * 32), (-1, -7))  # too long for the slot
        self.assertEqual(lib.Ostrel_LastErrorCode(), 10022)
        self.assertEqual(self.open(), (0, 1))
        self.assertEqual(lib.Ostrel_Finalize(), 0)

        expected = (["Ostrel_Initialize"] + ["Ostrel_OpenTvWall"] * 65 +
                    ["Ostrel_Initialize", "Ostrel_OpenTvWall", "Ostrel_OpenTvWall",
                     "Ostrel_Finalize"])
        self.assertIsNotNone(CAPTURE, "OSTREL_DEBUG_CAPTURE must name the capture file")
        self.assertEqual(debug_lines(), expected)


if __name__ == "__main__":
    unittest.main()
