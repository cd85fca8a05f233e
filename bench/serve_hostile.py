#!/usr/bin/env python3
"""What hostile frames cost hl7mwld serve: for each shape of frame, 64 connections from 64
loopback addresses send one such frame each at once while a 65th, the RIS, sends one good order;
the table gives the server's peak resident memory, the entries written, the longest answer to a
hostile frame and the RIS's answer time. Runs as root inside a private network namespace.

Usage: bench/serve_hostile.py [PROGRAM]   (default build/default/hl7mwld)
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

CONNECTIONS = 64
SIZE = 1 << 20  # serve's default --max-message
PORT = 2575
MSH = b"MSH|^~\\&|RIS|SITE|MWL|SITE|20240301120000||ORM^O01|%s|P|2.5\r"
PATIENT = b"PID|1||P1^^^H||DOE^JOHN\r"


def fill(head, unit, size=SIZE):
    """`head`, then `unit` repeated up to `size` bytes."""
    return head + unit * ((size - len(head)) // len(unit))


def shapes():
    """(label, frame content) of the worst shapes found: many empty fields, many segments,
    many procedures, many cancels, long identifiers, and a frame longer than --max-message."""
    good = MSH % b"H" + PATIENT
    return [
        ("1 MiB MSH of empty fields (`\\|`)", fill(b"MSH|^~\\&|", b"|")),
        ("1 MiB of empty fields after a good MSH", fill(good + b"OBR|1|", b"|")),
        ("104,000 OBR segments (`OBR\\|\\|\\|X\\|A`)", fill(good + b"ORC|NW|A|F\r", b"OBR|||X|A\r")),
        ("one-byte segments (A CR)", fill(good, b"A\r")),
        ("60 KB ORC-3 and 500 OBRs",
         good + b"ORC|NW|A|" + b"9" * 60000 + b"\r" + b"OBR|1|||CT^CT HEAD\r" * 500),
        ("10,000 cancels (`ORC\\|CA`)", good + b"ORC|CA|PL1|F1\r" * 10000),
        ("100 entries, each description 10 KB",
         good + b"ORC|NW|A|F\r" + (b"OBR|1|||CT^" + b"D" * 10000 + b"\r") * 100),
        ("a frame 1 byte over --max-message", fill(good, b"PV1|1\r", SIZE + 64)),
    ]


def framed(content):
    return b"\x0b" + content + b"\x1c\r"


def exchange(address, content, results, index):
    started = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=120,
                                      source_address=(address, 0)) as s:
            s.sendall(framed(content))
            answer = b""
            while not answer.endswith(b"\x1c\r"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
    except OSError as error:
        answer = repr(error).encode()
    results[index] = (time.monotonic() - started, answer)


def peak_memory(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def measure(program, label, content):
    folder = tempfile.mkdtemp(prefix="hl7mwld-hostile-")
    log = open(folder + ".log", "wb")
    server = subprocess.Popen([program, "serve", "--worklist", folder, "--listen",
                               f"127.0.0.1:{PORT}", "--max-connections", str(CONNECTIONS + 1)],
                              stderr=log)
    try:
        for _ in range(100):
            if b"listening on" in open(folder + ".log", "rb").read():
                break
            time.sleep(0.1)
        idle = peak_memory(server.pid)
        results = [None] * (CONNECTIONS + 1)
        threads = [threading.Thread(target=exchange,
                                    args=(f"127.0.0.{i + 2}", content, results, i))
                   for i in range(CONNECTIONS)]
        ris = threading.Thread(target=exchange, args=("127.0.1.1", (MSH % b"RIS") + PATIENT
                                                      + b"ORC|NW|R1|R1\rOBR|1|||CT^CT\r",
                                                      results, CONNECTIONS))
        for thread in threads:
            thread.start()
        ris.start()
        for thread in threads + [ris]:
            thread.join(180)
        peak = peak_memory(server.pid)
        alive = server.poll() is None
    finally:
        server.terminate()
        server.wait(15)
        log.close()
    entries = sum(1 for name in os.listdir(folder) if name.endswith(".wl"))
    answers = [r for r in results[:CONNECTIONS] if r]
    codes = sorted({a.split(b"MSA|")[1][:2].decode() if b"MSA|" in a else "none"
                    for _, a in answers})
    longest = max(seconds for seconds, _ in answers)
    ris_seconds, ris_answer = results[CONNECTIONS]
    ris_code = ris_answer.split(b"MSA|")[1][:2].decode() if b"MSA|" in ris_answer else "none"
    return (f"| {label} | {len(content) / 2**20:.2f} MiB | {idle / 2**20:.1f} MiB | "
            f"{peak / 2**20:.1f} MiB | {entries - (1 if ris_code == 'AA' else 0)} | "
            f"{'/'.join(codes)}, longest {longest:.2f} s | {ris_code} in {ris_seconds:.2f} s | "
            f"{'yes' if alive else 'NO'} |")


def main():
    program = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/default/hl7mwld")
    if os.environ.get("HOSTILE_IN_NAMESPACE") != "1":
        os.environ["HOSTILE_IN_NAMESPACE"] = "1"
        os.execvp("unshare", ["unshare", "-n", sys.executable, __file__, program])
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    print(f"{CONNECTIONS} connections at once, one frame each, and one RIS order beside them\n")
    print("| frame | size | memory at start | peak memory | entries written | answers | "
          "RIS order | still serving |")
    print("|---|---|---|---|---|---|---|---|")
    for label, content in shapes():
        print(measure(program, label, content), flush=True)


if __name__ == "__main__":
    main()
