#!/usr/bin/env python3
"""The messages and measurements of bench/run-lifecycle, one subcommand each.

  orders ENTRIES FOLDER          the orders of a worklist of ENTRIES entries, in files of at
                                 most 10,000 messages (FOLDER/chunk-NNN.hl7, LF segment ends)
  load COUNT FIRST FILE          COUNT new orders, numbers FIRST..., as MLLP frames in FILE
  lock ...                       the lock's hold per message, watched from outside
  startup ...                    serve's start on a folder: until it listens, until its first AA
  find ...                       C-FIND worklist queries against wlmscpfs and Orthanc
  table WORK                     the markdown table of the run's results

The folder's orders are those of bench/generate_orders.py (each of 397 patients holds about
ENTRIES / 397 of them), and three patients more with exactly three orders each (Q0000001 to
Q0000003), whose entries the ADT messages update and merge. Every result is one JSON line.
"""
import argparse
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from generate_orders import message  # noqa: E402  the generator's message shape

CHUNK = 10_000  # messages per file apply reads
PATIENTS = 397  # the generator's patients: patient = number % PATIENTS
ISSUER = "HOSP"  # PID-3.4 of the generated orders
FEW = 3  # patients with exactly FEW entries, each
EXTRA_FIRST = 9_000_000  # order numbers of their orders: far above any generated one
TIMEOUT = 600  # seconds: the bound of every wait here
START_BOUND = 600  # seconds a start of serve may take before the run gives up
FRAME_END = b"\x1c\r"


def few_patient(k):
    """The ID of the k-th (1-based) patient with FEW entries."""
    return f"Q{k:07}"


def merged_patient(k):
    """The ID a merge moves the k-th such patient's entries to (no entries of its own)."""
    return f"R{k:07}"


def extra_orders():
    """FEW orders for each of the FEW patients: generated orders whose PID-3 is replaced. The
    numbers of one patient's orders differ by a multiple of PATIENTS, so that the generator
    gives them the same name, birth date and sex."""
    for k in range(1, FEW + 1):
        for n in range(FEW):
            number = EXTRA_FIRST + k + n * PATIENTS
            segments = message(number)
            generated = f"P{number % PATIENTS:07}^^^{ISSUER}^MR"
            assert generated in segments[1]
            segments[1] = segments[1].replace(generated, f"{few_patient(k)}^^^{ISSUER}^MR")
            yield segments


def encoded(segments, end):
    return end.join(segment.encode("latin-1") for segment in segments) + end


def framed(segments):
    return b"\x0b" + encoded(segments, b"\r") + FRAME_END


def write_orders(arguments):
    """ENTRIES - FEW * FEW generated orders and the extra ones, CHUNK to a file."""
    generated = arguments.entries - FEW * FEW
    if generated < 1:
        sys.exit(f"lifecycle: {arguments.entries} entries: need more than {FEW * FEW}")
    os.makedirs(arguments.folder, exist_ok=True)
    messages = (message(number) for number in range(1, generated + 1))
    everything = list(messages) + list(extra_orders())
    for start in range(0, len(everything), CHUNK):
        with open(f"{arguments.folder}/chunk-{start // CHUNK:03}.hl7", "wb") as out:
            for segments in everything[start:start + CHUNK]:
                out.write(encoded(segments, b"\n"))


def write_load(arguments):
    with open(arguments.file, "wb") as out:
        for number in range(arguments.first, arguments.first + arguments.count):
            out.write(framed(message(number)))


# ---------------------------------------------------------------------------------------------
# MLLP

def send(sock, frame, timeout=TIMEOUT):
    """Sends one frame and returns its acknowledgement's bytes (without the frame bytes)."""
    sock.settimeout(timeout)
    sock.sendall(frame)
    answer = b""
    deadline = time.monotonic() + timeout
    while not answer.endswith(FRAME_END):
        if time.monotonic() > deadline:
            raise TimeoutError("no acknowledgement")
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("the server closed the connection")
        answer += chunk
    return answer.strip(b"\x0b\x1c\r")


