#!/usr/bin/env python3
"""hl7mwld serve on loopback: real MLLP clients, a load, faults and a crash.

Usage: serve_test.py --program PATH --node-modules DIR [--emulator CMD]

Starts `hl7mwld serve` on worklist folders of its own and talks to it with mllp_send (Debian's
python3-hl7), with simple-hl7 (from the npm registry; tools/run-tests installs it into the
folder given by --node-modules) and with sockets of its own. Reads the folders with pydicom,
compares them with what `hl7mwld apply` writes for the same messages, and serves one with
wlmscpfs -csk (its default file check) for findscu. Runs itself again inside private network and
mount namespaces: loopback only, and the full-disk case mounts a small tmpfs there (as root; it
is skipped otherwise).

With --emulator (Wine) only the short case runs: mllp_send's messages acknowledged and applied
by the Windows build. Wine creates sockets in its wineserver, so a wineserver of its own prefix
is started inside the namespace; the program would listen on the host's loopback otherwise.
"""
import dataclasses
import datetime
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
# TIMEOUT bounds a program run, a server's start and stop, and an acknowledgement.
from harness import NAMESPACES, TIMEOUT, check, failed_in_thread, folder_files  # noqa: E402
from harness import guarded, in_namespaces, parse_options, require_pydicom, run  # noqa: E402
from harness import stop, summary, tools_missing  # noqa: E402

require_pydicom()
import pydicom  # noqa: E402
import worklist_servers  # noqa: E402

HOST = "127.0.0.1"
START, END = b"\x0b", b"\x1c\r"  # an MLLP frame: START, the message, END
AE_TITLE = "SERVE"  # the folder wlmscpfs serves
FRAME_LIMIT = 60  # seconds: a frame must be complete this long after its first byte
MAX_MESSAGE = 1024  # --max-message of the faults' server
DRAIN = 2  # seconds: the server drains for at most 1 s after an oversized frame, then closes
LOAD_CONNECTIONS, LOAD_MESSAGES = 16, 500
DESCRIPTOR_SLACK = 2
ASAN_QUARANTINE = "quarantine_size_mb=1"
CRASH_AFTER = 2000  # acknowledgements before the kill -9
DROPPED_CONNECTIONS, AT_ONCE = 1000, 100

# HL7 table 0357: the error codes the cases here are answered with, and their text.
ERROR_TEXTS = {100: "Segment sequence error", 207: "Application internal error"}
# Versions whose ERR segment has the location and the code in ERR-1.
BEFORE_2_5 = {"2.1", "2.2", "2.3", "2.3.1", "2.4"}
CLOCK_SLACK = 120  # seconds between an acknowledgement's MSH-7 and the time it is checked
HL7_TIME = re.compile(r"[0-9]{14}[+-][0-9]{4}")
SANITIZER_REPORT = re.compile(r"AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|"
                              r"runtime error:")


def say(text):
    print(text, flush=True)


def done(text):
    """Reports a case: `text` after "ok" when none of its checks failed."""
    failed = failed_in_thread()
    say(("ok   " if not failed else f"---  {failed} failed: ") + text)


# --- Messages ------------------------------------------------------------------------------

def order(number, control_id=None, control="NW", name="PATIENT^TEST", version="2.3",
          charset="", padding=0, start="202001021530"):
    """An order message of its own order number: one entry, dated by OBR-27.4 `start`, so that
    apply and serve write the same bytes. `padding` bytes of NTE text make it longer."""
    control_id = control_id or f"MSG{number}"
    msh = f"MSH|^~\\&|RIS|SITE|MWL|SITE|202001011200||ORM^O01|{control_id}|P|{version}"
    if charset:
        msh += "|" * 6 + charset  # MSH-18
    obr = ["OBR", "1", f"PL{number}", f"FL{number}", "CT01^CT HEAD^LOCAL"] + [""] * 13 + [
        f"ACC{number}", f"RP{number}", f"SPS{number}", "", "", "", "CT", "", "",
        f"1^^^{start}"]
    segments = [msh, f"PID|1||P{number}^^^SITE||{name}||19800101|F",
                f"ORC|{control}|PL{number}|FL{number}", "|".join(obr)]
    if padding:
        segments.append("NTE|1||" + "x" * padding)
    return ("\r".join(segments) + "\r").encode()


def cancel(number, control_id):
    return (f"MSH|^~\\&|RIS|SITE|MWL|SITE|202001011300||ORM^O01|{control_id}|P|2.3\r"
            f"ORC|CA|PL{number}|FL{number}\r").encode()


def sized(number, size, **fields):
    """order(number) with NTE text making it exactly `size` bytes long."""
    bare = len(order(number, padding=1, **fields)) - 1
    return order(number, padding=size - bare, **fields)


def frame(message):
    return START + message + END


def msh_fields(message):
    """The message's MSH fields as HL7 numbers them: [1] the field separator, [2] the encoding
    characters, [10] the control ID."""
    segment = message.split(b"\r")[0].decode("latin-1")
    return [segment[:3], segment[3]] + segment[4:].split(segment[3])


def item(fields, number):
    return fields[number] if number < len(fields) else ""


# --- Acknowledgements ----------------------------------------------------------------------

