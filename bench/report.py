#!/usr/bin/env python3
"""Turns the Google Benchmark JSON files of scripts/bench.sh into one Markdown report, one
JSON file of records (one per benchmark and input) and a chart drawn with gnuplot."""
import argparse
import json
import re
import os
import subprocess
import sys

MB = 1024 * 1024
PEERS = ["pugixml", "pugixml-minimal", "rapidxml", "tinyxml2", "expat", "libxml2"]
FLOORS = ["table-loop", "memchr"]
ROWS = ["ostrel"] + PEERS + FLOORS


def load(path):
    """The runs of one results file, or of every file in a folder of them (one per input)."""
    if os.path.isdir(path):
        return [b for name in sorted(os.listdir(path)) if name.endswith(".json")
                for b in load(os.path.join(path, name))]
    if not os.path.exists(path):
        return []
    with open(path) as f:
        data = json.load(f)
    # Medians of the rounds where there were rounds, else the single runs.
    runs = data.get("benchmarks", [])
    medians = [b for b in runs if b.get("aggregate_name") == "median"]
    if medians:
        return medians
    return [b for b in runs if b.get("run_type", "iteration") == "iteration"]


GENERATED = ["command-201B", "flat-1MB", "flat-16MB", "flat-128MB", "attributes-16MB", "text-16MB",
             "deep-16MB", "mixed-16MB", "dense-1KB", "dense-1MB", "dense-16MB", "dense-128MB"]
# Bytes a parse that indexes every element must hold beside the text: one 32-byte record each.
RECORD_BYTES = 32


def base_name(b):
    name = b.get("run_name", b["name"]).split("/repeats:")[0]
    return re.sub(r"/(iterations:\d+|real_time)", "", name)


def to_ns(b, clock="cpu_time"):
    """Time per iteration in ns: CPU time (the machine is shared), or wall time for rows that
    wait on the network."""
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b[clock] * scale


def input_order(name):
    if name in GENERATED:
        return (0, GENERATED.index(name), name)
    return (1, 0, name)


def fmt_mbs(v):
    return "%.0f" % v if v >= 10 else "%.1f" % v


def parse_section(results, records):
    table = {}  # input -> row -> (MB/s, heap ratio, ok)
    floors = {}  # input -> peak heap / (text + 32 bytes per element), ours
    inputs = []
    for b in results:
        _, row, inp = base_name(b).split("/", 2)
        size = b["input_bytes"]
        mbs = b["bytes_per_second"] / MB
        heap = b["peak_heap"]
        ok = b["ok"] >= 0.5
        if inp not in inputs:
            inputs.append(inp)
            inputs.sort(key=input_order)
        table.setdefault(inp, {})[row] = (mbs, heap / size, ok)
        if row == "ostrel" and b.get("elements"):
            floors[inp] = heap / (size + RECORD_BYTES * b["elements"])
        records.append({"benchmark": "parse", "name": row, "input": inp, "bytes": int(size),
                        "mb_per_s": round(mbs, 1), "peak_extra_heap_bytes": int(heap),
                        "accepted": ok})
    lines = ["## Parse: MB/s (median of the rounds; peak extra heap / input size below)", ""]
    lines.append("| input | size | " + " | ".join(ROWS) + " | ours vs best peer |")
    lines.append("|---|---:|" + "---:|" * len(ROWS) + "---:|")
    verdicts = []
    for inp in inputs:
        cells = []
        size = None
        for b in results:
            if base_name(b).endswith("/" + inp):
                size = b["input_bytes"]
        for row in ROWS:
            v = table[inp].get(row)
            if v is None:
                cells.append("")
            elif not v[2]:
                cells.append("fails")
            else:
                cells.append(fmt_mbs(v[0]))
        ours = table[inp].get("ostrel")
        peers = [(table[inp][p][0], p) for p in PEERS if p in table[inp] and table[inp][p][2]]
        best = max(peers) if peers else None
        ratio = "%.2fx %s" % (ours[0] / best[0], best[1]) if ours and best else ""
        if ours and best:
            verdicts.append((inp, ours[0] / best[0]))
        lines.append("| %s | %s | %s | %s |" % (inp, human(size), " | ".join(cells), ratio))
    lines += ["", "| input | " + " | ".join(ROWS[:1 + len(PEERS)]) + " |",
              "|---|" + "---:|" * (1 + len(PEERS))]
    for inp in inputs:
        cells = []
        for row in ROWS[:1 + len(PEERS)]:
            v = table[inp].get(row)
            cells.append("" if v is None else "%.1fx" % v[1])
        lines.append("| %s | %s |" % (inp, " | ".join(cells)))
    targets = []
    slower = [i for i, r in sorted(verdicts, key=lambda v: input_order(v[0])) if r < 1.0]
    targets.append(("SetText faster than every peer row on every input",
                    not slower, "slower on: " + ", ".join(slower) if slower else "all inputs"))
    flat = table.get("flat-16MB", {})
    if "ostrel" in flat and "pugixml" in flat:
        ratio = flat["ostrel"][0] / flat["pugixml"][0]
        targets.append(("at least 1.5x pugixml's default parse on flat 16 MB", ratio >= 1.5,
                        "%.2fx" % ratio))
    for inp in ("flat-1MB", "flat-16MB", "flat-128MB"):
        if "ostrel" in table.get(inp, {}):
            heap = table[inp]["ostrel"][1]
            targets.append(("peak extra heap at most 2.5x the input on %s" % inp, heap <= 2.5,
                            "%.2fx" % heap))
    for inp in ("dense-1KB", "dense-1MB", "dense-16MB", "dense-128MB"):
        if inp in floors:
            targets.append(("peak extra heap at most 1.1x (text + 32 bytes per element) on %s"
                            % inp, floors[inp] <= 1.1, "%.2fx" % floors[inp]))
    if floors:
        lines += ["", "Peak extra heap of ours / (text + 32 bytes per element): " + ", ".join(
            "%s %.2fx" % (inp, floors[inp]) for inp in sorted(floors, key=input_order))]
    return lines, table, inputs, targets


