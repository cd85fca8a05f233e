"""What the scripts that run the real programs share: options, checks, tables, namespaces."""
import argparse
import errno
import importlib
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import traceback

TIMEOUT = 30  # seconds: the default bound of a command run here and of a process's stop
NAMESPACES = "HL7MWL_NAMESPACES"  # "root" or "user" inside the namespaces in_namespaces makes

_lock = threading.Lock()
_tally = {"checks": 0, "failed": 0}
_thread = threading.local()  # .failed: checks failed in this thread since failed_in_thread()


def parse_options(description, *arguments):
    """Options --program, --emulator and (flag, help[, default]) `arguments`; .command runs it."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--program", required=True, help="the executable under test")
    parser.add_argument("--emulator", default="", help="command that runs the program (wine)")
    for flag, text, *default in arguments:
        parser.add_argument(flag, help=text, required=not default,
                            default=default[0] if default else None)
    options = parser.parse_args()
    # The emulator's words, if any, then the program's absolute path.
    options.command = shlex.split(options.emulator) + [os.path.abspath(options.program)]
    return options


def run(command, timeout=TIMEOUT, **options):
    """The finished run of `command`, its output captured; TimeoutExpired after `timeout` s."""
    return subprocess.run(command, capture_output=True, timeout=timeout, **options)


def stop(process, timeout=TIMEOUT, signal_number=signal.SIGTERM):
    """Ends the process by its id: `signal_number`, SIGKILL when it outlives `timeout`; waits
    for it."""
    if process.poll() is not None:
        return
    process.send_signal(signal_number)
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=timeout)


def check(condition, text):
    """Counts a check, from any thread; prints FAIL and `text` when `condition` is false."""
    with _lock:
        _tally["checks"] += 1
        if not condition:
            _tally["failed"] += 1
            _thread.failed = getattr(_thread, "failed", 0) + 1
            print("FAIL", text, flush=True)
    return condition


def failed_in_thread():
    """The checks this thread failed since it last asked (or since it started); counts anew."""
    failed, _thread.failed = getattr(_thread, "failed", 0), 0
    return failed


def guarded(phase, *arguments):
    """Runs phase(*arguments); an exception in it is a failed check and hides no other phase."""
    try:
        phase(*arguments)
    except Exception:
        check(False, f"{phase.__name__}: {traceback.format_exc()}")


def summary(passed=None, failed=None):
    """Prints "N passed, M failed", of the checks by default; the exit status, 1 on a failure."""
    if passed is None:
        passed, failed = _tally["checks"] - _tally["failed"], _tally["failed"]
    print(f"{passed} passed, {failed} failed", flush=True)
    return 1 if failed else 0


def tools_missing(tools, packages):
    """Whether a tool is not on the PATH; prints FAIL naming it and the `packages` to install."""
    missing = [tool for tool in tools if not shutil.which(tool)]
    if missing:
        print(f"FAIL {missing[0]} not found (install {packages})")
    return bool(missing)


def require_pydicom():
    """Exits with a FAIL line when pydicom cannot be imported."""
    try:
        importlib.import_module("pydicom")
    except ImportError as error:
        print(f"FAIL {error} (install python3-pydicom and run the Python of the system)")
        sys.exit(1)


def in_namespaces(inside, *arguments, mount=False, timeout=None):
    """The status of inside(*arguments), run by this script again in a network namespace of its
    own with loopback up (and a mount namespace as root, with `mount`)."""
    if os.environ.get(NAMESPACES):
        run(["ip", "link", "set", "lo", "up"], check=True)
        return inside(*arguments)
    # Without root a user namespace, in which the user is root in name only.
    root = os.geteuid() == 0
    namespace = ["unshare", "-n"] + (["-m"] if mount else []) if root else ["unshare", "-rn"]
    env = dict(os.environ, **{NAMESPACES: "root" if root else "user"})
    return subprocess.run(namespace + [sys.executable] + sys.argv, env=env,
                          timeout=timeout).returncode


def folder_files(folder):
    """{name: bytes} of the folder's files."""
    result = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            result[name] = f.read()
    return result


# --- End-to-end tables ---------------------------------------------------------------------

def error_texts(windows):
    """The C library's text of each error number a table names, as {ENOENT}-style fields."""
    names = ("ENOENT", "ENOTDIR", "EISDIR", "ENOSPC", "EACCES")
    texts = {name: os.strerror(getattr(errno, name)) for name in names}
    # Windows refuses to open a directory as a file; POSIX fails the read or the open to write.
    texts["DIRECTORY"] = os.strerror(errno.EACCES if windows else errno.EISDIR)
    return texts


def content(source, data):
    """Bytes of a file: bytes as they are, a data file's bytes, or a list of those joined."""
    if isinstance(source, tuple):
        source = source[0]
    if isinstance(source, list):
        return b"".join(content(part, data) for part in source)
    if isinstance(source, bytes):
        return source
    with open(os.path.join(data, source), "rb") as f:
        return f.read()


def make_files(folder, files, data):
    """Writes {name: content} into the folder; a name ending in "/" is a folder."""
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


def compare(name, got, want, texts):
    """Problems of output `got`: not found by the pattern `want`, or not `want`'s bytes."""
    if isinstance(want, re.Pattern):
        return [] if want.search(got) else [f"{name} {got!r} does not match {want.pattern!r}"]
    if isinstance(want, str):
        want = want.format(**texts).encode("latin-1")
    return [] if got == want else [f"{name} {got!r}, expected {want!r}"]


def run_table(description, cases, non_root_cases, run_case):
    """Runs run_case(case, command, data, error texts, folder) per case in a new empty folder,
    prints "ok" or "FAIL" and the label, then each problem; the exit status."""
    options = parse_options(description, ("--data", "folder of test messages and dumps"))
    windows = options.program.lower().endswith(".exe")
    texts = error_texts(windows)
    # Permissions bind only users other than root.
    cases = cases + (non_root_cases if not windows and os.geteuid() != 0 else [])
    failed = 0
    for case in cases:
        with tempfile.TemporaryDirectory() as folder:
            problems = run_case(case, options.command, options.data, texts, folder)
        print(f"{'FAIL' if problems else 'ok  '} {case[0]}")
        for problem in problems:
            print(f"     {problem}")
        failed += bool(problems)
    return summary(len(cases) - failed, failed)