def ack_problems(ack, message, code, error=None):
    """How the frame `ack` breaks the rules for acknowledging `message` (None: a frame without
    a readable MSH) with MSA-1 `code` and, for AR and AE, the error `error` of table 0357.
    Returns (problems, the ACK's own control ID)."""
    if ack is None:
        return ["no acknowledgement"], None
    body = ack[1:-2]
    if not ack.startswith(START) or not ack.endswith(END) or START in body or b"\x1c" in body:
        return [f"not one MLLP frame: {ack!r}"], None
    if not body.endswith(b"\r"):
        return [f"the last segment does not end with CR: {ack!r}"], None
    segments = body[:-1].split(b"\r")
    names = [s[:3] for s in segments]
    want_names = [b"MSH", b"MSA"] + ([b"ERR"] if code != "AA" else [])
    if names != want_names:
        return [f"segments {names}, expected {want_names}: {ack!r}"], None
    ours = msh_fields(segments[0])
    if len(item(ours, 2)) < 4:
        return [f"MSH-2 {item(ours, 2)!r} does not declare four characters: {ack!r}"], None
    theirs = msh_fields(message) if message is not None else ["MSH", "|", "^~\\&"]
    separator, component, subcomponent = ours[1], ours[2][0], ours[2][3]
    msa = segments[1].decode("latin-1").split(separator)
    trigger = item(theirs, 9).split(theirs[2][0])[1:2] if message is not None else []
    expected = {
        1: theirs[1], 2: theirs[2],
        3: item(theirs, 5), 4: item(theirs, 6), 5: item(theirs, 3), 6: item(theirs, 4),
        9: component.join(["ACK", trigger[0], "ACK"]) if trigger and trigger[0] else "ACK",
        11: item(theirs, 11) if message is not None else "P",
        12: item(theirs, 12) if message is not None else "2.5",
        15: "", 16: "", 18: item(theirs, 18),
    }
    problems = [f"MSH-{n} {item(ours, n)!r}, expected {want!r}"
                for n, want in expected.items() if item(ours, n) != want]
    if not HL7_TIME.fullmatch(item(ours, 7)):
        problems.append(f"MSH-7 {item(ours, 7)!r} is no time with offset")
    elif abs(instant(item(ours, 7)) - time.time()) > CLOCK_SLACK:
        problems.append(f"MSH-7 {item(ours, 7)!r} is not the current time")
    if not item(ours, 10):
        problems.append("MSH-10 is empty")
    control_id = item(theirs, 10) if message is not None else ""
    if item(msa, 1) != code or item(msa, 2) != control_id:
        problems.append(f"MSA {msa[1:3]}, expected {[code, control_id]}")
    if code != "AA":
        if not item(msa, 3):
            problems.append("MSA-3 gives no reason")
        err = segments[2].decode("latin-1").split(separator)
        parts = [str(error), ERROR_TEXTS[error], "HL70357"]
        version = item(theirs, 12).split(theirs[2][0])[0].strip() if message is not None else ""
        if version in BEFORE_2_5:
            got = item(item(err, 1).split(component), 3)
            if got != subcomponent.join(parts):
                problems.append(f"ERR-1.4 {got!r}, expected {subcomponent.join(parts)!r}")
        elif item(err, 3) != component.join(parts) or item(err, 4) != "E":
            problems.append(f"ERR-3 and ERR-4 {err[3:5]}, expected {component.join(parts)!r}, E")
    return [f"{p}: {ack!r}" for p in problems], item(ours, 10)


def instant(text):
    """Seconds since the epoch of an HL7 time YYYYMMDDHHMMSS+ZZZZ."""
    local = datetime.datetime.strptime(text[:14], "%Y%m%d%H%M%S")
    offset = datetime.timedelta(hours=int(text[15:17]), minutes=int(text[17:19]))
    utc = local - offset if text[14] == "+" else local + offset
    return utc.replace(tzinfo=datetime.timezone.utc).timestamp()


def check_ack(ack, message, code, error=None, label=""):
    problems, ack_id = ack_problems(ack, message, code, error)
    check(not problems, f"{label}: {problems}")
    return ack_id


class Peer:
    """An MLLP connection of the test's own: sends bytes, reads acknowledgement frames."""

    def __init__(self, port, source=HOST):  # to ::1 from an IPv6 address
        self.socket = socket.create_connection(("::1" if ":" in source else HOST, port),
                                               timeout=TIMEOUT, source_address=(source, 0))
        self.received = b""

    def send(self, data):
        self.socket.sendall(data)

    def ack(self, timeout=TIMEOUT):
        """The next frame the server sends; None when the connection ends first or no frame
        is complete within `timeout`."""
        deadline = time.monotonic() + timeout
        while END not in self.received:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.socket.settimeout(left)
            try:
                data = self.socket.recv(65536)
            except OSError:
                return None
            if not data:
                return None
            self.received += data
        end = self.received.index(END) + len(END)
        ack, self.received = self.received[:end], self.received[end:]
        return ack

    def exchange(self, message):
        self.send(frame(message))
        return self.ack()

    def end(self, timeout):
        """Waits for the server to end its side of the connection (it may still read): (seconds
        it took or None, bytes that arrived meanwhile)."""
        started = time.monotonic()
        got = self.received
        while time.monotonic() - started < timeout:
            self.socket.settimeout(max(0.01, timeout - (time.monotonic() - started)))
            try:
                data = self.socket.recv(65536)
            except socket.timeout:
                break
            except OSError:  # reset
                return time.monotonic() - started, got
            if not data:
                return time.monotonic() - started, got
            got += data
        return None, got

    def gone(self, timeout, data=b"x", every=0.02):
        """Writes `data` every `every` seconds until writing fails, the connection being closed
        at the other end: the seconds that took, or None."""
        started = time.monotonic()
        while time.monotonic() - started < timeout:
            try:
                self.socket.send(data)
            except OSError:
                return time.monotonic() - started
            time.sleep(every)
        return None

    def reset(self):
        """Closes with a TCP reset instead of an orderly end."""
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close()

    def close(self):
        self.socket.close()


# --- The server ----------------------------------------------------------------------------

@dataclasses.dataclass
class Server:
    process: subprocess.Popen
    port: int
    folder: str
    log: str