def ack_summary(answer):
    """'AA', or the code with the ERR code and MSA-3 ('AR 200 unsupported message type')."""
    segments = {line.split(b"|")[0]: line.split(b"|") for line in answer.split(b"\r") if line}
    msa = segments.get(b"MSA", [])
    code = msa[1].decode("latin-1") if len(msa) > 1 else "?"
    if code == "AA":
        return code
    text = msa[3].decode("latin-1") if len(msa) > 3 else ""
    for escape, character in [("\\F\\", "|"), ("\\S\\", "^"), ("\\T\\", "&"),
                              ("\\R\\", "~"), ("\\E\\", "\\")]:
        text = text.replace(escape, character)
    # ERR-3 from 2.5 on, ERR-1 before: the first field that starts with three digits.
    err = [field.decode("latin-1") for field in segments.get(b"ERR", [])[1:]]
    codes = [f.split("^")[0] for f in err if re.match(r"\d{3}\^", f) or re.fullmatch(r"\d{3}", f)]
    if not codes:
        codes = [m.group(1) for f in err for m in [re.search(r"\^(\d{3})\^", f)] if m]
    return " ".join(part for part in [code, codes[0] if codes else "", text] if part)


def connect(port, timeout=TIMEOUT):
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


# ---------------------------------------------------------------------------------------------
# The lock's hold per message

class Watcher:
    """bench/lock_watch on a lockfile, its lines read as they come (and copied to `trace`)."""

    def __init__(self, tool, lockfile, seconds, trace):
        self.process = subprocess.Popen([tool, lockfile, str(seconds)], stdout=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, text=True)
        self.trace = open(trace, "w")
        self.holds = []  # (pid, taken, freed, ms)
        self.holder = 0  # the process holding the lock, 0 when free, as of `seen`
        self.free_since = None
        self.seen = None  # every change up to this time has been read
        self.ready = threading.Event()
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if not self.ready.wait(30):
            self.stop()
            raise RuntimeError("lock_watch did not start")

    def _read(self):
        for line in self.process.stdout:
            self.trace.write(line)
            words = line.split()
            with self.changed:
                if words[0] == "ready":
                    self.free_since = self.seen = float(words[1])
                    self.ready.set()
                elif words[0] == "at":
                    self.seen = float(words[1])
                elif words[0] == "taken":
                    self.holder = int(words[1])
                    self.seen = float(words[2])
                elif words[0] in ("held", "open"):
                    self.holds.append((int(words[1]), float(words[2]), float(words[3]),
                                       float(words[4])))
                    self.holder = 0
                    self.free_since = self.seen = float(words[3])
                self.changed.notify_all()

    def wait_quiet(self, after, seconds, bound=TIMEOUT):
        """Waits until every change up to `after` has been read and the lock has then been free
        for `seconds`; at most `bound` seconds."""
        deadline = time.monotonic() + bound
        with self.changed:
            while time.monotonic() < deadline:
                if (self.seen >= after + seconds and self.holder == 0
                        and self.seen - self.free_since >= seconds):
                    return
                if self.process.poll() is not None:
                    break
                self.changed.wait(0.05)
        raise RuntimeError(f"the lock was not free for {seconds} s within {bound} s")

    def holds_between(self, pid, start, end):
        """The holds by `pid` (or by an open file description, -1) that overlap start to end."""
        with self.changed:
            return [h for h in self.holds if h[0] in (pid, -1) and h[1] <= end and h[2] >= start]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=30)
        self.reader.join(timeout=30)
        self.trace.close()


def cancel(number, control):
    """The generated order `number` cancelled: its own message with ORC-1 and ORC-5 CA."""
    segments = message(number)
    segments[0] = re.sub(r"\|MSG\d+\|", f"|{control}|", segments[0])
    orc = segments[3].split("|")
    orc[1], orc[5] = "CA", "CA"
    segments[3] = "|".join(orc)
    return segments


