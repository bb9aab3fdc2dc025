"""What scripts/soak and scripts/stress share: the programs and their counter
scenarios on the simulated audio system, the stream header, a sample-by-sample
check of a counter stream, the trace's created-and-released objects, and the
process figures read from /proc."""

import array
import json
import os
import re
import struct
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("TARNWICK_BUILD_DIR", os.path.join(ROOT, "build", "plain"))

PROGRAMS = {
    "mic": os.path.join(BUILD, "miccapture", "tarnwick-miccapture"),
    "sys": os.path.join(BUILD, "syscapture", "tarnwick-syscapture"),
}
PREFIX = {"mic": "[tarnwick-miccapture] ", "sys": "[tarnwick-syscapture] "}
# Header words a parent expects from the scenarios below:
# rate, channels, bits, frames per buffer, producer, reserved.
HEADER = {"mic": (48000, 1, 32, 512, 5, 0), "sys": (48000, 2, 32, 512, 11, 0)}

# A microphone at 48000 Hz with one channel: its stream is the device's
# counter unchanged. Speakers playing the counter: the planar stereo tap
# gives channel 0 and channel 1 of it.
SCENARIOS = {
    "mic": {"devices": [{"uid": "counter-mic", "name": "Counter Microphone", "input_channels": 1,
                         "sample_rate": 48000, "buffer_frames": 512, "signal": {"kind": "counter"}}]},
    "sys": {"devices": [{"uid": "counter-speakers", "name": "Counter Speakers", "output_channels": 2,
                         "sample_rate": 48000, "buffer_frames": 512, "signal": {"kind": "counter"}}]},
}

HEADER_BYTES = 24
PERIOD = 1 << 20  # the counter repeats after this many frames


def check_built():
    missing = [p for p in PROGRAMS.values() if not os.access(p, os.X_OK)]
    if missing:
        raise SystemExit("not built: %s (run scripts/build plain, or set TARNWICK_BUILD_DIR)" % ", ".join(missing))


def write_scenarios(directory):
    paths = {}
    for name, scenario in SCENARIOS.items():
        path = os.path.join(directory, name + "-scenario.json")
        with open(path, "w") as f:
            json.dump(scenario, f)
        paths[name] = path
    return paths


def sim_environment(scenario_path, trace_path=None):
    env = dict(os.environ)
    env["TARNWICK_AUDIO"] = "sim"
    env["TARNWICK_SIM_SCENARIO"] = scenario_path
    env.pop("TARNWICK_SIM_TRACE", None)
    if trace_path:
        env["TARNWICK_SIM_TRACE"] = trace_path
    return env


def decode_header(data):
    if len(data) < HEADER_BYTES:
        return None
    return struct.unpack("<6i", bytes(data[:HEADER_BYTES]))


_tables = {}


def counter_table(channels):
    """Bytes of two counter periods of `channels`-channel frames: frame k is
    channel c = c + (k mod 2^20) / 2^20, exact in 32-bit float."""
    if channels not in _tables:
        frames = array.array("f", bytes(4 * channels * PERIOD))
        for c in range(channels):
            frames[c::channels] = array.array("f", (c + k / PERIOD for k in range(PERIOD)))
        if frames.itemsize != 4:
            raise SystemExit("this Python has no 32-bit float array")
        one = frames.tobytes()
        _tables[channels] = one + one
    return _tables[channels]


