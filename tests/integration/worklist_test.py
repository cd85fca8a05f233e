#!/usr/bin/env python3
"""hl7mwl -> dump2dcm -> wlmscpfs -> findscu: the dumps work in a real DICOM worklist server.

Usage: worklist_test.py --program PATH --data DIR [--emulator CMD]

Runs itself again inside a private network namespace that holds only loopback, so the server
is reachable from nowhere else and every port is free. Needs DCMTK (dump2dcm, dcmdump,
wlmscpfs, findscu), unshare and ip.
"""
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import TIMEOUT, check, in_namespaces, parse_options, run, stop  # noqa: E402
from harness import summary, tools_missing  # noqa: E402

AE_TITLE = "HL7MWL"
PORT = 11112

# The messages, with what a modality finds of them: PatientID, Modality, start date, and the
# values DCMTK stores differently from the dump's text (tag path -> (value, multiplicity)).
MESSAGES = {
    "order.hl7": ("PAT0001^^^SITE^MR", "CT", "20200102", {}),
    # A location of blanks only is stored as no value.
    "minimal.hl7": ("MIN001", "MR", None, {"(0038,0300)": ("", 0)}),
    "latin1.hl7": ("LAT001", "US", "20200305", {}),
    "no_pv1_order.hl7": ("NOPV1", "CT", "20200102", {"(0038,0300)": ("", 0)}),
    # dump2dcm reads the values of a dump unquoted: it drops leading and trailing blanks,
    # splits at "\" into several values, ends a value at "#", and stores a value that begins
    # with "(" as empty.
    "repetitions.hl7": ("REP01^^^SITE~REP01B^^^OTHER", "MR", "20200301", {
        "(0008,0090)": ("DR^WHO", 1),
        "(0010,0010)": ("O\\T\\BRIEN^ANN", 3),
        "(0010,1040)": ("", 0),
        "(0032,1060)": ("KNEE", 1),
        "(0038,0300)": ("WARD 3   WARD 3", 1),
        "(0040,0100)/(0008,0050)": ("ACC", 1),
    }),
}

def dump_elements(dump_bytes):
    """Tag path -> value of each element line of a dump; item contents are under the sequence."""
    elements, sequence = {}, None
    for line in dump_bytes.decode("latin-1").split("\r\n")[:-1]:
        tag, vr, value = (line.split(" ", 2) + [""])[:3]
        if vr == "SQ":
            sequence = tag
        elif tag == "(fffe,e0dd)":
            sequence = None
        elif vr != "-":
            path = f"{sequence}/{tag}" if sequence else tag
            value = value.strip("[]") if tag == "(0008,0005)" else value
            elements[path] = (value, 1 if value else 0)
    return elements


DCMDUMP_LINE = re.compile(r"^( *)(\([0-9a-f]{4},[0-9a-f]{4}\)) (\w\w) (.*?)\s+# +\S+, (\d+) ")


def dicom_elements(path):
    """Tag path -> (value, multiplicity) of a DICOM file's data set, as dcmdump prints it."""
    result = run(["dcmdump", "-q", "+L", path])
    elements, sequence = {}, None
    for line in result.stdout.decode("latin-1").splitlines():
        match = DCMDUMP_LINE.match(line)
        if not match or match[2].startswith("(0002,"):
            continue
        indent, tag, vr, value, multiplicity = match.groups()
        if vr == "SQ":
            sequence = tag
            continue
        if vr == "na":
            continue
        if not indent:
            sequence = None
        value = value[1:-1] if value.startswith("[") else ""
        elements[f"{sequence}/{tag}" if indent else tag] = (value, int(multiplicity))
    return elements


def convert(message, command, data, work, database):
    """hl7mwl and dump2dcm for one message; checks the worklist file against the dump."""
    name = message.removesuffix(".hl7")
    dump = os.path.join(work, name + ".dump")
    result = run(command + [os.path.join(data, message), dump])
    if not check(result.returncode == 0, f"{message}: hl7mwl status {result.returncode}"):
        return
    worklist = os.path.join(database, name + ".wl")
    result = run(["dump2dcm", dump, worklist])
    # dump2dcm exits 0 even when it wrote nothing: its E: lines and the file tell.
    errors = [l for l in result.stderr.decode("latin-1").splitlines() if l.startswith("E:")]
    check(not errors, f"{message}: dump2dcm: {errors}")
    if not check(os.path.isfile(worklist), f"{message}: dump2dcm wrote no file"):
        return
    with open(dump, "rb") as f:
        expected = dump_elements(f.read())
    expected.update(MESSAGES[message][3])
    stored = dicom_elements(worklist)
    for path, value in expected.items():
        check(stored.get(path) == value,
              f"{message}: {path} stored as {stored.get(path)}, expected {value}")
    check(set(stored) == set(expected), f"{message}: elements {set(stored) ^ set(expected)}")