def adt_update(patient, family, control):
    """ADT^A08: the patient's name, birth date and sex changed."""
    return [
        f"MSH|^~\\&|ADT|HOSP|HL7MWLD|RAD|20261208120000||ADT^A08^ADT_A01|{control}|P|2.5.1",
        "EVN|A08|20261208120000",
        f"PID|1||{patient}^^^{ISSUER}^MR||{family}^NEWGIVEN||19700101|F",
        "PV1|1|O",
    ]


def adt_merge(survivor, prior, control):
    """ADT^A40: the prior patient's entries become the survivor's."""
    return [
        f"MSH|^~\\&|ADT|HOSP|HL7MWLD|RAD|20261208120000||ADT^A40^ADT_A39|{control}|P|2.5.1",
        "EVN|A40|20261208120000",
        f"PID|1||{survivor}^^^{ISSUER}^MR||MERGED^GIVEN||19700101|M",
        f"MRG|{prior}^^^{ISSUER}^MR",
    ]


def lock_messages(generated, kinds, repeats):
    """(kind, segments) of the measured messages: cancels of generated orders spread over the
    folder; updates of the FEW patients in turn, each a new name; merges that each move one
    patient's FEW entries to a patient without entries (and, past FEW, back again)."""
    plan = []
    control = iter(range(1, 10_000))
    if "cancel" in kinds:
        for r in range(repeats):
            number = 1 + (r + 1) * (generated - 1) // (repeats + 1)
            plan.append(("cancel", cancel(number, f"LCCA{next(control):04}")))
    if "update" in kinds:
        for r in range(repeats):
            plan.append(("update", adt_update(few_patient(1 + r % FEW), f"NEWFAMILY{r + 1}",
                                              f"LCUP{next(control):04}")))
    if "merge" in kinds:
        for r in range(repeats):
            k = 1 + r % FEW
            prior, survivor = few_patient(k), merged_patient(k)
            if (r // FEW) % 2:
                prior, survivor = survivor, prior
            plan.append(("merge", adt_merge(survivor, prior, f"LCMG{next(control):04}")))
    return plan


def measure_lock(arguments):
    """Sends each message on one connection after the lock has been free a while, and prints
    per message: its kind, the answer, the holds of serve's lock between sending it and its
    acknowledgement (with the lock free before, every hold in that time is the message's), and
    the entries its log lines name."""
    watcher = Watcher(arguments.watcher, arguments.lockfile, 3 * TIMEOUT, arguments.trace)
    try:
        watcher.wait_quiet(time.monotonic(), 1.0)
        with connect(arguments.port) as sock:
            for kind, segments in lock_messages(arguments.generated, arguments.kinds.split(","),
                                                arguments.repeats):
                log_size = os.path.getsize(arguments.log)
                sent = time.monotonic()
                answer = send(sock, framed(segments))
                acknowledged = time.monotonic()
                watcher.wait_quiet(acknowledged, 0.2)
                holds = watcher.holds_between(arguments.pid, sent, acknowledged)
                with open(arguments.log, "rb") as log:
                    log.seek(log_size)
                    logged = log.read().decode("utf-8", "replace")
                print(json.dumps({
                    "size": arguments.size, "kind": kind, "answer": ack_summary(answer),
                    "holds": len(holds), "held_ms": sum(h[3] for h in holds),
                    "ack_ms": (acknowledged - sent) * 1e3,
                    "entries": len(set(re.findall(r"hl7mwld-[^\s,]+?\.wl", logged))),
                    "updated": len(re.findall(r"\bupdated\b", logged)),
                }), flush=True)
    finally:
        watcher.stop()


# ---------------------------------------------------------------------------------------------
# serve's start

def stop_process(process, timeout=30):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=timeout)


