// The C# wrapper against libostrel: a recording controller on loopback checks the bytes of each
// command; the outcome list is checked against the C header. Exit status 0 when all hold.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using Ostrel;

static class OstrelTest
{
    const int WaitMs = 10000;
    static int failures;

    static void Check(bool condition, string what)
    {
        if (condition) return;
        ++failures;
        Console.Error.WriteLine("FAILED: " + what);
    }

    // A controller on a free loopback port that keeps every connection's bytes, whole.
    sealed class Recorder : IDisposable
    {
        readonly TcpListener listener = new TcpListener(IPAddress.Loopback, 0);
        readonly BlockingCollection<byte[]> frames = new BlockingCollection<byte[]>();

        public Recorder()
        {
            listener.Start();
            new Thread(Serve) { IsBackground = true }.Start();
        }

        public int Port => ((IPEndPoint)listener.LocalEndpoint).Port;

        void Serve()
        {
            try
            {
                while (true)
                {
                    TcpClient peer = listener.AcceptTcpClient();
                    using (peer)
                    using (var data = new MemoryStream())
                    {
                        peer.GetStream().CopyTo(data);
                        frames.Add(data.ToArray());
                    }
                }
            }
            catch (SocketException) { }  // stopped
            catch (ObjectDisposedException) { }
        }

        public byte[] Next()
        {
            frames.TryTake(out byte[] frame, WaitMs);
            return frame ?? new byte[0];
        }

        public bool Idle() => frames.Count == 0;

        public void Dispose() => listener.Stop();
    }

    static byte[] Frame(string function, params string[] namesAndValues)
    {
        var lines = new List<string> { "<?xml version=\"1.0\"?>", "<iq type='command'>",
                                       "<query xmlns='iq:command'>", "<Command>",
                                       "<Function>" + function + "</Function>" };
        for (int i = 0; i < namesAndValues.Length; i += 2)
            lines.Add("<" + namesAndValues[i] + ">" + namesAndValues[i + 1] + "</" +
                      namesAndValues[i] + ">");
        lines.AddRange(new[] { "</Command>", "</query>", "</iq>" });
        byte[] document = Encoding.UTF8.GetBytes(string.Concat(lines.Select(l => l + "\r\n")));
        return BitConverter.GetBytes(document.Length + 4).Concat(document).ToArray();
    }

    static void CommandsArriveByteExact(TvWallLibrary lib, Recorder recorder)
    {
        var cases = new[] {
            Case("start play", w => w.StartPlay("1", 2, "rtsp://cam/sub?fps=15&res=720"),
                 Frame("StartPlay", "Vidout", "1", "Area", "2", "Url",
                       "rtsp://cam/sub?fps=15&amp;res=720")),
            Case("start play, UTF-8 under Mono", w => w.StartPlay("Salle é", -1, "u"),
                 Frame("StartPlay", "Vidout", "Salle é", "Area", "-1", "Url", "u")),
            Case("stop play", w => w.StopPlay("3", int.MaxValue),
                 Frame("StopPlay", "Vidout", "3", "Area", "2147483647")),
            Case("duplicate", w => w.Duplicate("a", 1, "b", int.MinValue),
                 Frame("Duplicate", "Vidoutf", "a", "Areaf", "1", "Vidoutt", "b", "Areat",
                       "-2147483648")),
        };
        using (TvWall wall = lib.Open("127.0.0.1", recorder.Port))
        {
            foreach (var c in cases)
            {
                Check(c.Item2(wall) == 0, c.Item1 + ": outcome");
                Check(recorder.Next().SequenceEqual(c.Item3), c.Item1 + ": bytes");
            }
        }
    }

    static Tuple<string, Func<TvWall, int>, byte[]> Case(string name, Func<TvWall, int> send,
                                                         byte[] frame) =>
        Tuple.Create(name, send, frame);

    static void Raises<T>(Action action, int code, string what) where T : Exception
    {
        try
        {
            action();
            Check(false, what + ": no exception");
        }
        catch (T e)
        {
            Check(code < 0 || ((IOstrelError)e).Code == code, what + ": code " + e.Message);
        }
        catch (Exception e)
        {
            Check(false, what + ": " + e.GetType().Name + " " + e.Message);
        }
    }

