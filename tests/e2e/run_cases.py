#!/usr/bin/env python3
"""End-to-end cases: runs the real hl7mwl per row and compares status, stderr and files.

Usage: run_cases.py --program PATH --data DIR [--emulator CMD]

Each case runs in a new empty folder holding the files it names. Expected standard error is
written with plain line feeds; the program sends every one of them as CR LF.
"""
import errno
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from program_under_test import parse_options  # noqa: E402

USAGE = (
    "\nNAME\n\thl7mwl\n\nSYNOPSYS\n\thl7mwl file-in file-out [OPTIONS]\n"
    "\nDESCRIPTION\n\thl7mwl converts HL7 files to DICOM dump\n"
    "\nPARAMETERS\n\tfile-in \tHL7 file\n\tfile-out\tDICOM dump file\n"
    "\nOPTIONS\n\t-V\tVersion\n\t-v\tVerbose\n\t-q\tQuiet\n\t-h\tHelp\n"
)
# "hl7mwl 2.0.30 - May 15 2020 10:44:59", then the author and the contact lines.
VERSION = re.compile(
    rb"hl7mwl 2\.0\.30 - [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\r\n"
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
    ("directory as input", ["dir", "out.dump"], {"dir/": None}, 1, "dir: {DIRECTORY_READ}\n",
     {"out.dump": ABSENT}),
    ("output folder missing", [ORDER, "nodir/out.dump"], {ORDER: ORDER}, 1,
     "nodir/out.dump: {ENOENT}\n", {}),
    ("output is a directory", [ORDER, "dir"], {ORDER: ORDER, "dir/": None}, 1,
     "dir: {DIRECTORY_WRITE}\n", {}),
    # Under Wine, /dev/full is the Linux device as well.
    ("write fails", [ORDER, "/dev/full"], {ORDER: ORDER}, 1, "/dev/full: {ENOSPC}\n", {}),
]

NON_ROOT_CASES = [
    ("unreadable input", ["locked.hl7", "out.dump"], {"locked.hl7": (ORDER, 0o000)}, 1,
     "locked.hl7: {EACCES}\n", {"out.dump": ABSENT}),
    ("read-only output folder", [ORDER, "ro/out.dump"], {ORDER: ORDER, "ro/": 0o500}, 1,
     "ro/out.dump: {EACCES}\n", {"ro/out.dump": ABSENT}),
]


def error_texts(windows):
    texts = {name: os.strerror(getattr(errno, name)) for name in ("ENOENT", "ENOSPC", "EACCES")}
    # Windows refuses to open a directory as a file; POSIX opens it and fails the read.
    texts["DIRECTORY_READ"] = os.strerror(errno.EACCES if windows else errno.EISDIR)
    texts["DIRECTORY_WRITE"] = os.strerror(errno.EACCES if windows else errno.EISDIR)
    return texts


def content(source, data):
    """Bytes of a file: bytes as they are, or the file of that name in the data folder."""
    if isinstance(source, tuple):
        source = source[0]
    if isinstance(source, bytes):
        return source
    with open(os.path.join(data, source), "rb") as f:
        return f.read()


def run_case(case, command, data, texts):
    label, args, files, status, stderr, expected_files = case
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        for name, source in files.items():
            path = os.path.join(folder, name)
            if name.endswith("/"):
                os.mkdir(path)
            else:
                with open(path, "wb") as f:
                    f.write(content(source, data))
            # A mode comes with a folder as a number, with a file as (content, mode).
            mode = (source if isinstance(source, int)
                    else source[1] if isinstance(source, tuple) else None)
            if mode is not None:
                os.chmod(path, mode)
        result = subprocess.run(command + args, cwd=folder, capture_output=True, timeout=60)
        if result.returncode != status:
            problems.append(f"status {result.returncode}, expected {status}")
        if result.stdout:
            problems.append(f"standard output written: {result.stdout!r}")
        if isinstance(stderr, re.Pattern):
            if not stderr.match(result.stderr):
                problems.append(f"stderr {result.stderr!r} does not match {stderr.pattern!r}")
        else:
            want = stderr.format(**texts).replace("\n", "\r\n").encode("latin-1")
            if result.stderr != want:
                problems.append(f"stderr {result.stderr!r}, expected {want!r}")
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
                if got != content(expected, data):
                    problems.append(f"{name} holds {got[:200]!r}")
    return problems


def main():
    options = parse_options(__doc__)
    windows = options.program.lower().endswith(".exe")
    texts = error_texts(windows)
    # Permissions bind only users other than root.
    cases = CASES + (NON_ROOT_CASES if not windows and os.geteuid() != 0 else [])
    failed = 0
    for case in cases:
        problems = run_case(case, options.command, options.data, texts)
        print(f"{'FAIL' if problems else 'ok  '} {case[0]}")
        for problem in problems:
            print(f"     {problem}")
        failed += bool(problems)
    print(f"{len(cases) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