def start_server(options, work, folder, port, *arguments, env=None, host=HOST, pipe=False):
    """hl7mwld serve on host:port for `folder`, once it accepts connections; its standard error
    goes to a log of its own, appended to across restarts (with `pipe`, to process.stdout)."""
    log = os.path.join(work, f"serve-{port}.log")
    command = options.command + ["serve", "--worklist", folder, "--listen", f"{host}:{port}",
                                 *arguments]
    env = dict(os.environ if env is None else env)
    # AddressSanitizer keeps freed blocks in a quarantine of 256 MiB: a small one keeps the
    # resident memory the program's own, and still catches a use right after a free.
    env["ASAN_OPTIONS"] = ":".join(filter(None, [ASAN_QUARANTINE, env.get("ASAN_OPTIONS")]))
    with open(log, "ab") as out:
        process = subprocess.Popen(command, stdout=subprocess.PIPE if pipe else out,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
    server = Server(process, port, folder, log)
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline and process.poll() is None:
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            return server
        except OSError:
            time.sleep(0.05)
    stop_server(server, clean=False)
    raise RuntimeError(f"hl7mwld serve did not start on port {port}:\n{log_text(server)[-2000:]}")


def log_text(server):
    with open(server.log, "rb") as f:
        return f.read().decode("utf-8", "replace")


def stop_server(server, clean=True, signal_number=signal.SIGTERM):
    """Stops the server by `signal_number`, by SIGKILL when it outlives TIMEOUT. clean: it must
    end with status 0 and its log must hold no sanitizer report."""
    stop(server.process, signal_number=signal_number)
    if clean:
        check(server.process.returncode == 0,
              f"server on port {server.port}: status {server.process.returncode}")
        report = SANITIZER_REPORT.search(log_text(server))
        check(report is None, f"server on port {server.port}: sanitizer report in its log:\n"
              + log_text(server)[-3000:])


def resources(server):
    """(resident memory in bytes, open descriptors) of the server process."""
    with open(f"/proc/{server.process.pid}/status") as f:
        rss = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))
    return rss, len(os.listdir(f"/proc/{server.process.pid}/fd"))


def settled(server, timeout=5):
    """(resident memory, open descriptors) once the descriptor count has stayed the same for a
    moment: the connection that found the server ready may still be closing."""
    deadline = time.monotonic() + timeout
    last = resources(server)
    while time.monotonic() < deadline:
        time.sleep(0.3)
        now = resources(server)
        if now[1] == last[1]:
            return now
        last = now
    return last


def descriptors_back(server, count, timeout=10):
    """The server's descriptor count once it is at most `count`, or after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        now = resources(server)[1]
        if now <= count or time.monotonic() > deadline:
            return now
        time.sleep(0.05)


def serves(server, number, label):
    """A new connection still gets AA for a new order, its entry is written and its log line
    names the entry file."""
    message = order(number)
    peer = Peer(server.port)
    check_ack(peer.exchange(message), message, "AA", label=f"{label}: server still serves")
    peer.close()
    check(f"ACC{number}" in accessions(server.folder), f"{label}: no entry of ACC{number}")
    check(re.search(rf" MSG{number} ORM\^O01 AA created hl7mwld-\S+\.wl [0-9]+ ms",
                    log_text(server)), f"{label}: the log does not name the entry")


# --- Folders -------------------------------------------------------------------------------

def apply(options, folder, messages, work, name):
    """`hl7mwld apply` of the messages, written as one file, into `folder`: {control ID: entry
    file name} of the entries it created."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(b"".join(messages))
    result = run(options.command + ["apply", "--worklist", folder, path])
    check(result.returncode == 0, f"apply {name}: status {result.returncode} "
          f"{result.stderr[-400:]!r}")
    # file, message number, control ID, outcome, entry file name, reason
    lines = [line.split("\t") for line in result.stdout.decode().splitlines()]
    return {line[2]: line[4] for line in lines if len(line) >= 5 and line[3] == "created"}


def leftovers(folder, also=()):
    """The folder's files that are neither entries nor lockfile, nor named in `also`."""
    return sorted(n for n in os.listdir(folder)
                  if not n.endswith(".wl")
                  and n not in ("lockfile", "hl7mwld-generation", "hl7mwld-journal")
                  and n not in also)


def accessions(folder):
    """{Accession Number: the entry's data set} of the folder's .wl files; each is read whole
    by pydicom, so a partial file fails."""
    result = {}
    for name in os.listdir(folder):
        if name.endswith(".wl"):
            dataset = pydicom.dcmread(os.path.join(folder, name))
            result[str(dataset.AccessionNumber)] = dataset
    return result


# --- Real clients --------------------------------------------------------------------------

# simple-hl7 parses each message, sends it on one kept connection after the previous one's
# acknowledgement, and prints what it made of each acknowledgement: its text, MSA-1 and MSA-2.
NODE_CLIENT = r"""
const hl7 = require("simple-hl7");
const fs = require("fs");
const [port, file] = process.argv.slice(1);
const texts = JSON.parse(fs.readFileSync(file, "utf8"));
const parser = new hl7.Parser({ segmentSeperator: "\r" });
const client = hl7.Server.createTcpClient(
    { host: "127.0.0.1", port: Number(port), keepalive: true });
const acks = [];
const next = () => {
  if (acks.length === texts.length) {
    console.log(JSON.stringify(acks));
    client.close();
    return;
  }
  client.send(parser.parse(texts[acks.length]), (error, ack) => {
    if (error) throw error;
    const msa = ack.getSegment("MSA");
    acks.push({ text: ack.toString(), code: msa.getField(1), control: msa.getField(2) });
    setImmediate(next);  // the client takes the next message only after this callback
  });
};
next();
"""

CLIENTS_PORT = 2575
WLMSCPFS_PORT = 11112


def mllp_send(port, messages, work, label):
    """Sends the messages with mllp_send (one file of frames, named for `label`): each must get
    AA. It waits for ever on a missing acknowledgement: timeout ends it."""
    path = os.path.join(work, label + ".hl7")
    with open(path, "wb") as f:
        f.write(b"".join(frame(m) for m in messages))
    result = run(["timeout", str(TIMEOUT - 5), "mllp_send", "-p", str(port), "-f", path, HOST])
    check(result.returncode == 0, f"mllp_send: status {result.returncode} {result.stderr!r}")
    # It prints each acknowledgement as received, frame bytes included, and a line end.
    acks = re.findall(rb"\x0b[^\x0b\x1c]*\x1c\r", result.stdout)
    check(len(acks) == len(messages), f"{label}: {len(acks)} acknowledgements")
    for message, ack in zip(messages, acks):
        check_ack(ack, message, "AA", label=label)