def scaling_section(results, records):
    lines = ["## Scaling", ""]
    by_size, by_elements, append = [], [], []
    for b in results:
        name = base_name(b)
        kind, arg = name.split("/")[0], int(name.split("/")[1])
        if kind == "SetTextBySize":
            mbs = b["bytes_per_second"] / MB
            by_size.append((arg, b["input_bytes"], mbs, b["peak_heap"], b["elements"]))
            records.append({"benchmark": "settext-by-size", "name": "ostrel",
                            "input": "flat-%d" % arg, "bytes": int(b["input_bytes"]),
                            "mb_per_s": round(mbs, 1),
                            "peak_extra_heap_bytes": int(b["peak_heap"])})
        elif kind == "SetTextByElements":
            ns = to_ns(b) / arg
            by_elements.append((arg, b["input_bytes"], ns, b["peak_heap"]))
            records.append({"benchmark": "settext-by-elements", "name": "ostrel",
                            "input": "flat-%d-elements" % arg, "bytes": int(b["input_bytes"]),
                            "ns_per_element": round(ns, 1),
                            "peak_extra_heap_bytes": int(b["peak_heap"])})
        elif kind == "AppendChildren":
            ns = to_ns(b) / arg
            append.append((arg, ns, b["peak_heap"]))
            records.append({"benchmark": "append-children", "name": "ostrel",
                            "input": "%d-children" % arg, "ns_per_element": round(ns, 1),
                            "peak_extra_heap_bytes": int(b["peak_heap"])})
    lines += ["| SetText, flat text of | MB/s | peak extra heap / input |", "|---:|---:|---:|"]
    for arg, size, mbs, heap, _ in sorted(by_size):
        lines.append("| %s | %s | %.2fx |" % (human(size), fmt_mbs(mbs), heap / size))
    lines += ["", "| SetText, elements | ns per element | heap bytes per element |",
              "|---:|---:|---:|"]
    for arg, size, ns, heap in sorted(by_elements):
        lines.append("| %d | %.1f | %.1f |" % (arg, ns, heap / arg))
    lines += ["", "| append N children | ns per element | heap bytes per element |",
              "|---:|---:|---:|"]
    for arg, ns, heap in sorted(append):
        lines.append("| %d | %.1f | %.1f |" % (arg, ns, heap / arg))
    return lines, sorted(by_size), sorted(append)


def human(size):
    for unit, scale in (("MB", MB), ("KB", 1024)):
        if size >= scale:
            return "%.0f %s" % (size / scale, unit)
    return "%d B" % size