    static void Exceptions(TvWallLibrary lib, Recorder recorder)
    {
        var probe = new TcpListener(IPAddress.Loopback, 0);
        probe.Start();
        int closedPort = ((IPEndPoint)probe.LocalEndpoint).Port;
        probe.Stop();
        TvWall wall = lib.Open("127.0.0.1", recorder.Port);
        TvWall refused = lib.Open("127.0.0.1", closedPort);
        var rejected = new Dictionary<string, Action> {
            {"vidout of 64 bytes", () => wall.StartPlay(new string('v', 64), 1, "u")},
            {"url of 256 bytes", () => wall.StartPlay("1", 1, new string('u', 256))},
            {"NUL in a text", () => wall.Duplicate("a", 1, "b\0c", 2)},
            {"address of 32 characters", () => lib.Open(new string('1', 32), 80)},
        };
        foreach (var c in rejected)
            Raises<OstrelArgumentException>(c.Value, (int)Outcome.InvalidArg, c.Key);
        Raises<OstrelDeliveryException>(() => refused.StopPlay("1", 2), (int)Outcome.Refused,
                                        "refused");
        Check(refused.StartPlay("1", 2, "u", check: false) == (int)Outcome.Refused, "check: false");
        Check(recorder.Idle(), "rejected commands sent nothing");
        wall.Dispose();
        Raises<ObjectDisposedException>(() => wall.StopPlay("1", 1), -1, "disposed wall");
        refused.Dispose();
    }

    static void DisposeReleasesSlots(Recorder recorder)
    {
        var walls = new List<TvWall>();
        using (var lib = new TvWallLibrary())
        {
            for (int i = 0; i < 64; ++i) walls.Add(lib.Open("127.0.0.1", recorder.Port));
            Raises<OstrelTableFullException>(() => lib.Open("127.0.0.1", 1), 10068, "table full");
            walls[7].Dispose();
            using (TvWall again = lib.Open("127.0.0.1", 2))
                Check(again.Handle == 7, "a disposed wall's slot is taken next");
            // A second library object shares the start: the first one's walls stay registered.
            using (var second = new TvWallLibrary())
                Check(second.Open("127.0.0.1", 3).Handle == 7, "second library object");
            walls[5].StopPlay("5", 5);
            Check(recorder.Next().SequenceEqual(Frame("StopPlay", "Vidout", "5", "Area", "5")),
                  "a wall outlives another library object");
        }
        using (var lib = new TvWallLibrary())
            Check(lib.Open("127.0.0.1", 4).Handle == 0, "Dispose released every slot");
    }

    static string PascalCase(string name) =>
        string.Concat(name.Split('_').Select(w => w.Substring(0, 1) + w.Substring(1).ToLower()));

    static void OutcomesMatchHeader(string headerPath)
    {
        string header = File.ReadAllText(headerPath);
        var codes = Regex.Matches(header, @"#define OSTREL_(?:E_)?(\w+) (\d+)\b").Cast<Match>()
                        .ToDictionary(m => PascalCase(m.Groups[1].Value),
                                      m => int.Parse(m.Groups[2].Value));
        var texts = Regex.Matches(header, "case OSTREL_(?:E_)?(\\w+):\\s*return \"([^\"]*)\";")
                        .Cast<Match>()
                        .ToDictionary(m => codes[PascalCase(m.Groups[1].Value)],
                                      m => m.Groups[2].Value);
        var ours = Enum.GetValues(typeof(Outcome)).Cast<Outcome>().ToList();
        Check(ours.Count == codes.Count, "as many outcomes as the header has");
        foreach (Outcome o in ours)
        {
            Check(codes.TryGetValue(o.ToString(), out int code) && code == (int)o,
                  "header code of " + o);
            Check(texts.TryGetValue((int)o, out string text) &&
                      text == TvWallLibrary.OutcomeText((int)o),
                  "header text of " + o);
        }
        Match other = Regex.Match(header, "default:\\s*return \"([^\"]*)\";");
        Check(other.Success && TvWallLibrary.OutcomeText(12345) == other.Groups[1].Value,
              "text of an unlisted code");
    }

    static int Main(string[] args)
    {
        OutcomesMatchHeader(args[0]);
        Check(TvWallLibrary.Version == "V2.0", "version");
        using (var recorder = new Recorder())
        {
            using (var lib = new TvWallLibrary())
            {
                CommandsArriveByteExact(lib, recorder);
                Exceptions(lib, recorder);
            }
            DisposeReleasesSlots(recorder);
        }
        Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