def real_clients(options, work):
    parent = os.path.join(work, "clients")
    folder = os.path.join(parent, AE_TITLE)
    os.makedirs(folder)
    server = start_server(options, work, folder, CLIENTS_PORT)
    by_mllp_send = [order("1001"),
                    order("1002", name="\u0141UKASIEWICZ^ZOFIA", charset="UNICODE UTF-8"),
                    order("1003", version="2.5.1")]
    by_node = [order("1101"), order("1102", version="2.4"), order("1103", control="XO")]
    try:
        mllp_send(server.port, by_mllp_send, work, "mllp_send")

        path = os.path.join(work, "node.json")
        with open(path, "w") as f:
            json.dump([m.decode() for m in by_node], f)
        result = run(["node", "-e", NODE_CLIENT, str(server.port), path],
                     env=dict(os.environ, NODE_PATH=options.node_modules))
        check(result.returncode == 0, f"simple-hl7: status {result.returncode} "
              f"{result.stderr[-1000:]!r}")
        got = json.loads(result.stdout or b"[]")
        want = [{"code": "AA", "control": msh_fields(m)[10]} for m in by_node]
        check([{k: a[k] for k in ("code", "control")} for a in got] == want,
              f"simple-hl7: acknowledgements {got}, expected {want}")
    finally:
        stop_server(server)

    # The entries that came over the network, found by a modality.
    with worklist_servers.serving(
            worklist_servers.start_wlmscpfs(parent, AE_TITLE, work, WLMSCPFS_PORT)) as dcmtk:
        # No MSH-18 and text in ASCII: no Specific Character Set.
        for number, name, charset in [("1001", "PATIENT^TEST", None),
                                      ("1002", "\u0141UKASIEWICZ^ZOFIA", "ISO_IR 192"),
                                      ("1003", "PATIENT^TEST", None),
                                      ("1101", "PATIENT^TEST", None),
                                      ("1102", "PATIENT^TEST", None),
                                      ("1103", "PATIENT^TEST", None)]:
            keys = [f"AccessionNumber=ACC{number}", "PatientID", "PatientName",
                    "SpecificCharacterSet"]
            try:
                found = worklist_servers.find_worklist(dcmtk, keys, work)
            except RuntimeError as error:
                check(False, str(error))
                continue
            want = [{"AccessionNumber": f"ACC{number}", "PatientID": f"P{number}",
                     "PatientName": name, **({"SpecificCharacterSet": charset} if charset else {})}]
            check(found == want, f"findscu ACC{number}: {found}, expected {want}")
    done(f"real clients: mllp_send and simple-hl7 acknowledged "
         f"{len(by_mllp_send) + len(by_node)} messages, findscu found each entry")


# --- Load ----------------------------------------------------------------------------------

def load_messages():
    """LOAD_CONNECTIONS lists of LOAD_MESSAGES orders, each of its own order number."""
    return [[order(f"{c:02d}{i:03d}", control_id=f"LOAD-{c:02d}-{i:03d}")
             for i in range(LOAD_MESSAGES)] for c in range(LOAD_CONNECTIONS)]


def send_all(port, lists, acknowledged=None):
    """Sends each list of messages on a connection of its own, all connections at once, each
    message after the previous one's acknowledgement, as senders do. Returns per connection the
    [(message, acknowledgement)] received before the connection ended, and the seconds taken.
    `acknowledged` is called after each acknowledgement."""
    results = [[] for _ in lists]
    barrier = threading.Barrier(len(lists) + 1)

    def sender(index):
        try:
            peer = Peer(port)
        finally:
            barrier.wait(TIMEOUT)
        for message in lists[index]:
            try:
                peer.send(frame(message))
            except OSError:
                break
            ack = peer.ack()
            if ack is None:
                break
            results[index].append((message, ack))
            if acknowledged:
                acknowledged()
        peer.close()

    threads = [threading.Thread(target=sender, args=(i,), daemon=True) for i in range(len(lists))]
    for thread in threads:
        thread.start()
    barrier.wait(TIMEOUT)
    started = time.monotonic()
    deadline = started + 4 * TIMEOUT
    for thread in threads:
        thread.join(max(0, deadline - time.monotonic()))
    check(not any(t.is_alive() for t in threads), "load: a sender did not end in time")
    return results, time.monotonic() - started


def write_reference(options, work, folder, names):
    """The load's messages applied by `hl7mwld apply` into `folder`; `names` gets {control ID:
    entry file name}."""
    names.update(apply(options, folder, [m for ms in load_messages() for m in ms], work,
                       "load.hl7"))


def load(options, work, reference):
    folder = os.path.join(work, "load")
    os.makedirs(folder)
    # One address opens every connection: the load's, and later 100 at once.
    server = start_server(options, work, folder, 2576, "--max-connections-per-peer", "64")
    try:
        rss_before, fds_before = settled(server)
        cpu_before = time.process_time()
        results, seconds = send_all(server.port, load_messages())
        cpu = time.process_time() - cpu_before
        pairs = [pair for result in results for pair in result]
        total = LOAD_CONNECTIONS * LOAD_MESSAGES
        ack_ids = []
        for message, ack in pairs:
            problems, ack_id = ack_problems(ack, message, "AA")
            check(not problems, f"load: {problems}")
            ack_ids.append(ack_id)
        check(len(pairs) == total, f"load: {len(pairs)} of {total} messages acknowledged")
        check(len(set(ack_ids)) == len(ack_ids), "load: acknowledgement control IDs repeat")
        fds_after = descriptors_back(server, fds_before + DESCRIPTOR_SLACK)
        rss_after = resources(server)[0]
        say(f"     load: {total} messages on {LOAD_CONNECTIONS} connections in {seconds:.2f} s, "
            f"{total / seconds:.0f} per second; the client used {cpu:.2f} s of CPU")
        say(f"     load: resident memory {rss_before / 2**20:.1f} MiB before, "
            f"{rss_after / 2**20:.1f} MiB after; descriptors {fds_before} before, "
            f"{fds_after} after")
        check(fds_after <= fds_before + DESCRIPTOR_SLACK,
              f"load: descriptors {fds_before} before, {fds_after} after")

        got, want = folder_files(folder), folder_files(reference)
        check(sorted(got) == sorted(want) and len(got) == total + 3,
              f"load: {len(got)} files, apply wrote {len(want)} (with lockfile, the "
              "generation and the journal)")
        differing = [n for n in want if n.endswith(".wl") and got.get(n) != want[n]]
        check(not differing, f"load: {len(differing)} entries differ from apply's, "
              f"e.g. {differing[:3]}")
        done(f"load: {len(pairs)} AA, {len(got) - 1} entries, each as apply writes it")

        dropped_connections(server)
    finally:
        stop_server(server)


