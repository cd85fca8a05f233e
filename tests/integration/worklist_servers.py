"""DICOM worklist servers for the integration tests, and the query a modality sends them.

DCMTK's wlmscpfs and Orthanc with its worklist plugin, each started from a folder of .wl files
on a fixed loopback port, ready once it answers a C-ECHO, and stopped by its process id. Run
them inside a private network namespace: nothing else can reach the ports or hold them.
"""
import contextlib
import dataclasses
import json
import os
import subprocess
import tempfile
import time

import pydicom

from harness import TIMEOUT, run, stop
from worklist_files import decoded_values

HOST = "127.0.0.1"
WLMSCPFS_PORT = 11112
ORTHANC_PORT = 4242
ORTHANC_AET = "ORTHANC"
ORTHANC = "/usr/sbin/Orthanc"  # not on the PATH of a user without sbin
ORTHANC_PLUGIN = "/usr/share/orthanc/plugins/libModalityWorklists.so"
CALLING_AET = "MODALITY"


@dataclasses.dataclass
class Server:
    name: str  # "wlmscpfs" or "orthanc"
    process: subprocess.Popen
    port: int
    called_aet: str  # the AE title a query calls
    log: str  # file holding the server's standard output and error


def start_wlmscpfs(parent, called_aet, work, port=WLMSCPFS_PORT):
    """wlmscpfs serving the folder parent/called_aet: default file check (entries lacking a
    required attribute are not served, as at a site), -csk (values and Specific Character Set
    returned as the file has them), one process (-s: a child forked for an association would
    keep the port after the server is stopped). It refuses queries while
    parent/called_aet/lockfile is missing, so the caller creates it."""
    log = os.path.join(work, f"wlmscpfs-{port}.log")
    with open(log, "wb") as out:
        process = subprocess.Popen(["wlmscpfs", "-v", "-s", "-csk", "-dfp", parent, str(port)],
                                   stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    return wait_ready(Server("wlmscpfs", process, port, called_aet, log))


def start_orthanc(database, work, port=ORTHANC_PORT):
    """Orthanc serving the .wl files of `database` (not its subfolders), with its configuration,
    storage and log in `work`: no HTTP, queries from unknown modalities allowed, answers in UTF-8
    (Orthanc converts every answer to its default encoding)."""
    storage = os.path.join(work, f"orthanc-{port}")
    os.makedirs(storage)
    config = os.path.join(work, f"orthanc-{port}.json")
    with open(config, "w") as f:
        json.dump({
            "Name": "hl7mwld-test",
            "StorageDirectory": storage,
            "IndexDirectory": storage,
            "Plugins": [ORTHANC_PLUGIN],
            "HttpServerEnabled": False,
            "DicomServerEnabled": True,
            "DicomAet": ORTHANC_AET,
            "DicomPort": port,
            "DefaultEncoding": "Utf8",
            "DicomAlwaysAllowFindWorklist": True,
            "Worklists": {"Enable": True, "Database": database},
        }, f, indent=2)
    log = os.path.join(work, f"orthanc-{port}.log")
    with open(log, "wb") as out:
        process = subprocess.Popen([ORTHANC, config], stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL)
    return wait_ready(Server("orthanc", process, port, ORTHANC_AET, log))


def wait_ready(server):
    """The server once it answers a C-ECHO; stopped, and RuntimeError, when it exits or does
    not answer within TIMEOUT."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if server.process.poll() is not None:
            break
        echo = run(["echoscu", "-to", "2", "-ta", "2", "-td", "2", "-aet", CALLING_AET,
                    "-aec", server.called_aet, HOST, str(server.port)])
        if echo.returncode == 0:
            return server
        time.sleep(0.1)
    stop(server.process)
    with open(server.log, "rb") as f:
        tail = f.read().decode("latin-1")[-2000:]
    raise RuntimeError(f"{server.name} did not start on port {server.port}:\n{tail}")


@contextlib.contextmanager
def serving(server):
    """`with serving(start_orthanc(...)) as server:` stops the server however the block ends."""
    try:
        yield server
    finally:
        stop(server.process)


def find_worklist(server, keys, work):
    """The entries the server answers to `findscu -W -k KEY...`, each as decoded_values gives
    it, in the order received. A key is "Keyword" (return it) or "Keyword=value" (match it),
    with "ScheduledProcedureStepSequence[0].Keyword" inside the step. The answers are
    written as rsp0001.dcm... into a new folder in `work`. RuntimeError when findscu fails,
    the search does not end in success (findscu's own status is 0 even then) or an answer's
    text does not decode in its character set."""
    out_dir = tempfile.mkdtemp(dir=work)
    command = ["findscu", "-v", "-W", "-to", "10", "-ta", "10", "-td", "10", "-aet", CALLING_AET,
               "-aec", server.called_aet, "-X", "-od", out_dir]
    for key in keys:
        command += ["-k", key]
    result = run(command + [HOST, str(server.port)])
    log = result.stdout.decode("latin-1") + result.stderr.decode("latin-1")
    if (result.returncode != 0 or "Received Final Find Response (Success)" not in log
            or "\nE: " in "\n" + log):
        raise RuntimeError(f"{server.name}: findscu {keys} failed:\n{log[-2000:]}")
    try:
        return [decoded_values(pydicom.dcmread(os.path.join(out_dir, name)))
                for name in sorted(os.listdir(out_dir))]
    except ValueError as error:
        raise RuntimeError(f"{server.name}: findscu {keys}: an answer does not decode: {error}")
