#!/usr/bin/env python3
"""End-to-end cases: runs the real hl7mwl per row and compares status, stderr and files.

Usage: run_cases.py --program PATH --data DIR [--emulator CMD]

Each case runs in a new empty folder holding the files it names. Expected standard error is
written with plain line feeds; the program sends every one of them as CR LF.
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402

USAGE = (
    "\nNAME\n\thl7mwl\n\nSYNOPSYS\n\thl7mwl file-in file-out [OPTIONS]\n"
    "\nDESCRIPTION\n\thl7mwl converts HL7 files to DICOM dump\n"
    "\nPARAMETERS\n\tfile-in \tHL7 file\n\tfile-out\tDICOM dump file\n"
    "\nOPTIONS\n\t-V\tVersion\n\t-v\tVerbose\n\t-q\tQuiet\n\t-h\tHelp\n"
)
# "hl7mwl 2.0.30 - May 15 2020 10:44:59", then the author and the contact lines.
VERSION = re.compile(
    rb"\Ahl7mwl 2\.0\.30 - [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
    rb"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\r\n"
    rb"Written by [^\r\n]+\r\nEmail: [^\r\n]+\r\n\Z"
)

ORDER = "order.hl7"  # the worked example; its dump is order.dump
ABSENT = None        # an output file that must not exist
PRESET = b"left alone\n"

# label, arguments, files present before the run, status, stderr, files expected after.
# In stderr, {ENOENT}-style fields stand for the C library's text for that error number.
CASES = [
    ("no argument", [], {}, 1, USAGE, {}),
    ("lone ?", ["?"], {}, 1, USAGE, {}),
    ("argument beginning with ?", ["?x", "in.hl7"], {}, 1, USAGE, {}),
    ("-h", ["-h"], {}, 0, USAGE, {}),
    ("-help acts as -h", ["-help", "-V"], {}, 0, USAGE, {}),
    ("-V", ["-V"], {}, 0, VERSION, {}),
    ("-Version acts as -V", ["-Version"], {}, 0, VERSION, {}),
    ("-V after two files opens nothing", [ORDER, "out.dump", "-V"], {ORDER: ORDER}, 0, VERSION,
     {"out.dump": ABSENT}),
    ("lone -", ["-"], {}, 1, "Illegal flag ''\n", {}),
    ("-?", ["-?"], {}, 1, "Illegal flag '?'\n", {}),
    ("--v", ["--v"], {}, 1, "Illegal flag '-v'\n", {}),
    ("-H", ["-H"], {}, 1, "Illegal flag 'H'\n", {}),
    ("file name taken as flag", ["-data.hl7", "out.dump"], {}, 1, "Illegal flag 'data.hl7'\n", {}),
    ("line feed inside a flag", ["-x\ny"], {}, 1, "Illegal flag 'x\ny'\n", {}),
    ("missing input stops before -V", ["missing.hl7", "-V"], {}, 1,
     "missing.hl7: {ENOENT}\n", {}),
    ("-V before missing input", ["-V", "missing.hl7"], {}, 0, VERSION, {}),
    ("empty input argument", ["", "out.dump"], {}, 1, "{ENOENT}\n", {"out.dump": ABSENT}),
    ("no file argument", ["-q"], {}, 1, "Quiet\nERROR: HL7 file not specified\n", {}),
    ("-v alone", ["-v"], {}, 1, "Verbose\nERROR: HL7 file not specified\n", {}),
    ("one file argument", [ORDER], {ORDER: ORDER}, 1, "ERROR: output file not specified\n", {}),
    ("conversion", [ORDER, "out.dump"], {ORDER: ORDER}, 0, "", {"out.dump": "order.dump"}),
    ("-q anywhere", [ORDER, "-q", "out.dump", "-q"], {ORDER: ORDER}, 0, "Quiet\nQuiet\n",
     {"out.dump": "order.dump"}),
    ("-v between the files", [ORDER, "-vq", "out.dump"], {ORDER: ORDER}, 0,
     "Verbose\nin file:  order.hl7\nout file: out.dump\n", {"out.dump": "order.dump"}),
    ("third file ignored untested", [ORDER, "out.dump", "missing.hl7"], {ORDER: ORDER}, 0, "",
     {"out.dump": "order.dump", "missing.hl7": ABSENT}),
    ("dash file written as path", ["./-data.hl7", "out.dump"], {"-data.hl7": ORDER}, 0, "",
     {"out.dump": "order.dump"}),
    ("existing output truncated", [ORDER, "out.dump"], {ORDER: ORDER, "out.dump": b"x" * 5000},
     0, "", {"out.dump": "order.dump"}),
    ("same file in and out", [ORDER, ORDER], {ORDER: ORDER}, 0, "", {ORDER: "order.dump"}),
    ("message without PV1", ["no_pv1.hl7", "out.dump"],
     {"no_pv1.hl7": b"PID|1||P1\r\nOBR|1\r\n"}, 0, "", {"out.dump": "no_pv1.dump"}),
    ("empty input file", ["empty.hl7", "out.dump"], {"empty.hl7": b"", "out.dump": PRESET}, 1,
     "ERROR: no PID segment in HL7 file\n", {"out.dump": PRESET}),
    ("CR-only file is one line", ["cr.hl7", "out.dump"],
     {"cr.hl7": b"MSH|^~\\&\rPID|1||P1\rOBR|1\r"}, 1, "ERROR: no PID segment in HL7 file\n",
     {"out.dump": ABSENT}),
    ("no OBR", ["in.hl7", "out.dump"], {"in.hl7": b"MSH|^~\\&\nPID|1\nORC|NW\n"}, 1,
     "ERROR: no OBR segment in HL7 file\n", {"out.dump": ABSENT}),
    ("directory as input", ["dir", "out.dump"], {"dir/": None}, 1, "dir: {DIRECTORY}\n",
     {"out.dump": ABSENT}),
    ("output folder missing", [ORDER, "nodir/out.dump"], {ORDER: ORDER}, 1,
     "nodir/out.dump: {ENOENT}\n", {}),
    ("output is a directory", [ORDER, "dir"], {ORDER: ORDER, "dir/": None}, 1,
     "dir: {DIRECTORY}\n", {}),
    # Under Wine, /dev/full is the Linux device as well.
    ("write fails", [ORDER, "/dev/full"], {ORDER: ORDER}, 1, "/dev/full: {ENOSPC}\n", {}),
]

NON_ROOT_CASES = [
    ("unreadable input", ["locked.hl7", "out.dump"], {"locked.hl7": (ORDER, 0o000)}, 1,
     "locked.hl7: {EACCES}\n", {"out.dump": ABSENT}),
    ("read-only output folder", [ORDER, "ro/out.dump"], {ORDER: ORDER, "ro/": 0o500}, 1,
     "ro/out.dump: {EACCES}\n", {"ro/out.dump": ABSENT}),
]


def run_case(case, command, data, texts, folder):
    _, args, files, status, stderr, expected_files = case
    harness.make_files(folder, files, data)
    result = harness.run(command + args, timeout=60, cwd=folder)
    if not isinstance(stderr, re.Pattern):
        stderr = stderr.replace("\n", "\r\n")
    problems = harness.compare("status", result.returncode, status, texts)
    problems += harness.compare("stdout", result.stdout, b"", texts)
    problems += harness.compare("stderr", result.stderr, stderr, texts)
    for name, expected in expected_files.items():
        path = os.path.join(folder, name)
        if expected is ABSENT:
            if os.path.exists(path):
                problems.append(f"{name} exists")
        elif not os.path.isfile(path):
            problems.append(f"{name} missing")
        else:
            with open(path, "rb") as f:
                got = f.read()
            if got != harness.content(expected, data):
                problems.append(f"{name} holds {got[:200]!r}")
    return problems


if __name__ == "__main__":
    sys.exit(harness.run_table(__doc__, CASES, NON_ROOT_CASES, run_case))