def measure_startup(arguments):
    """Starts serve on the folder, sends one new order as soon as its log says it listens, and
    prints the seconds from the start of the process to that line and to the order's AA."""
    if arguments.cold:
        subprocess.run(["sync"], check=True, timeout=TIMEOUT)
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
    with open(arguments.order, "rb") as f:
        frame = f.read()
    with open(arguments.log, "wb") as log:
        started = time.monotonic()
        process = subprocess.Popen(
            [arguments.hl7mwld, "serve", "--worklist", arguments.folder, "--listen",
             f"127.0.0.1:{arguments.port}"], stderr=log, stdin=subprocess.DEVNULL)
    try:
        listening = None
        deadline = started + START_BOUND
        while listening is None:
            with open(arguments.log, "rb") as log:
                if b"listening on" in log.read():
                    listening = time.monotonic()
                    break
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"serve did not start on {arguments.folder}")
            time.sleep(0.001)
        with connect(arguments.port) as sock:
            answer = send(sock, frame)
        answered = time.monotonic()
    finally:
        stop_process(process)
    with open(arguments.log, "rb") as log:
        index_lines = [line.decode("utf-8", "replace").strip() for line in log
                       if b"index" in line.lower()]
    print(json.dumps({"label": arguments.label, "cold": arguments.cold,
                      "listening_s": listening - started, "first_ack_s": answered - started,
                      "answer": ack_summary(answer), "index_lines": index_lines[:3]}), flush=True)


# ---------------------------------------------------------------------------------------------
# C-FIND

def worklist_servers():
    """The test suite's way of starting wlmscpfs and Orthanc on a folder."""
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, "..", "tests"))
    sys.path.insert(0, os.path.join(here, "..", "tests", "integration"))
    import worklist_servers as servers
    return servers


def query_keys(date, modality):
    """A modality's worklist query: its modality and the day, and the keys it shows."""
    step = "ScheduledProcedureStepSequence[0]."
    return [f"{step}Modality={modality}", f"{step}ScheduledProcedureStepStartDate={date}",
            f"{step}ScheduledStationAETitle", f"{step}ScheduledProcedureStepStartTime",
            f"{step}ScheduledPerformingPhysicianName", f"{step}ScheduledProcedureStepDescription",
            f"{step}ScheduledProcedureStepID", "PatientName", "PatientID", "PatientBirthDate",
            "PatientSex", "AccessionNumber", "RequestedProcedureID",
            "RequestedProcedureDescription", "StudyInstanceUID", "ReferringPhysicianName"]


def find_once(servers, server, keys):
    """Seconds of one findscu run and the number of entries it received."""
    command = ["findscu", "-v", "-sr", "-W", "-to", str(TIMEOUT), "-ta", str(TIMEOUT), "-td",
               str(TIMEOUT), "-aet", servers.CALLING_AET, "-aec", server.called_aet]
    for key in keys:
        command += ["-k", key]
    command += [servers.HOST, str(server.port)]
    started = time.monotonic()
    result = subprocess.run(command, capture_output=True, timeout=TIMEOUT + 60)
    seconds = time.monotonic() - started
    log = (result.stdout + result.stderr).decode("latin-1")
    if result.returncode != 0 or "Received Final Find Response (Success)" not in log:
        raise RuntimeError(f"{server.name}: findscu failed:\n{log[-2000:]}")
    return seconds, len(re.findall(r"Received Find Response \d+ \(Pending\)", log))


def echo_once(servers, server):
    """Seconds of one echoscu run: what a query costs besides the search (the tool's start,
    the association)."""
    command = ["echoscu", "-to", "30", "-ta", "30", "-td", "30", "-aet", servers.CALLING_AET,
               "-aec", server.called_aet, servers.HOST, str(server.port)]
    started = time.monotonic()
    result = subprocess.run(command, capture_output=True, timeout=60)
    if result.returncode != 0:
        raise RuntimeError(f"{server.name}: echoscu failed: {result.stderr[-2000:]}")
    return time.monotonic() - started