def start_server(database, extra):
    # One process (-s): a child forked for an association would keep the port after the server
    # is stopped, and the next server could not take it.
    server = subprocess.Popen(["wlmscpfs", "-s", "-csk", "-dfp", database, *extra, str(PORT)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        probe = run(["bash", "-c", f"echo > /dev/tcp/127.0.0.1/{PORT}"])
        if probe.returncode == 0:
            return server
        time.sleep(0.05)
    stop(server)
    raise RuntimeError("wlmscpfs did not start listening")


def query(keys, work):
    """The entries a modality gets for a worklist query with `keys` (findscu -k form)."""
    out = tempfile.mkdtemp(dir=work)
    command = ["findscu", "-v", "-W", "-to", "10", "-aec", AE_TITLE, "-X", "-od", out,
               "127.0.0.1", str(PORT)]
    for key in keys:
        command += ["-k", key]
    result = run(command)
    log = result.stdout.decode("latin-1") + result.stderr.decode("latin-1")
    # findscu exits 0 even on an error status: the log must end the query with success.
    check("Received Final Find Response (Success)" in log and "E:" not in log,
          f"query {keys}: {log[-400:]}")
    return [dicom_elements(os.path.join(out, f)) for f in sorted(os.listdir(out))]


STEP = "ScheduledProcedureStepSequence[0]."
RETURN_KEYS = ["PatientName", "PatientID", STEP + "Modality",
               STEP + "ScheduledProcedureStepStartDate"]
CT = ["NOPV1", "PAT0001^^^SITE^MR"]
# label, the query's keys, the Patient IDs it finds.
QUERIES = [
    ("universal", [], sorted(ident for ident, *_ in MESSAGES.values())),
    ("by modality", [STEP + "Modality=CT"], CT),
    ("by patient", ["PatientID=LAT001"], ["LAT001"]),
    ("by modality and date",
     [STEP + "Modality=CT", STEP + "ScheduledProcedureStepStartDate=20200102"], CT),
    ("other modality", [STEP + "Modality=XA"], []),
]


def run_queries(work):
    entries = {ident: (modality, date) for ident, modality, date, _ in MESSAGES.values()}
    for label, keys, want in QUERIES:
        returned = [k for k in RETURN_KEYS if not any(q.startswith(k + "=") for q in keys)]
        found = query(returned + keys, work)
        ids = sorted(e.get("(0010,0020)", ("", 0))[0] for e in found)
        check(ids == want, f"{label}: found {ids}, expected {want}")
        for entry in found:
            ident = entry.get("(0010,0020)", ("", 0))[0]
            if ident in entries:
                modality, date = entries[ident]
                check(entry.get("(0040,0100)/(0008,0060)", ("", 0))[0] == modality,
                      f"{label}: {ident} modality {entry.get('(0040,0100)/(0008,0060)')}")
                if date:
                    check(entry.get("(0040,0100)/(0040,0002)", ("", 0))[0] == date,
                          f"{label}: {ident} start date {entry.get('(0040,0100)/(0040,0002)')}")
            if ident == "LAT001":
                check(entry.get("(0010,0010)", ("", 0))[0] == "M\xdcLLER^J\xd6RG",
                      f"{label}: Latin-1 name returned as {entry.get('(0010,0010)')}")
                check(entry.get("(0008,0005)", ("", 0))[0] == "ISO_IR 100",
                      f"{label}: character set {entry.get('(0008,0005)')}")
    print(f"ok   {len(QUERIES)} queries with file rejection disabled")


def inside(options):
    with tempfile.TemporaryDirectory() as work:
        database = os.path.join(work, "db")
        os.makedirs(os.path.join(database, AE_TITLE))
        open(os.path.join(database, AE_TITLE, "lockfile"), "w").close()
        for message in MESSAGES:
            convert(message, options.command, options.data, work,
                    os.path.join(database, AE_TITLE))
        print(f"ok   {len(MESSAGES)} messages converted and stored")

        # The dumps lack Scheduled Station AE Title and Study Instance UID, so by default the
        # server rejects every file as incomplete.
        server = start_server(database, [])
        try:
            check(query(RETURN_KEYS, work) == [], "default server returned incomplete entries")
        finally:
            stop(server)
        server = start_server(database, ["-dfr"])
        try:
            run_queries(work)
        finally:
            stop(server)
    return summary()


def main():
    options = parse_options(__doc__, ("--data", "folder of test messages and dumps"))
    if tools_missing(("dump2dcm", "dcmdump", "wlmscpfs", "findscu", "unshare", "ip"),
                     "dcmtk and iproute2"):
        return 1
    return in_namespaces(inside, options)


if __name__ == "__main__":
    sys.exit(main())