def dropped_connections(server):
    """DROPPED_CONNECTIONS connections, AT_ONCE at a time, opened and dropped: some at once,
    some inside a frame, some with a reset; the server serves on and closes every one."""
    fds_before = settled(server)[1]
    opened = 0
    for _ in range(DROPPED_CONNECTIONS // AT_ONCE):
        peers = []
        for _ in range(AT_ONCE):
            try:
                peers.append(Peer(server.port))
                opened += 1
            except OSError as error:
                check(False, f"dropped connections: connect failed: {error}")
                break
        for index, peer in enumerate(peers):
            try:
                if index % 3 == 1:
                    peer.send(START + b"MSH|^~\\&|RIS")
                if index % 3 == 2:
                    peer.reset()
                else:
                    peer.close()
            except OSError:
                peer.close()  # the server refused it already: above --max-connections
    fds_after = descriptors_back(server, fds_before)
    check(fds_after <= fds_before,
          f"dropped connections: descriptors {fds_before} before, {fds_after} after")
    serves(server, "9001", "dropped connections")
    done(f"{opened} connections opened and dropped; descriptors {fds_before} before, "
         f"{fds_after} after")


# --- Crash ---------------------------------------------------------------------------------

def crash(options, work, reference, entry_names):
    folder = os.path.join(work, "crash")
    os.makedirs(folder)
    server = start_server(options, work, folder, 2577, "--max-connections-per-peer", "16")
    count, lock = [0], threading.Lock()
    enough = threading.Event()

    def acknowledged():
        with lock:
            count[0] += 1
            if count[0] >= CRASH_AFTER:
                enough.set()

    results = []
    sender = threading.Thread(target=lambda: results.append(send_all(server.port,
                                                                      load_messages(),
                                                                      acknowledged)))
    sender.start()
    enough.wait(3 * TIMEOUT)
    server.process.kill()
    server.process.wait(timeout=TIMEOUT)
    sender.join(2 * TIMEOUT)
    check(SANITIZER_REPORT.search(log_text(server)) is None, "crash: sanitizer report in the log")
    pairs = [pair for result in results[0][0] for pair in result] if results else []
    aa = [msh_fields(m)[10] for m, ack in pairs if not ack_problems(ack, m, "AA")[0]]
    check(len(aa) == len(pairs), f"crash: {len(pairs) - len(aa)} answers other than AA")
    ack_ids = {ack_problems(ack, m, "AA")[1] for m, ack in pairs}
    temporaries = leftovers(folder)
    entries_at_kill = len([n for n in os.listdir(folder) if n.endswith(".wl")])

    server = start_server(options, work, folder, server.port)
    try:
        names = set(os.listdir(folder))
        missing = [c for c in aa if entry_names.get(c) not in names]
        check(not missing, f"crash: {len(missing)} acknowledged messages without their entry, "
              f"e.g. {missing[:3]}")
        check(not leftovers(folder), f"crash: left after the restart: {leftovers(folder)}")
        want = folder_files(reference)
        got = folder_files(folder)
        differing = [n for n in got if n.endswith(".wl") and got[n] != want.get(n)]
        check(not differing, f"crash: {len(differing)} entries differ from apply's, "
              f"e.g. {differing[:3]}")
        message = order("9101")
        peer = Peer(server.port)
        ack_id = check_ack(peer.exchange(message), message, "AA", label="crash: after restart")
        peer.close()
        check(ack_id not in ack_ids, f"crash: control ID {ack_id} of an ACK before the crash "
              "used again")
        done(f"crash: kill -9 after {len(aa)} AA; {entries_at_kill} entries and "
             f"{len(temporaries)} temporary files at the kill; after the restart every AA has "
             f"its entry, each whole, no temporary file")
    finally:
        stop_server(server)


# --- Faults --------------------------------------------------------------------------------

class Shut:
    """A row's step: the client ends its side of the connection (FIN)."""


class Reset:
    """A row's step: the client resets the connection."""


@dataclasses.dataclass
class Ack:
    """A row's step: the next frame from the server acknowledges `message` (None: a frame
    without MSH) with `code` and `error`."""
    message: bytes
    code: str
    error: int = None


@dataclasses.dataclass
class Closed:
    """A row's step: the server ends its side of the connection within `seconds`, sending
    nothing more."""
    seconds: float


@dataclasses.dataclass
class Gone:
    """A row's step: the server closes the connection within `seconds` while the client goes
    on writing `data` every `every` seconds."""
    seconds: float
    data: bytes = b"x"
    every: float = 0.02


@dataclasses.dataclass
class From:
    """A row's step: the next steps on a new connection from `address` (else from HOST)."""
    address: str


@dataclasses.dataclass
class Sent:
    """A row's step: the server is sent the signal `number`; None: its log's reader goes."""
    number: int


@dataclasses.dataclass
class Reloaded:
    """A row's step: the row's profile becomes `text`, and the server is sent SIGHUP."""
    text: bytes


@dataclasses.dataclass
class Serve:
    """A row's own server: serve's `arguments` (and a profile of `profile`, when given); `log`
    is true of its log after its stop."""
    arguments: list
    host: str = HOST
    pipe: bool = False
    log: object = None
    profile: bytes = None
    applied: list = None  # messages `hl7mwld apply` writes into the folder before the start


def refused(log, address):
    """Connections from `address` the log says it refused: 1 a line, or N "refused N more"."""
    lines = re.findall(rf" {re.escape(address)}(?::[0-9]+ refused:| refused ([0-9]+) more)", log)
    return sum(int(more or 1) for more in lines)


GOOD = [order(f"30{i:02d}") for i in range(20)]
TWO_OBR = GOOD[10] + b"OBR|2|PL3010|FL3010|CT02^CT CHEST\r"  # two entries
LONG = order("3090", version="2.5.1", padding=3 * MAX_MESSAGE)
UNREADABLE = b"MSH|^~\\&|RIS|" + b"X" * 2 * MAX_MESSAGE + b"\rPID|1||P3091\r"
EXACT, ONE_MORE = sized("3092", MAX_MESSAGE), sized("3093", MAX_MESSAGE + 1)
# Orders scheduled 3 days ago and tomorrow, local time as entries are written.
THREE_DAYS_AGO, TOMORROW = (datetime.datetime.now() + datetime.timedelta(days=d)
                            for d in (-3, 1))

# label, steps (bytes to send, or one of the classes above), accession numbers whose entry
# must exist afterwards, and those whose entry must not.
FAULTS = [
    # First, so that the folder holds no entry of the other rows (dated 2020) at its start.
    ("--expire-after 1h: at start an entry 3 days old is removed, one of tomorrow kept",
     [frame(GOOD[15]), Ack(GOOD[15], "AA")], ["ACC3096", "ACC3015"], ["ACC3095"],
     Serve(["--expire-after", "1h"], applied=[
         order("3095", start=THREE_DAYS_AGO.strftime("%Y%m%d%H%M")),
         order("3096", start=TOMORROW.strftime("%Y%m%d%H%M"))],
         log=lambda log: re.search(r"removed hl7mwld-FL3095__RP3095__SPS3095\.wl\s+expired: "
                                   rf"scheduled {THREE_DAYS_AGO:%Y%m%d} ", log))),
    ("disconnect inside a frame", [START + GOOD[0][:40], Shut(), Closed(5)], [], ["ACC3000"]),
    ("reset inside a frame", [START + GOOD[1][:80], Reset()], [], ["ACC3001"]),
    ("garbage between frames",
     [b"\x00noise\r\n\xff\x1c\r\x1c\x1c", frame(GOOD[2]), b"MSH|^~\\&|\r\n\x7f\x1c\r",
      frame(GOOD[3]), b"trailing", Ack(GOOD[2], "AA"), Ack(GOOD[3], "AA")],
     ["ACC3002", "ACC3003"], []),
    ("message of exactly --max-message bytes", [frame(EXACT), Ack(EXACT, "AA")],
     ["ACC3092"], []),
    # The AR comes as soon as BYTES + 1 bytes are there. Then the server sends nothing more,
    # reads on and drops what comes for at most 1 s, and closes.
    ("message one byte longer", [frame(ONE_MORE), Ack(ONE_MORE, "AE", 207), Closed(1),
                                 Gone(DRAIN)], [], ["ACC3093"]),
    ("oversized frame with a readable MSH",
     [START + LONG[:MAX_MESSAGE + 1], Ack(LONG, "AE", 207),
      LONG[MAX_MESSAGE + 1:] + END + frame(GOOD[4]), Closed(1), Gone(DRAIN)], [],
     ["ACC3090", "ACC3004"]),
    ("oversized frame without a readable MSH: no answer",
     [START + UNREADABLE + END, Closed(1), Gone(DRAIN)], [], ["ACC3091"]),
    ("empty frame", [START + END, Ack(None, "AE", 100), frame(GOOD[5]), Ack(GOOD[5], "AA")],
     ["ACC3005"], []),
    ("SIGHUP without a profile, SIGUSR1 and SIGUSR2: still serving", [Sent(signal.SIGHUP), Sent(signal.SIGUSR1),
     Sent(signal.SIGUSR2), frame(GOOD[6]), Ack(GOOD[6], "AA")], ["ACC3006"], []),
    ("the log on a pipe whose reader has gone", [Sent(None), frame(GOOD[7]), Ack(GOOD[7], "AA")],
     ["ACC3007"], [], Serve([], pipe=True)),
    ("--allow 127.0.0.1/32: 127.0.0.2 refused at once, each refusal logged or counted",
     [From("127.0.0.2"), Closed(5), From("127.0.0.2"), Closed(5), From("127.0.0.2"), Closed(5),
      From(HOST), frame(GOOD[8]), Ack(GOOD[8], "AA")], ["ACC3008"], [],
     Serve(["--allow", "127.0.0.1/32"], log=lambda log: refused(log, "127.0.0.2") == 3)),
    ("--allow 127.0.0.0/8 on a dual-stack socket: 127.0.0.2 served, ::1 refused",
     [From("127.0.0.2"), frame(GOOD[9]), Ack(GOOD[9], "AA"), From("::1"), Closed(5)],
     ["ACC3009"], [], Serve(["--allow", "10.0.0.0/8", "--allow", "127.0.0.0/8"], host="[::]")),
    ("--max-connections-per-peer 2: a third from one address refused, another address served",
     [frame(GOOD[11]), Ack(GOOD[11], "AA"), From(HOST), frame(GOOD[12]), Ack(GOOD[12], "AA"),
      From(HOST), Closed(5), From("127.0.0.2"), frame(GOOD[13]), Ack(GOOD[13], "AA")],
     ["ACC3011", "ACC3012", "ACC3013"], [],
     Serve(["--max-connections-per-peer", "2"], log=lambda log: refused(log, HOST) == 1)),
    ("an empty frame every second does not keep a connection open",
     [Gone(15, START + END, every=1)], [], [], Serve(["--idle-timeout", "2"])),
    ("a profile read again on SIGHUP; a bad one leaves the settings as they were",
     [frame(TWO_OBR), Ack(TWO_OBR, "AE", 207), Reloaded(b"[options]\nmax_entries = 2\n"),
      frame(TWO_OBR), Ack(TWO_OBR, "AA"), Reloaded(b"[options\n"), frame(GOOD[14]),
      Ack(GOOD[14], "AA")], ["ACC3010", "ACC3014"], [],
     Serve([], profile=b"[options]\nmax_entries = 1\n",
           log=lambda log: "reload: the profile was not read" in log)),
]


def faults(options, work):
    folder = os.path.join(work, "faults")
    os.makedirs(folder)
    server = start_server(options, work, folder, 2578, "--max-message", str(MAX_MESSAGE))
    servers = [server]
    try:
        for index, (label, steps, present, absent, *own) in enumerate(FAULTS):
            profile = os.path.join(work, f"profile-{index}.toml")
            if own and own[0].profile is not None:
                with open(profile, "wb") as f:
                    f.write(own[0].profile)
            if own and own[0].applied:
                apply(options, folder, own[0].applied, work, f"faults-{index}.hl7")
            if own:  # stopped below, or by the finally of this function
                arguments = own[0].arguments + (["--profile", profile] if own[0].profile else [])
                servers.append(start_server(options, work, folder, 2590 + index, *arguments,
                                            host=own[0].host, pipe=own[0].pipe))
            row_server, peers = servers[-1] if own else server, []
            for step in ([] if isinstance(steps[0], From) else [From(HOST)]) + steps:
                if isinstance(step, From):
                    peer = Peer(row_server.port, step.address)
                    peers.append(peer)
                elif isinstance(step, Sent) and step.number is None:
                    row_server.process.stdout.close()
                elif isinstance(step, Sent):
                    row_server.process.send_signal(step.number)
                elif isinstance(step, Reloaded):
                    with open(profile, "wb") as f:
                        f.write(step.text)
                    row_server.process.send_signal(signal.SIGHUP)
                    time.sleep(0.5)  # the signal is taken on the server's next turn
                elif isinstance(step, bytes):
                    peer.send(step)
                elif isinstance(step, Shut):
                    peer.socket.shutdown(socket.SHUT_WR)
                elif isinstance(step, Reset):
                    peer.reset()
                elif isinstance(step, Ack):
                    check_ack(peer.ack(), step.message, step.code, step.error, label)
                elif isinstance(step, Closed):
                    seconds, got = peer.end(step.seconds)
                    check(seconds is not None and not got,
                          f"{label}: not closed within {step.seconds} s, or bytes came: {got!r}")
                elif isinstance(step, Gone):
                    seconds = peer.gone(step.seconds, step.data, step.every)
                    check(seconds is not None, f"{label}: still open after {step.seconds} s")
            for peer in peers:
                peer.close()
            check(row_server.process.poll() is None, f"{label}: the server ended")
            if own:
                stop_server(row_server)
                check(not own[0].log or own[0].log(log_text(row_server)),
                      f"{label}: {log_text(row_server)}")
            found = accessions(folder)
            check(all(a in found for a in present) and not any(a in found for a in absent),
                  f"{label}: entries {sorted(found)}; expected {present}, none of {absent}")
        check(not leftovers(folder), f"faults: left in the folder: {leftovers(folder)}")
        serves(server, "3099", "faults")
        done(f"{len(FAULTS)} faults answered as documented; the server serves on")
        same_order(server)
    finally:
        stop_server(server)
        for row_server in servers[1:]:
            stop(row_server.process)


def same_order(server, rounds=100):
    """Two connections at once update and cancel one order: the entry ends as the message
    applied last left it (the log lists messages in the order they were applied)."""
    def messages(side):
        result = []
        for r in range(rounds):
            control_id = f"RACE-{side}-{r:03d}"
            if r % 3 == (0 if side == "A" else 1):  # A ends with a cancel, B with an order
                result.append(cancel("3500", control_id))
            else:
                result.append(order("3500", control_id, "NW" if r % 2 else "XO",
                                    f"RACE^{side}{r:03d}"))
        return result

    lists = [messages("A"), messages("B")]
    results, _ = send_all(server.port, lists)
    for message, ack in results[0] + results[1]:
        check_ack(ack, message, "AA", label="same order")
    check([len(r) for r in results] == [rounds, rounds], f"same order: {len(results[0])} and "
          f"{len(results[1])} acknowledged")
    log = log_text(server)
    last_ids = [msh_fields(messages[-1])[10] for messages in lists]
    positions = [log.rfind(f" {i} ") for i in last_ids]
    check(min(positions) >= 0, f"same order: {last_ids} not in the log")
    last = lists[positions.index(max(positions))][-1]
    entry = accessions(server.folder).get("ACC3500")
    if b"ORC|CA|" in last:
        check(entry is None, f"same order: {msh_fields(last)[10]} applied last cancels, but the "
              f"entry is there")
    else:
        name = last.split(b"\r")[1].split(b"|")[5].decode()
        check(entry is not None and str(entry.PatientName) == name,
              f"same order: {msh_fields(last)[10]} applied last, the entry holds "
              f"{entry and entry.PatientName}")
    done(f"same order from two connections: {2 * rounds} AA, the entry as "
         f"{msh_fields(last)[10]} (applied last) left it")


# --- Slow peers ----------------------------------------------------------------------------

def slow_peers(options, work):
    """A peer that sends a frame one byte a second and one whose frame stops after its first
    bytes: each is closed FRAME_LIMIT s after its first byte, unanswered, while another peer is
    served meanwhile. Runs beside the other cases."""
    folder = os.path.join(work, "slow")
    os.makedirs(folder)
    server = start_server(options, work, folder, 2579)
    try:
        fds_before = settled(server)[1]
        message = order("4001")
        trickle, silent = Peer(server.port), Peer(server.port)
        silent.send(START + message[:20])
        silent_started = time.monotonic()
        ended = {}

        def drip():
            started = time.monotonic()
            for byte in (START + message)[:FRAME_LIMIT + 10]:
                try:
                    trickle.send(bytes([byte]))
                except OSError:
                    break
                seconds, got = trickle.end(1)
                if seconds is not None or got:
                    ended["trickle"] = (time.monotonic() - started, got)
                    return

        dripping = threading.Thread(target=drip, daemon=True)
        dripping.start()
        time.sleep(3)
        normal = Peer(server.port)
        for number in range(4002, 4012):
            check_ack(normal.exchange(order(str(number))), order(str(number)), "AA",
                      label="served beside a slow peer")
        normal.close()
        seconds, got = silent.end(FRAME_LIMIT + 10)
        if seconds is not None:
            ended["silent"] = (time.monotonic() - silent_started, got)
        dripping.join(FRAME_LIMIT + 15)
        for name in ("trickle", "silent"):
            seconds, got = ended.get(name, (None, b""))
            check(seconds is not None and FRAME_LIMIT - 1 <= seconds <= FRAME_LIMIT + 6
                  and not got, f"slow peers: {name}: closed after {seconds} s, "
                  f"expected {FRAME_LIMIT} s; received {got!r}")
        trickle.close()
        silent.close()
        found = accessions(folder)
        check(sorted(found) == [f"ACC{n}" for n in range(4002, 4012)],
              f"slow peers: entries {sorted(found)}")
        check(descriptors_back(server, fds_before) <= fds_before,
              "slow peers: descriptors not back")
        serves(server, "4020", "slow peers")
        done(f"slow peers closed after {ended.get('trickle', (0,))[0]:.1f} s and "
             f"{ended.get('silent', (0,))[0]:.1f} s, unanswered; another peer was served "
             "meanwhile")
    finally:
        stop_server(server)


# --- Full disk -----------------------------------------------------------------------------

def full_disk(options, work):
    """The folder on a small tmpfs: a message on a full disk gets AR and leaves no temporary
    file; once there is room again, the same message gets AA."""
    folder = os.path.join(work, "small")
    os.makedirs(folder)
    mounted = run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder])
    if not check(mounted.returncode == 0, f"full disk: mount failed: {mounted.stderr!r}"):
        return
    try:
        server = start_server(options, work, folder, 2580)
        try:
            peer = Peer(server.port)
            first, second = order("5001"), order("5002")
            check_ack(peer.exchange(first), first, "AA", label="full disk: room")
            filler = os.path.join(folder, "filler")
            with open(filler, "wb", buffering=0) as f:
                for size in (4096, 1):
                    try:
                        while True:
                            f.write(b"\0" * size)
                    except OSError:
                        pass
            ack = peer.exchange(second)
            check_ack(ack, second, "AR", 207, "full disk")
            check(ack is None or folder.encode() not in ack, f"full disk: the ACK names the "
                  f"folder: {ack!r}")
            check(not leftovers(folder, {"filler"}),
                  f"full disk: left in the folder: {leftovers(folder, {'filler'})}")
            check(sorted(accessions(folder)) == ["ACC5001"], "full disk: entries")
            os.remove(filler)
            check_ack(peer.exchange(second), second, "AA", label="full disk: room again")
            peer.close()
            check(sorted(accessions(folder)) == ["ACC5001", "ACC5002"],
                  "full disk: entries after room again")
            done("full disk: AR, no path, no temporary file left; AA once there was room")
        finally:
            stop_server(server)
    finally:
        run(["umount", folder])


