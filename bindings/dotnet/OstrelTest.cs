// The C# wrapper against libostrel: a loopback listener checks the bytes of each command, and the
// outcome list is checked against the C header (its path is the argument). Exit status 0: passed.
using System;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Text;
using System.Text.RegularExpressions;
using Ostrel;

static class OstrelTest
{
    static int failures;

    static void Check(bool condition, string what)
    {
        if (condition) return;
        ++failures;
        Console.Error.WriteLine("FAILED: " + what);
    }

    static byte[] Frame(string function, params string[] namesAndValues)
    {
        var text = new StringBuilder("<?xml version=\"1.0\"?>\r\n<iq type='command'>\r\n" +
                                     "<query xmlns='iq:command'>\r\n<Command>\r\n");
        text.Append("<Function>" + function + "</Function>\r\n");
        for (int i = 0; i < namesAndValues.Length; i += 2)
            text.AppendFormat("<{0}>{1}</{0}>\r\n", namesAndValues[i], namesAndValues[i + 1]);
        text.Append("</Command>\r\n</query>\r\n</iq>\r\n");
        byte[] document = Encoding.UTF8.GetBytes(text.ToString());  // what Mono sends for Ansi
        return BitConverter.GetBytes(document.Length + 4).Concat(document).ToArray();
    }

    // The next connection's bytes, whole (the library closes after sending).
    static byte[] Received(TcpListener listener)
    {
        using (TcpClient peer = listener.AcceptTcpClient())
        using (var data = new MemoryStream())
        {
            peer.GetStream().CopyTo(data);
            return data.ToArray();
        }
    }

    static void Expect(string what, Action call, Type type, Outcome code)
    {
        try
        {
            call();
            Check(false, what + ": nothing thrown");
        }
        catch (Exception e)
        {
            Check(e.GetType() == type, what + ": " + e);
            Check(!(e is IOstrelError error) || error.Code == (int)code, what + ": " + e.Message);
        }
    }

    static void Commands(TvWallLibrary lib, TcpListener listener, int closedPort)
    {
        TvWall wall = lib.Open("127.0.0.1", ((IPEndPoint)listener.LocalEndpoint).Port);
        Check(wall.StartPlay("Salle é", 2, "rtsp://c/s?a=1&b=2") == 0, "start play");
        Check(Received(listener).SequenceEqual(Frame("StartPlay", "Vidout", "Salle é", "Area", "2",
                                                     "Url", "rtsp://c/s?a=1&amp;b=2")), "start");
        wall.StopPlay("3", int.MaxValue);
        Check(Received(listener).SequenceEqual(Frame("StopPlay", "Vidout", "3", "Area",
                                                     "2147483647")), "stop");
        wall.Duplicate("a", 1, "b", int.MinValue);
        Check(Received(listener).SequenceEqual(Frame("Duplicate", "Vidoutf", "a", "Areaf", "1",
                                                     "Vidoutt", "b", "Areat", "-2147483648")),
              "duplicate");

        TvWall refused = lib.Open("127.0.0.1", closedPort);
        Type argument = typeof(OstrelArgumentException);
        Expect("long vidout", () => wall.StartPlay(new string('v', 64), 1, "u"), argument,
               Outcome.InvalidArg);
        Expect("long url", () => wall.StartPlay("1", 1, new string('u', 256)), argument,
               Outcome.InvalidArg);
        Expect("NUL", () => wall.StopPlay("a\0b", 1), argument, Outcome.InvalidArg);
        Expect("long address", () => lib.Open(new string('1', 32), 80), argument,
               Outcome.InvalidArg);
        Expect("refused", () => refused.StopPlay("1", 2), typeof(OstrelDeliveryException),
               Outcome.Refused);
        Check(refused.StopPlay("1", 2, check: false) == (int)Outcome.Refused, "check: false");
        Check(!listener.Pending(), "a rejected command sent nothing");
        wall.Dispose();
        Expect("disposed", () => wall.StopPlay("1", 1), typeof(ObjectDisposedException), 0);
    }

    static void DisposeReleasesSlots(int port)
    {
        using (var first = new TvWallLibrary())
        {
            for (int i = 0; i < 63; ++i) first.Open("127.0.0.1", port);
            TvWall spare = first.Open("127.0.0.1", port);
            spare.Dispose();
            using (var second = new TvWallLibrary())  // shares the start: keeps first's walls
            {
                Check(second.Open("127.0.0.1", port).Handle == 63, "disposed slot taken next");
                spare.Dispose();  // again: must not free the slot another wall now holds
                Expect("full", () => first.Open("127.0.0.1", port),
                       typeof(OstrelTableFullException), Outcome.TableFull);
            }
        }
        using (var lib = new TvWallLibrary())
            Check(lib.Open("127.0.0.1", port).Handle == 0, "Dispose released every slot");
    }

    static void OutcomesMatchHeader(string header)
    {
        var names = Regex.Matches(header, @"#define OSTREL_(?:E_)?(\w+) (\d+)\b").Cast<Match>()
            .ToDictionary(m => int.Parse(m.Groups[2].Value), m => string.Concat(
                m.Groups[1].Value.Split('_').Select(w => w[0] + w.Substring(1).ToLower())));
        var texts = Regex.Matches(header, "case OSTREL_(?:E_)?(\\w+):\\s*return \"([^\"]*)\";")
            .Cast<Match>().Select(m => m.Groups[2].Value).ToList();
        var ours = Enum.GetValues(typeof(Outcome)).Cast<Outcome>().ToList();
        Check(ours.Select(o => o.ToString()).SequenceEqual(names.Values), "outcome names");
        Check(ours.Select(o => (int)o).SequenceEqual(names.Keys), "outcome codes");
        Check(ours.Select(o => TvWallLibrary.OutcomeText((int)o)).SequenceEqual(texts), "texts");
        Check(header.Contains("default:\n      return \"" + TvWallLibrary.OutcomeText(1) + "\""),
              "text of an unlisted code");
    }

    static int Main(string[] args)
    {
        OutcomesMatchHeader(File.ReadAllText(args[0]));
        Check(TvWallLibrary.Version == "V2.0", "version");
        var listener = new TcpListener(IPAddress.Loopback, 0);
        var closed = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        closed.Start();
        closed.Stop();
        using (var lib = new TvWallLibrary())
            Commands(lib, listener, ((IPEndPoint)closed.LocalEndpoint).Port);
        DisposeReleasesSlots(((IPEndPoint)listener.LocalEndpoint).Port);
        listener.Stop();
        Console.WriteLine(failures == 0 ? "passed" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
