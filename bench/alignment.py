#!/usr/bin/env python3
"""bench/alignment.py [CLICKS]: how well the timeline lines line up the two
programs' streams on a private PulseAudio server, and on a private PipeWire
server through its PulseAudio protocol server, where each is installed. A microphone listens to
the speaker (a source that remaps the speaker's monitor), a player plays
short clicks into the speaker, and both programs record. Each click is
found in both streams, placed on the host clock by the streams' timeline
lines, and the printed offset is the difference between the two placings
(what a parent that aligns by the lines would see), next to the offset
when placed by the arrival of the bytes instead. Prints figures; asserts
nothing."""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import capture_check as cc  # noqa: E402
from full_pipe_stop import on_private_pulseaudio, private_environment, server_answers  # noqa: E402

RATE = 48000


class Recording:
    """A child whose stdout and stderr are read as they come, with the host
    time at which each stdout chunk arrived."""

    def __init__(self, path, env):
        self.child = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      env=env)
        self.data = bytearray()
        self.arrivals = []  # (byte count after the chunk, host ns)
        self.lines = []
        self.out = threading.Thread(target=self._read_out)
        self.err = threading.Thread(target=self._read_err)
        self.out.start()
        self.err.start()

    def _read_out(self):
        while True:
            chunk = os.read(self.child.stdout.fileno(), 65536)
            if not chunk:
                return
            self.data += chunk
            self.arrivals.append((len(self.data), time.monotonic_ns()))

    def _read_err(self):
        for line in self.child.stderr:
            self.lines.append(line.decode(errors="replace").rstrip("\n"))

    def stop(self):
        self.child.stdin.close()
        self.child.wait(30)
        self.out.join()
        self.err.join()

    def samples(self, channels):
        body = bytes(self.data[24:])
        count = len(body) // 4
        values = struct.unpack("<%df" % count, body[:count * 4])
        return values[0::channels]

    def timeline(self):
        points = []
        for line in self.lines:
            marker = "timeline: frame "
            at = line.find(marker)
            if at >= 0:
                frame, rest = line[at + len(marker):].split(" captured at ")
                points.append((int(frame), int(rest.split()[0])))
        return points

    def by_line(self, frame):
        n, t = max((p for p in self.timeline() if p[0] <= frame), default=self.timeline()[0])
        return t + (frame - n) * 1e9 / RATE

    def by_arrival(self, frame, channels):
        end = 24 + (frame + 1) * channels * 4
        for count, ns in self.arrivals:
            if count >= end:
                # The chunk's last frame arrived then; earlier ones are older.
                last = (count - 24) // (channels * 4) - 1
                return ns - (last - frame) * 1e9 / RATE
        return float("nan")


def clicks(samples, threshold=0.25):
    found, last = [], -RATE
    for i, v in enumerate(samples):
        if abs(v) > threshold and i - last > RATE // 4:
            found.append(i)
            last = i
    return found