def compose_section(results, records):
    names = {"OstrelComposeAndFrame": "ours: compose + frame",
             "HandWrittenSnprintf": "hand-written snprintf + frame",
             "HandWrittenReserved": "hand-written, one reserved buffer (floor)",
             "PugixmlTreeAndSave": "pugixml tree + save + frame",
             "Tinyxml2TreeAndPrint": "tinyxml2 tree + print + frame",
             "OstrelSmallDocument": "ours: new document, SetText of the command, end"}
    ns, allocations = {}, {}
    for b in results:
        name = base_name(b)
        ns[name] = to_ns(b)
        if "allocations" in b:
            allocations[name] = int(round(b["allocations"]))
        size = "%d-byte %s" % (int(b.get("frame_bytes", b.get("document_bytes", 0))),
                               "document" if "document_bytes" in b else "frame")
        record = {"benchmark": "compose-start-play", "name": name,
                  "input": "start play, " + size, "ns": round(ns[name], 1)}
        if name in allocations:
            record["heap_allocations"] = allocations[name]
        records.append(record)
    lines = ["## Composing and framing a start-play command", "",
             "Heap allocations: calls of operator new per iteration (counted for our rows and "
             "the hand-written ones).", "",
             "| row | ns | vs snprintf | vs floor | heap allocations |",
             "|---|---:|---:|---:|---:|"]
    base = ns.get("HandWrittenSnprintf")
    floor = ns.get("HandWrittenReserved")
    for key, label in names.items():
        if key in ns:
            composes = key != "OstrelSmallDocument"  # the ratios compare composing rows only
            lines.append("| %s | %.0f | %s | %s | %s |" % (
                label, ns[key], "%.2fx" % (ns[key] / base) if base and composes else "",
                "%.2fx" % (ns[key] / floor) if floor and composes else "",
                allocations.get(key, "")))
    targets = []
    ours, pugi = ns.get("OstrelComposeAndFrame"), ns.get("PugixmlTreeAndSave")
    if ours and base:
        targets.append(("compose + frame at most 3x the hand-written snprintf version",
                        ours <= 3 * base, "%.2fx" % (ours / base)))
    if ours and floor:
        targets.append(("compose + frame at most 3x the one-buffer floor", ours <= 3 * floor,
                        "%.2fx (%.0f ns vs %.0f ns)" % (ours / floor, ours, floor)))
    if ours and pugi:
        targets.append(("compose + frame faster than pugixml's tree + save", ours < pugi,
                        "%.2fx pugixml's time" % (ours / pugi)))
    small = allocations.get("OstrelSmallDocument")
    if small is not None:
        targets.append(("at most one heap allocation for a small document (the 201-byte command "
                        "from new document to its end)", small <= 1, "%d" % small))
    return lines, targets


def cpu_paths(folder):
    """The byte-finding paths the parse rows ran with, from the context of their runs."""
    if not os.path.isdir(folder):
        return None
    for name in sorted(os.listdir(folder)):
        if name.endswith(".json"):
            with open(os.path.join(folder, name)) as f:
                context = json.load(f).get("context", {})
            return "block classifier %s, stop lister %s" % (
                context.get("xml_block_classifier", "?"), context.get("xml_stop_lister", "?"))
    return None


def sse2_section(results, table, records):
    """Ours built with the SSE2 paths only, beside the peers of the main run."""
    lines = ["## Built with the SSE2 paths only (OSTREL_XML_SSE2_ONLY)", "",
             "| input | ours SSE2-only MB/s | ours widest | best peer | SSE2-only vs best peer |",
             "|---|---:|---:|---:|---:|"]
    targets = []
    for b in sorted(results, key=lambda b: input_order(base_name(b).split("/", 2)[2])):
        _, row, inp = base_name(b).split("/", 2)
        if row != "ostrel":
            continue
        mbs = b["bytes_per_second"] / MB
        records.append({"benchmark": "parse-sse2-only", "name": row, "input": inp,
                        "mb_per_s": round(mbs, 1)})
        peers = [(table[inp][p][0], p) for p in PEERS if p in table.get(inp, {})
                 and table[inp][p][2]]
        if not peers:
            continue
        best = max(peers)
        wide = table[inp].get("ostrel", (0,))[0]
        lines.append("| %s | %s | %s | %s %s | %.2fx |" % (inp, fmt_mbs(mbs), fmt_mbs(wide),
                                                         fmt_mbs(best[0]), best[1], mbs / best[0]))
        targets.append(("SSE2-only build ahead of every peer on %s" % inp, mbs > best[0],
                        "%.2fx %s" % (mbs / best[0], best[1])))
    return lines, targets


