"""What the bench and acceptance scripts share: a free loopback port, a
bounded wait, and the CPU time a process or one of its named threads has used."""

import os
import signal
import socket
import subprocess
import sys
import time


def free_port(kind=socket.SOCK_STREAM):
    """A loopback port that was free a moment ago."""
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(ok, seconds, what, program):
    """Returns once ok() holds; ends the program naming what it waited for."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if ok():
            return
        time.sleep(0.05)
    sys.exit(f"{program}: timed out waiting for {what}")


def thread_cpu(pid, name):
    """User + system seconds of the thread called name in process pid."""
    tick = os.sysconf("SC_CLK_TCK")
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                if f.read().strip() != name:
                    continue
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / tick
        except FileNotFoundError:
            continue
    return None


def process_cpu(pid):
    """User + system seconds of process pid, all its threads."""
    tick = os.sysconf("SC_CLK_TCK")
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick


def stop_all(procs):
    """SIGTERM to each, last started first; SIGKILL after 10 s."""
    for p in reversed(procs):
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(10)
        except subprocess.TimeoutExpired:
            p.kill()
