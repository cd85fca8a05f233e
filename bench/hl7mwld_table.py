#!/usr/bin/env python3
"""Prints the table of bench/run-hl7mwld from the files a run left in its work folder."""
import glob
import json
import os
import re
import statistics
import sys

work, messages, serve_messages, rounds, entry_bytes, ticks_per_second, writer_mb = sys.argv[1:]
messages, serve_messages, rounds = int(messages), int(serve_messages), int(rounds)
ticks_per_second = int(ticks_per_second)


# Wall, user and system seconds of each run.
def timings(name):
    with open(f"{work}/{name}.times") as f:
        return [[float(value) for value in line.split()] for line in f]


def times(name):
    return [wall for wall, _, _ in timings(name)]


def cpu_ms_per_message(name):
    return statistics.median(user + system for _, user, system in timings(name)) / messages * 1e3


def runs(pattern):
    result = []
    for path in sorted(glob.glob(f"{work}/{pattern}")):
        with open(path) as f:
            result.append(json.load(f))
    return result


def one_run(measured, count, round_number):
    with open(f"{work}/{measured}-{count}-{round_number}.json") as f:
        return json.load(f)


def median_of(values, key):
    return statistics.median(value[key] for value in values)


def met(condition):
    return "met" if condition else "**missed**"


# perf trace -s: one block per thread, "name (tid), N events", then one line per system call
# with its calls, errors and total milliseconds. Returns {call: (calls, ms)} summed over the
# threads.
def traced_calls(path):
    totals = {}
    with open(path) as f:
        for line in f:
            call = re.match(r"^\s*(\w+)\s+(\d+)\s+(\d+)\s+([\d.]+)", line)
            if call:
                calls, ms = totals.get(call.group(1), (0, 0.0))
                totals[call.group(1)] = (calls + int(call.group(2)), ms + float(call.group(4)))
    return totals


rows = []
route, one, many = (statistics.median(times(name)) for name in ("route", "apply-one", "apply-many"))
rows += [
    (f"apply: {messages} orders in one file into an empty folder, every entry durable "
     f"(median of {len(times('apply-one'))})", f"{one:.3f} s, {messages / one:.0f} msg/s"),
    (f"apply: the same orders as {messages} files in one call "
     f"(median of {len(times('apply-many'))})", f"{many:.3f} s, {messages / many:.0f} msg/s"),
    (f"route: {messages} x (hl7mwl, dump2dcm, mv), one after the other, **nothing synced** "
     f"(median of {len(times('route'))})", f"{route:.2f} s, {messages / route:.1f} msg/s"),
    ("apply faster than the route: one file; many files",
     f"{route / one:.0f}x; {route / many:.0f}x"),
    ("CPU per message, user + system: route; apply one file; apply many files",
     "; ".join(f"{cpu_ms_per_message(name):.3f} ms"
               for name in ("route", "apply-one", "apply-many"))),
    ("route per message, step by step (one run each): hl7mwl; dump2dcm; mv",
     "; ".join(f"{times(f'route-{step}')[0] / messages * 1e3:.1f} ms"
               for step in ("hl7mwl", "dump2dcm", "mv"))),
]

def thread_ticks(path):
    with open(path) as f:
        return {int(tid): (int(user), int(system)) for tid, user, system in map(str.split, f)}


# The server's CPU in one run: microseconds per message, user and system, and the share of the
# run each thread was busy: the main thread (network, planning, acknowledgements, log) and the
# busiest other one (the committer).
def server_cpu(run, seconds):
    before, after = thread_ticks(f"{run}.before"), thread_ticks(f"{run}.after")
    with open(f"{run}.pid") as f:
        main = int(f.read())
    used = {tid: [a - b for a, b in zip(after[tid], before.get(tid, (0, 0)))] for tid in after}
    per_message = 1e6 / ticks_per_second / serve_messages
    busy = {tid: sum(ticks) / ticks_per_second / seconds for tid, ticks in used.items()}
    return {
        "user_us": sum(ticks[0] for ticks in used.values()) * per_message,
        "system_us": sum(ticks[1] for ticks in used.values()) * per_message,
        "main_busy": busy.get(main, 0),
        "committer_busy": max((share for tid, share in busy.items() if tid != main), default=0),
    }