def net_section(results, records):
    """The delivery rows and targets, from the results folder."""
    folder = results
    path = os.path.join(folder, "net_delivery.json")
    if not os.path.exists(path):
        return [], []
    with open(path) as f:
        d = json.load(f)
    lib_calls = calls_per_command(folder, "library")
    min_calls = calls_per_command(folder, "minimal")
    lines = ["## Delivering one play command to a loopback controller", "",
             "%d commands from each client in interleaved blocks of %d (%d-byte frame), to a "
             "controller that polls for work; the same again to one whose threads sleep in "
             "accept() and recv(), then %d threads sending to that one. Each controller is a "
             "process of its own listening on %d ports that the commands take in turn, and "
             "checked every byte: %d connections whole, %d wrong; %d deliveries failed. "
             "Against a sleeping controller each connection's steps must wake it, and on a "
             "virtual machine waking a halted processor costs the waking client a hypervisor "
             "exit inside its own connect() or send(); the rows against the polling controller "
             "are the client's own cost. System calls: `strace -c -f` over 1,000 commands less "
             "a run of none." % (
                 d["commands_each"], d["block"], d["frame_bytes"], d["threads"],
                 d.get("sink_ports", 1), d["sink_whole"], d["sink_wrong"], d["failed"]), "",
             "| row | library | minimal blocking client | ratio |", "|---|---:|---:|---:|"]
    rows = [("median us", d["library_median_us"], d["minimal_median_us"]),
            ("p99 us", d["library_p99_us"], d["minimal_p99_us"])]
    if "sleeping_library_median_us" in d:
        rows += [("median us, controller sleeping", d["sleeping_library_median_us"],
                  d["sleeping_minimal_median_us"]),
                 ("p99 us, controller sleeping", d["sleeping_library_p99_us"],
                  d["sleeping_minimal_p99_us"])]
    rows.append(("%d threads, commands/s" % d["threads"], d["library_per_second"],
                 d["minimal_per_second"]))
    if lib_calls is not None and min_calls is not None:
        rows.append(("system calls per command", lib_calls, min_calls))
    for name, ours, theirs in rows:
        lines.append("| %s | %.1f | %.1f | %.2f |" % (name, ours, theirs, ours / theirs))
        records.append({"benchmark": "delivery", "name": name, "library": ours,
                        "minimal": theirs})
    targets = [
        ("delivery median at most 1.3x the minimal client",
         d["library_median_us"] <= 1.3 * d["minimal_median_us"],
         "%.2fx" % (d["library_median_us"] / d["minimal_median_us"])),
        ("delivery p99 at most 3x the minimal client's",
         d["library_p99_us"] <= 3 * d["minimal_p99_us"],
         "%.2fx" % (d["library_p99_us"] / d["minimal_p99_us"])),
        ("%d threads: at least 0.8x the throughput of as many minimal clients" % d["threads"],
         d["library_per_second"] >= 0.8 * d["minimal_per_second"],
         "%.2fx" % (d["library_per_second"] / d["minimal_per_second"])),
        ("every delivered byte checked and right", d["sink_wrong"] == 0 and d["failed"] == 0,
         "%d wrong, %d failed" % (d["sink_wrong"], d["failed"])),
    ]
    if lib_calls is not None:
        targets.append(("at most 8 system calls per delivered command", lib_calls <= 8,
                        "%.2f" % lib_calls))
    return lines, targets


def strace_calls(path):
    """The total number of system calls in an `strace -c` summary, or None."""
    if not os.path.exists(path):
        return None
    with open(path) as f:
        for line in f:
            fields = line.split()
            if fields and fields[-1] == "total":
                return int(fields[3])
    return None


def calls_per_command(folder, client, count=1000):
    """System calls per command: a run of `count` commands minus a run of none."""
    many = strace_calls(os.path.join(folder, "strace-%s-%d.txt" % (client, count)))
    none = strace_calls(os.path.join(folder, "strace-%s-0.txt" % client))
    if many is None or none is None:
        return None
    return (many - none) / count


