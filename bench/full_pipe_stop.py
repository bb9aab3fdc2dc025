#!/usr/bin/env python3
"""bench/full_pipe_stop.py [RUNS]: how long each program takes, on the
simulated audio system, from a SIGTERM to its exit while nobody reads its
standard output and the pipe has long been full (the stop gives the parent
half a second to take the write in progress, then cuts it short)."""

import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts"))
import capture_check as cc  # noqa: E402


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    cc.check_built()
    directory = cc.private_directory("tarnwick-stop-bench-")
    try:
        return measure(runs, cc.write_scenarios(directory))
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def measure(runs, scenarios):
    for program in ("mic", "sys"):
        times = []
        for _ in range(runs):
            child = subprocess.Popen([cc.PROGRAMS[program]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=cc.sim_environment(scenarios[program]))
            time.sleep(1.0)
            sent = time.monotonic()
            child.send_signal(signal.SIGTERM)
            status = child.wait(30)
            times.append(time.monotonic() - sent)
            child.stdout.close()
            child.stdin.close()
            if status != 0:
                print("%s: exit status %d" % (program, status))
                return 1
        times.sort()
        print("%s: SIGTERM to exit, pipe full and unread: median %.0f ms, max %.0f ms (%d runs)" % (
            program, times[len(times) // 2] * 1000, times[-1] * 1000, runs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