serve = {}
for connections in (1, 4, 16):
    paths = sorted(glob.glob(f"{work}/serve-{connections}-*[0-9].json"))
    results = runs(f"serve-{connections}-*[0-9].json")
    cpu = [server_cpu(path[:-len(".json")], result["seconds"])
           for path, result in zip(paths, results)]
    serve[connections] = {
        "per_second": median_of(results, "per_second"),
        "median_ms": median_of(results, "median_ms"),
        "p99_ms": median_of(results, "p99_ms"),
        "client_us": median_of(results, "client_cpu_seconds") / serve_messages * 1e6,
        **{key: median_of(cpu, key) for key in cpu[0]},
    }
    s = serve[connections]
    rows.append((f"serve, {connections} connection{'s' if connections > 1 else ''}: "
                 f"msg/s; ACK latency median, 99th percentile (median of {len(results)} runs of "
                 f"{serve_messages})",
                 f"{s['per_second']:.0f} msg/s; {s['median_ms']:.2f} ms, {s['p99_ms']:.2f} ms"))

# The server's resident memory before and after each run, MiB: the medians over the rounds.
resident = {}
for connections in (1, 4, 16):
    pairs = []
    for path in sorted(glob.glob(f"{work}/serve-{connections}-*[0-9].rss")):
        with open(path) as f:
            pairs.append([int(kib) / 1024 for kib in f.read().split()])
    resident[connections] = [statistics.median(values) for values in zip(*pairs)]
rows.append((f"serve, 1, 4, 16 connections: resident memory before and after a run of "
             f"{serve_messages} (median)",
             ", ".join(f"{resident[c][0]:.1f} to {resident[c][1]:.1f} MiB" for c in (1, 4, 16))))

floors = {loops: median_of(runs(f"floor-{loops}-*.json"), "per_second") for loops in (1, 4, 16)}
best_loops = max(floors, key=floors.get)
lone = runs("floor-1-*.json")
rows += [
    (f"floor: 1, 4, 16 loops of write {entry_bytes} bytes, fsync, rename, fsync folder "
     f"(files/s, median of {len(lone)} runs of {serve_messages}, taking turns with serve)",
     ", ".join(f"{floors[loops]:.0f}" for loops in (1, 4, 16))),
    ("floor, 1 loop: time per file, median and 99th percentile; CPU per file",
     f"{median_of(lone, 'median_ms'):.2f} ms, {median_of(lone, 'p99_ms'):.2f} ms; "
     f"{median_of(lone, 'cpu_us_per_file'):.0f} us"),
]

route_rate = messages / route
ratio_route = serve[16]["per_second"] / route_rate
ratio_floor = serve[16]["per_second"] / floors[best_loops]
rows += [
    ("aim: serve at 16 connections at least 50x the route",
     f"{ratio_route:.0f}x: {met(ratio_route >= 50)}"),
    (f"aim: serve at 16 connections within 2x of the best floor ({best_loops} loops)",
     f"{ratio_floor:.2f} of the floor: {met(ratio_floor >= 0.5)}"),
    ("aim: ACK p99 at 1 connection under 5 ms",
     f"{serve[1]['p99_ms']:.2f} ms: {met(serve[1]['p99_ms'] < 5)}"),
]

# Round by round, since whatever else uses the disk meanwhile falls on both alike.
rounds_run = range(1, rounds + 1)
rows += [
    ("round by round: serve ACK p99 at 1 connection / floor p99 per file at 1 loop",
     ", ".join(f"{one_run('serve', 1, r)['p99_ms']:.1f}/{one_run('floor', 1, r)['p99_ms']:.1f} ms"
               for r in rounds_run)),
    ("round by round: serve at 16 connections / floor at 16 loops",
     ", ".join(f"{one_run('serve', 16, r)['per_second'] / floor_rate:.2f}"
               for r in rounds_run for floor_rate in [one_run('floor', 16, r)['per_second']])),
]