def chart(path, work, table, inputs, by_size, append):
    dat = os.path.join(work, "parse.dat")
    rows = [r for r in ROWS if any(r in table[i] for i in inputs)]
    with open(dat, "w") as f:
        f.write("input " + " ".join(rows) + "\n")
        for inp in inputs:
            vals = []
            for r in rows:
                v = table[inp].get(r)
                vals.append("%.1f" % v[0] if v and v[2] else "0")
            f.write(inp + " " + " ".join(vals) + "\n")
    size_dat = os.path.join(work, "settext.dat")
    with open(size_dat, "w") as f:
        for _, size, mbs, _, _ in by_size:
            f.write("%d %.1f\n" % (size, mbs))
    append_dat = os.path.join(work, "append.dat")
    with open(append_dat, "w") as f:
        for n, ns, _ in append:
            f.write("%d %.1f\n" % (n, ns))
    script = """
set terminal pngcairo size 1400,1100 font ",10" noenhanced
set output '%(out)s'
set linetype 1 lc rgb '#d62728'
set linetype 2 lc rgb '#1f77b4'
set linetype 3 lc rgb '#aec7e8'
set linetype 4 lc rgb '#ff7f0e'
set linetype 5 lc rgb '#bcbd22'
set linetype 6 lc rgb '#2ca02c'
set linetype 7 lc rgb '#9467bd'
set linetype 8 lc rgb '#555555'
set linetype 9 lc rgb '#bbbbbb'
set multiplot
set size 1,0.55
set origin 0,0.45
set title 'Parse throughput per input (MB/s, log scale, higher is better; 0 = parse failed)'
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set logscale y
set yrange [10:*]
set xtics rotate by -25 scale 0
set key outside right
plot for [c=2:%(cols)d] '%(dat)s' using c:xtic(1) title columnheader
unset logscale y
set yrange [*:*]
set xtics norotate
unset style
set key inside
set size 0.5,0.45
set origin 0,0
set title 'SetText MB/s against text size (flat: linear time)'
set logscale x 2
set format x '%%.0b%%BB'
set xlabel 'text size'
set yrange [0:*]
set key bottom right
plot '%(size)s' using 1:2 with linespoints title 'SetText'
set size 0.5,0.45
set origin 0.5,0
set title 'Append N children: ns per element'
set logscale x 10
set format x '%%.0s%%c'
set xlabel 'N'
plot '%(append)s' using 1:2 with linespoints title 'InsertElement AsChild'
unset multiplot
""" % {"out": path, "cols": len(rows) + 1, "dat": dat, "size": size_dat,
       "append": append_dat}
    gp = os.path.join(work, "chart.gp")
    with open(gp, "w") as f:
        f.write(script)
    try:
        subprocess.run(["gnuplot", gp], check=True)
        return True
    except (OSError, subprocess.CalledProcessError) as e:
        print("report: no chart (%s)" % e, file=sys.stderr)
        return False


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--results", required=True)
    p.add_argument("--json", required=True)
    p.add_argument("--markdown", required=True)
    p.add_argument("--chart", required=True)
    p.add_argument("--work", required=True)
    a = p.parse_args()
    records = []
    lines = ["# ostrel benchmark report", "",
             "Input in memory, warm heap (freed memory kept in the process), each row run in "
             "many short rounds, the rounds of all rows in random order (the parse rows one "
             "input at a time), medians of the rounds, CPU time (wall time for delivery). "
             "Peak extra heap: the highest "
             "heap in use during one parse minus the heap before it, counted through the C "
             "library's allocation functions.", ""]
    parse_lines, table, inputs, targets = parse_section(
        load(os.path.join(a.results, "xml_parse")), records)
    paths = cpu_paths(os.path.join(a.results, "xml_parse"))
    if paths:
        lines += ["CPU paths of the parse: %s." % paths, ""]
    lines += parse_lines + [""]
    sse2 = load(os.path.join(a.results, "xml_parse_sse2"))
    if sse2:
        sse2_lines, sse2_targets = sse2_section(sse2, table, records)
        lines += sse2_lines + [""]
        targets += sse2_targets
    scaling_lines, by_size, append = scaling_section(
        load(os.path.join(a.results, "xml_scaling.json")), records)
    lines += scaling_lines + [""]
    compose_lines, compose_targets = compose_section(
        load(os.path.join(a.results, "command_compose.json")), records)
    lines += compose_lines + [""]
    targets += compose_targets
    net_lines, net_targets = net_section(a.results, records)
    if net_lines:
        lines += net_lines + [""]
        targets += net_targets
    lines += ["## Targets", "", "| target | met | measured |", "|---|---|---|"]
    for name, met, measured in targets:
        lines.append("| %s | %s | %s |" % (name, "yes" if met else "NO", measured))
    lines.append("")
    if chart(a.chart, a.work, table, inputs, by_size, append):
        lines.append("Chart: %s" % a.chart)
    lines.append("Records: %s" % a.json)
    with open(a.json, "w") as f:
        json.dump(records, f, indent=1)
    text = "\n".join(lines) + "\n"
    with open(a.markdown, "w") as f:
        f.write(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