def measure_find(arguments):
    """For each server, one warm-up query and then `repeats` timed ones on the folder."""
    servers = worklist_servers()
    keys = query_keys(arguments.date, arguments.modality)
    os.makedirs(arguments.work, exist_ok=True)
    parent = os.path.dirname(os.path.abspath(arguments.folder))
    aet = os.path.basename(os.path.abspath(arguments.folder))
    starts = [("wlmscpfs", lambda: servers.start_wlmscpfs(parent, aet, arguments.work)),
              ("orthanc", lambda: servers.start_orthanc(arguments.folder, arguments.work))]
    for name, start in starts:
        with servers.serving(start()) as server:
            find_once(servers, server, keys)
            runs = [find_once(servers, server, keys) for _ in range(arguments.repeats)]
            echoes = [echo_once(servers, server) for _ in range(arguments.repeats)]
        print(json.dumps({"server": name, "size": arguments.size,
                          "seconds": [r[0] for r in runs], "matches": runs[-1][1],
                          "echo_seconds": echoes}), flush=True)


# ---------------------------------------------------------------------------------------------
# The table

def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def thousands(n):
    return f"{n:,}"


def runs_text(n):
    return "one run" if n == 1 else f"median of {n} runs"


def milliseconds(value):
    return f"{value:.2f} ms" if value < 1 else f"{value:.1f} ms"


def median(values):
    return statistics.median(values) if values else float("nan")


