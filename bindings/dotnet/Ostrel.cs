// Drive a TV wall controller from .NET: the ostrel library's functions as two disposable classes
// and exceptions. Texts go to the library in the process's ANSI code page (UTF-8 under Mono on
// Linux). Needs ostrel.dll (Windows) or libostrel.so (Linux) where the runtime finds libraries.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Ostrel
{
    /// <summary>Outcome of an open, close or play call: 0, or a Windows Sockets error code (the
    /// same numbers on every platform).</summary>
    public enum Outcome
    {
        Ok = 0,
        NoMemory = 8,
        Finalized = 10004,
        Blocked = 10013,
        InvalidArg = 10022,
        NoSockets = 10024,
        NotRegistered = 10039,
        Address = 10049,
        NetDown = 10050,
        NetUnreachable = 10051,
        Aborted = 10053,
        Reset = 10054,
        NoBuffers = 10055,
        TimedOut = 10060,
        Refused = 10061,
        HostUnreachable = 10065,
        TableFull = 10068,
        NotStarted = 10093,
    }

    /// <summary>What each of the library's errors carries: the outcome code and its
    /// words.</summary>
    public interface IOstrelError
    {
        int Code { get; }
        string Text { get; }
    }

    /// <summary>The library rejected an argument: an unknown handle, a text too long or
    /// holding NUL.</summary>
    public class OstrelArgumentException : ArgumentException, IOstrelError
    {
        public OstrelArgumentException(int code, string what)
            : base(what + ": " + TvWallLibrary.OutcomeText(code) + " (" + code + ")")
        {
            Code = code;
        }
        public int Code { get; }
        public string Text => TvWallLibrary.OutcomeText(Code);
    }

    /// <summary>Every one of the library's 64 controller slots is in use.</summary>
    public class OstrelTableFullException : InvalidOperationException, IOstrelError
    {
        public OstrelTableFullException(string what)
            : base(what + ": " + TvWallLibrary.OutcomeText((int)Outcome.TableFull))
        {
        }
        public int Code => (int)Outcome.TableFull;
        public string Text => TvWallLibrary.OutcomeText(Code);
    }

    /// <summary>A command's frame did not reach the controller whole.</summary>
    public class OstrelDeliveryException : Exception, IOstrelError
    {
        public OstrelDeliveryException(int code, string what)
            : base(what + ": " + TvWallLibrary.OutcomeText(code) + " (" + code + ")")
        {
            Code = code;
        }
        public int Code { get; }
        public string Text => TvWallLibrary.OutcomeText(Code);
    }

    internal static class NativeMethods
    {
        const string Library = "ostrel";
        // What the 32-bit DLL uses; the 64-bit runtimes have one convention and ignore it.
        const CallingConvention Call = CallingConvention.StdCall;

        // The version text is the library's own constant: the marshaller must not free it.
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        internal static extern IntPtr Ostrel_Version();
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        internal static extern int Ostrel_LastErrorCode();
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        internal static extern int Ostrel_Initialize();
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        internal static extern int Ostrel_Finalize();
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi, ExactSpelling = true,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int Ostrel_OpenTvWall(string address, int port, out int handle);
        [DllImport(Library, CallingConvention = Call, ExactSpelling = true)]
        internal static extern int Ostrel_CloseTvWall(int handle);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi, ExactSpelling = true,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int Ostrel_StartPlay(int handle, string vidout, int area,
                                                    string url);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi, ExactSpelling = true,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int Ostrel_StopPlay(int handle, string vidout, int area);
        [DllImport(Library, CallingConvention = Call, CharSet = CharSet.Ansi, ExactSpelling = true,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int Ostrel_Duplicate(int handle, string sourceVidout, int sourceArea,
                                                    string targetVidout, int targetArea);
    }

    /// <summary>The started library; open walls through it. Threads may share one. Dispose
    /// closes its walls and, when no other TvWallLibrary is open, stops the library.</summary>
    public sealed class TvWallLibrary : IDisposable
    {
        // Open TvWallLibrary objects in the process: the first starts the library, the last
        // stops it. Starting it again would free every wall the others hold.
        static readonly object startLock = new object();
        static int started;

        readonly object wallsLock = new object();
        readonly HashSet<TvWall> walls = new HashSet<TvWall>();
        bool disposed;

        public TvWallLibrary()
        {
            lock (startLock)
            {
                if (started == 0) NativeMethods.Ostrel_Initialize();
                ++started;
            }
        }

        /// <summary>The library's version text, such as "V2.0".</summary>
        public static string Version => Marshal.PtrToStringAnsi(NativeMethods.Ostrel_Version());

        /// <summary>Short English words for an outcome code ("connection refused").</summary>
        public static string OutcomeText(int code)
        {
            switch ((Outcome)code)
            {
                case Outcome.Ok: return "success";
                case Outcome.NoMemory: return "out of memory";
                case Outcome.Finalized: return "stopped by Ostrel_Finalize while in progress";
                case Outcome.Blocked: return "blocked by a local firewall or route rule";
                case Outcome.InvalidArg: return "argument rejected";
                case Outcome.NoSockets: return "the process has no free socket descriptors";
                case Outcome.NotRegistered: return "no controller registered under the handle";
                case Outcome.Address: return "not a usable IPv4 address (no name lookup is done)";
                case Outcome.NetDown: return "network is down or the socket layer failed";
                case Outcome.NetUnreachable: return "network unreachable (no route, or a blackhole route)";
                case Outcome.Aborted: return "connection aborted";
                case Outcome.Reset: return "connection reset by the controller";
                case Outcome.NoBuffers:
                    return "no free local port or buffer space (too many recent connections)";
                case Outcome.TimedOut: return "timed out";
                case Outcome.Refused: return "connection refused";
                case Outcome.HostUnreachable: return "host unreachable";
                case Outcome.TableFull: return "all 64 controller slots are in use";
                case Outcome.NotStarted: return "Ostrel_Initialize was not called";
                default: return "other socket error";
            }
        }

        /// <summary>Registers the controller at a dotted IPv4 address and TCP port (no network
        /// contact). Throws OstrelArgumentException or OstrelTableFullException.</summary>
        public TvWall Open(string address, int port)
        {
            TvWall.CheckText(address, nameof(address));
            if (port < 0 || port > ushort.MaxValue)
                throw new ArgumentOutOfRangeException(nameof(port), port, "outside 0..65535");
            lock (wallsLock)
            {
                if (disposed) throw new ObjectDisposedException(nameof(TvWallLibrary));
                if (NativeMethods.Ostrel_OpenTvWall(address, port, out int handle) != 0)
                {
                    int code = NativeMethods.Ostrel_LastErrorCode();
                    string what = "cannot register " + address + ":" + port;
                    if (code == (int)Outcome.TableFull) throw new OstrelTableFullException(what);
                    throw new OstrelArgumentException(code, what);
                }
                var wall = new TvWall(this, handle, address, port);
                walls.Add(wall);
                return wall;
            }
        }

        // Under the lock, so that two threads disposing one wall free its slot once: the
        // second free could take the slot from a wall opened in between.
        internal void Release(TvWall wall)
        {
            lock (wallsLock)
            {
                if (!walls.Remove(wall)) return;
                wall.MarkDisposed();
                NativeMethods.Ostrel_CloseTvWall(wall.Handle);
            }
        }

        public void Dispose()
        {
            List<TvWall> held;
            lock (wallsLock)
            {
                if (disposed) return;
                disposed = true;
                held = new List<TvWall>(walls);
            }
            foreach (TvWall wall in held) wall.Dispose();
            lock (startLock)
            {
                if (--started == 0) NativeMethods.Ostrel_Finalize();
            }
        }
    }

    /// <summary>One registered controller. Each command opens its own TCP connection and blocks
    /// for at most 5 s while connecting and 2 s per wait while sending. A command returns 0 when
    /// its frame reached the controller; otherwise it throws OstrelDeliveryException, or with
    /// check: false returns the outcome code. Dispose frees the slot.</summary>
    public sealed class TvWall : IDisposable
    {
        readonly TvWallLibrary library;
        volatile bool disposed;

        internal TvWall(TvWallLibrary library, int handle, string address, int port)
        {
            this.library = library;
            Handle = handle;
            Address = address;
            Port = port;
        }

        public int Handle { get; }
        public string Address { get; }
        public int Port { get; }

        /// <summary>Plays the stream at url (under 256 bytes) on an area of a video
        /// output (text under 64 bytes).</summary>
        public int StartPlay(string vidout, int area, string url, bool check = true)
        {
            CheckText(vidout, nameof(vidout));
            CheckText(url, nameof(url));
            return Finish("start play",
                          NativeMethods.Ostrel_StartPlay(LiveHandle(), vidout, area, url), check);
        }

        /// <summary>Stops what plays on an area of a video output.</summary>
        public int StopPlay(string vidout, int area, bool check = true)
        {
            CheckText(vidout, nameof(vidout));
            return Finish("stop play", NativeMethods.Ostrel_StopPlay(LiveHandle(), vidout, area),
                          check);
        }

        /// <summary>Shows on the target area what the source area shows.</summary>
        public int Duplicate(string sourceVidout, int sourceArea, string targetVidout,
                             int targetArea, bool check = true)
        {
            CheckText(sourceVidout, nameof(sourceVidout));
            CheckText(targetVidout, nameof(targetVidout));
            return Finish("duplicate",
                          NativeMethods.Ostrel_Duplicate(LiveHandle(), sourceVidout, sourceArea,
                                                         targetVidout, targetArea),
                          check);
        }

        public void Dispose() => library.Release(this);

        internal void MarkDisposed() => disposed = true;

        // The marshaller would cut a text at its first NUL and send the rest unseen.
        internal static void CheckText(string text, string name)
        {
            if (text == null) throw new ArgumentNullException(name);
            if (text.IndexOf('\0') >= 0)
                throw new OstrelArgumentException((int)Outcome.InvalidArg, name + " holds NUL");
        }

        int LiveHandle()
        {
            // The slot may already belong to another wall.
            if (disposed) throw new ObjectDisposedException(nameof(TvWall));
            return Handle;
        }

        int Finish(string what, int result, bool check)
        {
            int code = NativeMethods.Ostrel_LastErrorCode();
            if (result != 0) throw new OstrelArgumentException(code, what + " rejected");
            if (code != 0 && check)
                throw new OstrelDeliveryException(code, what + " to " + Address + ":" + Port +
                                                            " not delivered");
            return code;
        }
    }
}