class CounterCheck:
    """Follows a stream of counter frames, sample by sample: any frame that is
    not the one after its predecessor counts as lost (ahead), repeated or
    reordered (behind), or corrupt (not a counter frame)."""

    def __init__(self, channels):
        self.channels = channels
        self.frame_bytes = 4 * channels
        self.table = counter_table(channels)
        self.pending = b""
        self.next = None
        self.frames = 0
        self.lost = 0
        self.behind = 0
        self.corrupt = 0
        self.problems = []

    def _frame_index(self, frame):
        values = struct.unpack("<%df" % self.channels, frame)
        k = round(values[0] * PERIOD)
        if 0 <= k < PERIOD:
            at = k * self.frame_bytes
            if self.table[at:at + self.frame_bytes] == frame:
                return k
        return None

    def _problem(self, text):
        if len(self.problems) < 10:
            self.problems.append("frame %d: %s" % (self.frames, text))

    def feed(self, data):
        data = self.pending + bytes(data)
        whole = len(data) - len(data) % self.frame_bytes
        self.pending = data[whole:]
        fb = self.frame_bytes
        at = 0
        while at < whole:
            if self.next is None:
                k = self._frame_index(data[at:at + fb])
                if k is None:
                    self.corrupt += 1
                    self._problem("not a counter frame")
                    self.frames += 1
                    at += fb
                    continue
                self.next = k
            count = min((whole - at) // fb, PERIOD)
            start = self.next * fb
            chunk = data[at:at + count * fb]
            if chunk == self.table[start:start + count * fb]:
                self.frames += count
                self.next = (self.next + count) % PERIOD
                at += count * fb
                continue
            # Find the first frame that differs, then resynchronise on it.
            lo, hi = 0, count - 1
            while lo < hi:
                mid = (lo + hi) // 2
                if chunk[:(mid + 1) * fb] == self.table[start:start + (mid + 1) * fb]:
                    lo = mid + 1
                else:
                    hi = mid
            self.frames += lo
            at += lo * fb
            expected = (self.next + lo) % PERIOD
            got = self._frame_index(data[at:at + fb])
            if got is None:
                self.corrupt += 1
                self._problem("not a counter frame")
                self.next = None
            else:
                ahead = (got - expected) % PERIOD
                if ahead < PERIOD // 2:
                    self.lost += ahead
                    self._problem("%d frames lost" % ahead)
                else:
                    self.behind += 1
                    self._problem("%d frames repeated or out of order" % (PERIOD - ahead))
                self.next = (got + 1) % PERIOD
            self.frames += 1
            at += fb

    def clean(self):
        return self.lost == 0 and self.behind == 0 and self.corrupt == 0

    def summary(self):
        return "%d frames, %d lost, %d repeated/reordered, %d corrupt" % (
            self.frames, self.lost, self.behind, self.corrupt)


_CREATORS = {
    "AudioComponentInstanceNew": ("unit", r"unit#\d+"),
    "AudioConverterNew": ("conv", r"conv#\d+"),
    "AudioDeviceCreateIOProcIDWithBlock": ("proc", r"proc#\d+"),
    "AudioHardwareCreateProcessTap": ("tap", r"id=(\d+)"),
    "AudioHardwareCreateAggregateDevice": ("aggregate", r"id=(\d+)"),
}
_RELEASERS = {
    "AudioComponentInstanceDispose": ("unit", r"unit#\d+"),
    "AudioConverterDispose": ("conv", r"conv#\d+"),
    "AudioDeviceDestroyIOProcID": ("proc", r"proc#\d+"),
    "AudioHardwareDestroyProcessTap": ("tap", r"^(\d+)"),
    "AudioHardwareDestroyAggregateDevice": ("aggregate", r"^(\d+)"),
    "CFRelease": ("string", r"str#\d+"),
}


def _token(pattern, text):
    found = re.search(pattern, text)
    if not found:
        return None
    return found.group(1) if found.groups() else found.group(0)


def unreleased_objects(trace_lines):
    """The platform objects (units, converters, IO procs, taps, aggregate
    devices, strings) that a trace shows created and never released."""
    live = {}
    for line in trace_lines:
        call, _, rest = line.partition(" ")
        if call == "EVENT" or " -> " not in line:
            continue
        args, _, outcome = line.partition(" -> ")
        args = args[len(call):].strip()
        status, _, result = outcome.partition(" ")
        if call in _CREATORS and status == "0":
            kind, pattern = _CREATORS[call]
            token = _token(pattern, result)
            if token:
                live[(kind, token)] = line
        elif call in _RELEASERS:
            kind, pattern = _RELEASERS[call]
            token = _token(pattern, args)
            if token:
                live.pop((kind, token), None)
        elif status == "0":
            # Property reads that hand out a string reference.
            token = _token(r"str#\d+", result)
            if token:
                live[("string", token)] = line
    return list(live.values())


def read_lines(path):
    try:
        with open(path, errors="replace") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def process_figures(pid):
    """Resident memory (now and peak, kB), open descriptors and threads."""
    figures = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "VmHWM", "Threads"):
                    figures[key] = int(value.split()[0])
        figures["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    except (FileNotFoundError, ProcessLookupError, PermissionError):
        pass
    return figures


def private_directory(prefix):
    return tempfile.mkdtemp(prefix=prefix)