writer_serve, writer_floor = runs("writer-serve-*.json"), runs("writer-floor-*.json")
if writer_serve:
    rate = median_of(writer_serve, "per_second")
    rows += [
        (f"after another program wrote {writer_mb} MB to the disk, unflushed: serve, 16 "
         f"connections: msg/s; ACK median, 99th percentile, longest (median of "
         f"{len(writer_serve)} runs)",
         f"{rate:.0f} msg/s; {median_of(writer_serve, 'median_ms'):.2f} ms, "
         f"{median_of(writer_serve, 'p99_ms'):.2f} ms, {median_of(writer_serve, 'max_ms'):.0f} ms"),
        (f"after another program wrote {writer_mb} MB to the disk, unflushed: floor, 16 loops; "
         "serve / floor",
         f"{median_of(writer_floor, 'per_second'):.0f} files/s; "
         f"{rate / median_of(writer_floor, 'per_second'):.2f}"),
    ]

instant = {c: runs(f"instant-{c}.json")[0] for c in (1, 4, 16)}
rows += [
    ("load client against a receiver that answers at once: 1, 4, 16 connections",
     ", ".join(f"{instant[c]['per_second']:.0f}" for c in (1, 4, 16)) + " msg/s"),
    ("load client CPU per message during serve: 1, 4, 16 connections",
     ", ".join(f"{serve[c]['client_us']:.0f}" for c in (1, 4, 16)) + " us"),
]

with open(f"{work}/micro.json") as f:
    micro = {bench["name"]: bench["real_time"] / 1e3 for bench in json.load(f)["benchmarks"]}
rows += [
    ("CPU per message: split into segments; plan (checks, mapping, 2 UIDs, encoding)",
     f"{micro['mwld_split_message']:.1f} us; {micro['mwld_plan_message']:.1f} us"),
    ("CPU inside plan: encode the file; one derived UID (SHA-256)",
     f"{micro['mwld_encode_file']:.1f} us; {micro['mwld_derived_uid']:.1f} us"),
    ("serve CPU per message, user + system: 1, 4, 16 connections",
     ", ".join(f"{serve[c]['user_us']:.0f} + {serve[c]['system_us']:.0f}" for c in (1, 4, 16)) +
     " us"),
    ("serve threads busy, main (network, planning, ACKs, log) / committer: 1, 4, 16 connections",
     ", ".join(f"{serve[c]['main_busy']:.0%} / {serve[c]['committer_busy']:.0%}"
               for c in (1, 4, 16))),
]
flushes = traced_calls(f"{work}/trace-apply.txt")
rows.append(("apply, one file, traced: time in fdatasync (the journal, once per commit of up to "
             "500 messages) and syncfs (the checkpoint at its end)",
             f"{flushes.get('fdatasync', (0, 0.0))[1]:.1f} ms; "
             f"{flushes.get('syncfs', (0, 0.0))[1]:.1f} ms"))
for connections in (1, 16):
    calls = traced_calls(f"{work}/trace-{connections}.txt")
    traced = runs(f"traced-{connections}.json")[0]
    # One flush of the journal per commit, and one more for the header a checkpoint frees.
    commits, flush_ms = calls.get("fdatasync", (0, 0.0))
    commits = max(commits, 1)
    rows.append((
        f"serve, {connections} connection{'s' if connections > 1 else ''}, traced "
        f"({traced['per_second']:.0f} msg/s, replacing the entries of a load before it): "
        "commits, messages per commit; time in the journal's flushes",
        f"{commits:.0f}, {traced['messages'] / commits:.1f}; {flush_ms / 1e3:.2f} s = "
        f"{flush_ms / 1e3 / traced['seconds']:.0%} of the run"))

with open(f"{work}/load-average") as f:
    start, end = f.read().split()
rows.append(("the machine's load average over 1 minute, this run's own work included, at the start "
             f"and at the end ({os.cpu_count()} cores; other programs disturb the disk's times)",
             f"{start}, {end}"))

print("| Measure | Result |")
print("|---|---|")
for measure, result in rows:
    print(f"| {measure} | {result} |")
