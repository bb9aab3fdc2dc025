#!/usr/bin/env python3
"""bench/full_pipe_stop.py [RUNS]: how long each program takes from a SIGTERM
to its exit while nobody reads its standard output and the pipe has long been
full (the stop gives the parent half a second to take the write in progress,
then cuts it short): on the simulated audio system, then on a private
PulseAudio server when one can be started here."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts"))
import capture_check as cc  # noqa: E402


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    cc.check_built()
    directory = cc.private_directory("tarnwick-stop-bench-")
    try:
        scenarios = cc.write_scenarios(directory)
        print("simulated audio system:")
        status = measure(runs, {p: cc.sim_environment(scenarios[p]) for p in ("mic", "sys")})
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    if status != 0 or not shutil.which("pulseaudio") or not shutil.which("pactl"):
        return status
    print("private PulseAudio server:")
    return on_private_pulseaudio(lambda env: measure(runs, {"mic": env, "sys": env}))


def server_answers(env, server, seconds):
    """Whether the server started as `server` answers within `seconds`;
    says so when it does not."""
    deadline = time.monotonic() + seconds
    while subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode != 0:
        if time.monotonic() > deadline or server.poll() is not None:
            print("the server did not start")
            return False
        time.sleep(0.05)
    return True


def private_environment(runtime, home, **more):
    """The environment of a private server and its clients: its own runtime
    directory, and a home whose configuration, state, data and cache
    directories are its own too, whatever the caller's environment names."""
    return dict(os.environ, XDG_RUNTIME_DIR=runtime, HOME=home,
                XDG_CONFIG_HOME=os.path.join(home, ".config"), XDG_STATE_HOME=os.path.join(home, ".local", "state"),
                XDG_DATA_HOME=os.path.join(home, ".local", "share"), XDG_CACHE_HOME=os.path.join(home, ".cache"),
                **more)


def on_private_pulseaudio(body):
    """Runs body(client environment) against a PulseAudio server of its own,
    in a temporary runtime directory and home, and stops it by its pid."""
    root = tempfile.mkdtemp(prefix="tarnwick-stop-bench-pa-")
    env = private_environment(os.path.join(root, "run"), os.path.join(root, "home"), TARNWICK_AUDIO="pulse")
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    os.makedirs(env["HOME"])
    server = subprocess.Popen(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                               "-L", "module-native-protocol-unix",
                               "-L", "module-null-sink sink_name=spk rate=48000",
                               "-L", "module-null-source source_name=mic rate=48000"],
                              env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not server_answers(env, server, 10):
            return 1
        subprocess.run(["pactl", "set-default-sink", "spk"], env=env, check=True)
        subprocess.run(["pactl", "set-default-source", "mic"], env=env, check=True)
        return body(env)
    finally:
        server.terminate()
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        shutil.rmtree(root, ignore_errors=True)


def wait_until_blocked_writing(pid, timeout=15.0):
    """Until a thread of the child sleeps in a write to its full pipe (where
    the kernel says so), else a second."""
    deadline = time.monotonic() + timeout
    tasks = "/proc/%d/task" % pid
    if not os.path.isdir(tasks):
        time.sleep(1.0)
        return
    while time.monotonic() < deadline:
        for task in os.listdir(tasks):
            try:
                with open(os.path.join(tasks, task, "wchan")) as wchan:
                    if "pipe_write" in wchan.read():
                        return
            except OSError:
                pass
        time.sleep(0.005)


def measure(runs, environments):
    for program in ("mic", "sys"):
        times = []
        for _ in range(runs):
            child = subprocess.Popen([cc.PROGRAMS[program]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=environments[program])
            wait_until_blocked_writing(child.pid)
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