# --- Wine ----------------------------------------------------------------------------------

def under_wine(options, work):
    """The Windows build under a wineserver of its own, started here inside the namespace:
    mllp_send's messages acknowledged and applied."""
    env = dict(os.environ, WINEPREFIX=os.path.join(work, "wineprefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    os.makedirs(env["WINEPREFIX"])
    subprocess.run(["wineserver", "-p"], env=env, timeout=TIMEOUT, check=True)
    try:
        # The prefix is set up first, so that the server's start does not wait for it. The Wine
        # services this starts keep running: no pipe of ours must be left open to them.
        subprocess.run(options.command[:-1] + ["wineboot", "--init"], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=4 * TIMEOUT)
        folder = os.path.join(work, "wine")
        os.makedirs(folder)
        server = start_server(options, work, folder, CLIENTS_PORT, env=env)
        messages = [order("6001"), order("6002", version="2.5")]
        try:
            mllp_send(server.port, messages, work, "wine")
            found = accessions(folder)
            check(sorted(found) == ["ACC6001", "ACC6002"], f"wine: entries {sorted(found)}")
            # Each message's log line is written at once, also where standard error is a file
            # (which the Windows C runtime buffers): the stop below ends the program.
            ids = [msh_fields(m)[10] for m in messages]
            deadline = time.monotonic() + 5
            while (any(f" {i} " not in log_text(server) for i in ids)
                   and time.monotonic() < deadline):
                time.sleep(0.1)
            check(all(f" {i} " in log_text(server) for i in ids),
                  f"wine: the log does not name {ids}:\n{log_text(server)}")
        finally:
            # Wine passes SIGINT on as the console's Ctrl+C (SIGTERM as a kill): the program
            # stops as on Windows and says so.
            stop_server(server, signal_number=signal.SIGINT)
        check(log_text(server).rstrip().endswith(" stopped"),
              f"wine: no clean stop after Ctrl+C:\n{log_text(server)}")
        done(f"Windows build under Wine: mllp_send's {len(messages)} messages acknowledged "
             "and applied")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, timeout=TIMEOUT)


# --- The run -------------------------------------------------------------------------------

def inside(options):
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as work:
        if options.emulator:
            timed(under_wine, options, work)
        else:
            # The frame limit takes a minute: that case runs beside all the others.
            beside = threading.Thread(target=timed, args=(slow_peers, options, work))
            beside.start()
            reference, names = os.path.join(work, "reference"), {}
            phases = [(real_clients, options, work), (faults, options, work),
                      (full_disk, options, work), (write_reference, options, work, reference,
                                                   names),
                      (load, options, work, reference), (crash, options, work, reference, names)]
            if os.environ[NAMESPACES] != "root":
                say("SKIP full disk: mounting a tmpfs needs root")
                phases.remove((full_disk, options, work))
            for phase in phases:
                timed(*phase)
            beside.join(FRAME_LIMIT + 3 * TIMEOUT)
            check(not beside.is_alive(), "slow peers did not end")
    say(f"     all: {time.monotonic() - started:.0f} s")
    return summary()


def timed(phase, *arguments):
    """Runs a phase guarded, its failures counted anew, and says how long it took."""
    started = time.monotonic()
    failed_in_thread()
    guarded(phase, *arguments)
    say(f"     {phase.__name__}: {time.monotonic() - started:.1f} s")


def main():
    options = parse_options(__doc__.splitlines()[0],
                            ("--node-modules", "node_modules folder holding simple-hl7"))
    if not os.path.isfile(options.command[-1]):
        print(f"FAIL no program at {options.command[-1]}")
        return 1
    if not os.path.isdir(os.path.join(options.node_modules, "simple-hl7")):
        print(f"FAIL no simple-hl7 in {options.node_modules} (tools/run-tests installs it "
              "with npm before the tests)")
        return 1
    if tools_missing(("mllp_send", "node", "findscu", "wlmscpfs", "echoscu", "unshare", "ip",
                      "timeout"),
                     "python3-hl7, dcmtk, iproute2, util-linux, coreutils, and Node.js"):
        return 1
    # The full disk's tmpfs needs a mount namespace of its own.
    return in_namespaces(inside, options, mount=True, timeout=FRAME_LIMIT + 7 * TIMEOUT)


if __name__ == "__main__":
    sys.exit(main())