def measure(env, count):
    subprocess.run(["pactl", "load-module", "module-remap-source", "master=spk.monitor", "source_name=ear",
                    "channels=2"], env=env, check=True, capture_output=True)
    subprocess.run(["pactl", "set-default-source", "ear"], env=env, check=True)
    sysrec = Recording(cc.PROGRAMS["sys"], env)
    micrec = Recording(cc.PROGRAMS["mic"], env)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and not (sysrec.timeline() and micrec.timeline()):
        time.sleep(0.05)
    time.sleep(0.5)
    # Clicks half a second apart, one frame of full scale each.
    audio = bytearray()
    for _ in range(count):
        frames = [0.0] * (RATE // 2)
        frames[0] = 0.9
        for v in frames:
            audio += struct.pack("<ff", v, v)
    with tempfile.NamedTemporaryFile(suffix=".raw") as raw:
        raw.write(audio)
        raw.flush()
        subprocess.run(["pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                        "--device=spk", raw.name], env=env, check=True)
    time.sleep(1.0)
    sysrec.stop()
    micrec.stop()
    sys_clicks = clicks(sysrec.samples(2))
    mic_clicks = clicks(micrec.samples(1), threshold=0.1)
    if not sys_clicks or not mic_clicks or not sysrec.timeline() or not micrec.timeline():
        print("no clicks or no timeline lines found (sys %d, mic %d clicks)" % (len(sys_clicks), len(mic_clicks)))
        return 1
    # A click one stream missed (at the very start of the playback) must not
    # shift the pairs: each microphone click goes with the system click that
    # arrived nearest to it, when that is within a quarter of the spacing.
    pairs = []
    for m in mic_clicks:
        at = micrec.by_arrival(m, 1)
        s = min(sys_clicks, key=lambda c: abs(sysrec.by_arrival(c, 2) - at))
        if abs(sysrec.by_arrival(s, 2) - at) < 0.125e9:
            pairs.append((s, m))
    if not pairs:
        print("no click heard by both")
        return 1
    by_line = [(micrec.by_line(m) - sysrec.by_line(s)) / 1e6 for s, m in pairs]
    by_arrival = [(micrec.by_arrival(m, 1) - sysrec.by_arrival(s, 2)) / 1e6 for s, m in pairs]
    by_line.sort()
    by_arrival.sort()
    print("%d clicks heard by both: microphone minus system audio, placed by timeline lines: median %.1f ms "
          "(%.1f .. %.1f); placed by arrival: median %.1f ms (%.1f .. %.1f)" % (
              len(pairs), by_line[len(by_line) // 2], by_line[0], by_line[-1], by_arrival[len(by_arrival) // 2],
              by_arrival[0], by_arrival[-1]))
    return 0


def on_private_pipewire(body):
    """Runs body(client environment) against PipeWire, its session manager
    and its PulseAudio protocol server, all of their own in a temporary
    runtime directory and home, with a null sink "spk" as the default, and
    stops that process group."""
    root = tempfile.mkdtemp(prefix="tarnwick-align-pw-")
    env = private_environment(root, root, TARNWICK_AUDIO="pulse",
                              PULSE_SERVER="unix:" + os.path.join(root, "pulse", "native"))
    for outside in ("DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PULSE_RUNTIME_PATH"):
        env.pop(outside, None)
    # Each daemon starts once the one it connects to answers.
    script = ("pipewire & until [ -S \"$XDG_RUNTIME_DIR/pipewire-0\" ]; do sleep 0.05; done;"
              " wireplumber & until pw-cli ls Metadata 2>/dev/null | grep -q '\"default\"'; do sleep 0.05; done;"
              " pipewire-pulse & wait")
    server = subprocess.Popen(["dbus-run-session", "--", "sh", "-c", script], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        if not server_answers(env, server, 15):
            return 1
        subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=spk", "rate=48000"], env=env,
                       check=True, capture_output=True)
        deadline = time.monotonic() + 10
        while "spk" not in subprocess.run(["pactl", "list", "short", "sinks"], env=env, capture_output=True,
                                          text=True).stdout:
            if time.monotonic() > deadline:
                print("the null sink did not appear")
                return 1
            time.sleep(0.05)
        subprocess.run(["pactl", "set-default-sink", "spk"], env=env, check=True)
        return body(env)
    finally:
        os.killpg(server.pid, signal.SIGTERM)
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(server.pid, signal.SIGKILL)
            server.wait()
        shutil.rmtree(root, ignore_errors=True)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    cc.check_built()
    status = 0
    if shutil.which("pulseaudio"):
        print("private PulseAudio server:")
        status |= on_private_pulseaudio(lambda env: measure(env, count))
    if all(shutil.which(p) for p in ("dbus-run-session", "pipewire", "wireplumber", "pipewire-pulse", "pw-cli")):
        print("private PipeWire server:")
        status |= on_private_pipewire(lambda env: measure(env, count))
    return status


if __name__ == "__main__":
    sys.exit(main())