def print_table(arguments):
    work = arguments.work
    entries = arguments.entries
    rows = [(f"apply: the large folder's {thousands(entries)} orders into an empty folder, in "
             f"files of {thousands(CHUNK)} (one run)",
             f"{arguments.apply_seconds:.1f} s, {entries / arguments.apply_seconds:.0f} msg/s")]
    locks = read_lines(f"{work}/lock.json")
    what = {"cancel": "ORM^O01 cancel (ORC-1 CA) of one order",
            "update": f"ADT^A08 of a patient with {FEW} entries (name, birth date, sex)",
            "merge": f"ADT^A40 merge of a patient with {FEW} entries into another"}
    for size, kind in [(entries, "cancel"), (entries, "update"), (entries, "merge"),
                       (arguments.small, "cancel")]:
        measured = [m for m in locks if m["size"] == size and m["kind"] == kind]
        if not measured:
            continue
        answers = sorted(set(m["answer"] for m in measured))
        held = [m["held_ms"] for m in measured if m["holds"]]
        changed = sorted(set(m["entries"] for m in measured))
        answered = median([m["ack_ms"] for m in measured])
        if held:
            result = (f"{median(held):.1f} ms (each: "
                      f"{', '.join(f'{m:.1f}' for m in held)}); answer {'/'.join(answers)} "
                      f"in {milliseconds(answered)}; entries changed {'/'.join(map(str, changed))}")
        else:
            result = f"lock not taken; answer {'/'.join(answers)} in {milliseconds(answered)}"
        rows.append((f"lock held, {what[kind]}, folder of {thousands(size)} entries "
                     f"(median of {len(measured)})", result))

    serve = {label: read_lines(f"{work}/serve-{label}.json") for label in ("empty", "full")}
    floor = read_lines(f"{work}/floor.json")
    ordered_floor = read_lines(f"{work}/floor-ordered.json")
    rate = {label: [r["per_second"] for r in runs] for label, runs in serve.items()}
    if rate["empty"] and rate["full"]:
        rows.append((f"serve, 16 connections, into an empty folder: msg/s; ACK median, 99th "
                     f"percentile ({runs_text(len(rate['empty']))})",
                     f"{median(rate['empty']):.0f} msg/s; "
                     f"{median([r['median_ms'] for r in serve['empty']]):.2f} ms, "
                     f"{median([r['p99_ms'] for r in serve['empty']]):.2f} ms"))
        rows.append((f"serve, 16 connections, into a folder of {thousands(entries)} entries: "
                     f"msg/s; ACK median, 99th percentile ({runs_text(len(rate['full']))})",
                     f"{median(rate['full']):.0f} msg/s; "
                     f"{median([r['median_ms'] for r in serve['full']]):.2f} ms, "
                     f"{median([r['p99_ms'] for r in serve['full']]):.2f} ms"))
        ratio = median(rate["full"]) / median(rate["empty"])
        rows.append((f"aim: serve into {thousands(entries)} entries at least 0.90 of serve into "
                     f"an empty folder",
                     f"{ratio:.2f}: {'met' if ratio >= 0.9 else 'not met'} (round by round: "
                     + ", ".join(f"{f:.2f}" for f in
                                 [f / e for f, e in zip(rate["full"], rate["empty"])]) + ")"))

    starts = read_lines(f"{work}/startup.json")
    for label, text in [("full", f"a folder of {thousands(entries)} entries"),
                        ("empty", "an empty folder")]:
        cold = [s for s in starts if s["label"] == label and s["cold"]]
        warm = [s for s in starts if s["label"] == label and not s["cold"]]
        parts = []
        if cold:
            parts.append(f"page cache dropped: {cold[0]['listening_s']:.3f} s, "
                         f"{cold[0]['first_ack_s']:.3f} s")
        if warm:
            parts.append(f"cached (median of {len(warm)}): "
                         f"{median([s['listening_s'] for s in warm]):.3f} s, "
                         f"{median([s['first_ack_s'] for s in warm]):.3f} s")
        if parts:
            answers = "/".join(sorted(set(s["answer"] for s in cold + warm)))
            rows.append((f"serve's start on {text}: until it listens; until the AA of one "
                         f"order sent then", "; ".join(parts) + f" (answer {answers})"))

    finds = read_lines(f"{work}/find.json")
    for name, label in [("wlmscpfs", "wlmscpfs"), ("orthanc", "Orthanc worklist plugin")]:
        found = sorted((f for f in finds if f["server"] == name), key=lambda f: f["size"])
        if found:
            rows.append((f"C-FIND, {label}: Modality {arguments.modality} on "
                         f"{arguments.date}, folders of "
                         + ", ".join(thousands(f["size"]) for f in found)
                         + f" entries (median of {len(found[0]['seconds'])} after one warm-up; "
                         "matches)",
                         "; ".join(f"{median(f['seconds']):.3f} s ({thousands(f['matches'])})"
                                   for f in found)))
    echoes = [e for f in finds for e in f["echo_seconds"]]
    if echoes:
        rows.append(("C-ECHO with echoscu, either server, any folder: what a query costs "
                     "besides the search (median)", f"{median(echoes):.3f} s"))

    if floor and rate["empty"]:
        ratios = [s / f["per_second"] for s, f in zip(rate["empty"], floor)]
        rows.append((f"floor: 16 loops of write {arguments.entry_bytes} bytes, fsync, rename, "
                     f"fsync folder (files/s, {runs_text(len(floor))} of {floor[0]['files']} "
                     f"files, taking turns with serve)",
                     f"{median([f['per_second'] for f in floor]):.0f}"))
        rows.append(("aim: serve at 16 connections (empty folder) at least 0.8 of the floor at "
                     "16 loops, round by round; median",
                     ", ".join(f"{r:.2f}" for r in ratios) +
                     f"; {median(ratios):.2f}: {'met' if median(ratios) >= 0.8 else 'not met'}"))
    processor = read_lines(f"{work}/processor.json")
    if floor and processor:
        rows.append(("processor: serve's own time per order at 16 connections (empty folder) "
                     "and the share of both cores busy meanwhile; the floor's time per file "
                     f"({runs_text(len(processor))})",
                     f"{median([p['serve_us_per_message'] for p in processor]):.0f} µs, "
                     f"{100 * median([p['machine_busy'] for p in processor]):.0f} %; "
                     f"{median([f['cpu_us_per_file'] for f in floor]):.0f} µs"))
    memory = read_lines(f"{work}/serve-memory.json")
    if memory:
        rows.append((f"serve, 16 connections, into an empty folder in memory (tmpfs: no disk "
                     f"time): msg/s; ACK median ({runs_text(len(memory))})",
                     f"{median([m['per_second'] for m in memory]):.0f} msg/s; "
                     f"{median([m['median_ms'] for m in memory]):.2f} ms"))
    if floor and ordered_floor and rate["empty"]:
        kept = [o["per_second"] / f["per_second"] for o, f in zip(ordered_floor, floor)]
        served = [s / o["per_second"] for s, o in zip(rate["empty"], ordered_floor)]
        rows.append(("floor in one order: the same 16 loops, each file renamed only after every "
                     "file begun before it, folder flushes shared (files/s; of the floor, round "
                     "by round)",
                     f"{median([o['per_second'] for o in ordered_floor]):.0f}; "
                     + ", ".join(f"{k:.2f}" for k in kept)))
        rows.append(("serve at 16 connections (empty folder) / floor in one order, round by "
                     "round; median",
                     ", ".join(f"{r:.2f}" for r in served) + f"; {median(served):.2f}"))
    rows.append(("the machine's load average over 1 minute at the start and at the end "
                 "(2 cores)", ", ".join(open(f"{work}/load-average").read().split())))

    print("| Measure | Result |")
    print("|---|---|")
    for measure, result in rows:
        print(f"| {measure} | {result} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("orders")
    p.add_argument("entries", type=int)
    p.add_argument("folder")
    p.set_defaults(run=write_orders)
    p = commands.add_parser("load")
    p.add_argument("count", type=int)
    p.add_argument("first", type=int)
    p.add_argument("file")
    p.set_defaults(run=write_load)
    p = commands.add_parser("lock")
    p.add_argument("--watcher", required=True)
    p.add_argument("--lockfile", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True, help="serve's process id")
    p.add_argument("--log", required=True, help="serve's log")
    p.add_argument("--trace", required=True, help="a copy of the watcher's lines")
    p.add_argument("--size", type=int, required=True, help="entries in the folder")
    p.add_argument("--generated", type=int, required=True, help="generated orders in it")
    p.add_argument("--kinds", default="cancel,update,merge")
    p.add_argument("--repeats", type=int, default=5)
    p.set_defaults(run=measure_lock)
    p = commands.add_parser("startup")
    p.add_argument("--hl7mwld", required=True)
    p.add_argument("--folder", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--order", required=True, help="a file of one MLLP frame")
    p.add_argument("--label", required=True)
    p.add_argument("--cold", action="store_true", help="drop the page cache first")
    p.set_defaults(run=measure_startup)
    p = commands.add_parser("find")
    p.add_argument("--folder", required=True, help="PARENT/AETITLE, holding a lockfile")
    p.add_argument("--size", type=int, required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--date", required=True)
    p.add_argument("--modality", required=True)
    p.add_argument("--repeats", type=int, default=3)
    p.set_defaults(run=measure_find)
    p = commands.add_parser("table")
    p.add_argument("work")
    p.add_argument("--entries", type=int, required=True)
    p.add_argument("--small", type=int, required=True)
    p.add_argument("--entry-bytes", type=int, required=True)
    p.add_argument("--date", required=True)
    p.add_argument("--modality", required=True)
    p.add_argument("--apply-seconds", type=float, required=True)
    p.set_defaults(run=print_table)
    arguments = parser.parse_args()
    arguments.run(arguments)


if __name__ == "__main__":
    main()
