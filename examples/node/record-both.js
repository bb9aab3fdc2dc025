#!/usr/bin/env node
// An example parent for the tarnwick capture programs, in Node.js with
// nothing but Node's own modules (as in an Electron main process).
//
// It records the microphone and system audio at once into two WAV files that
// line up: both files start at the moment this parent started, and each
// child's PCM is placed on the host's monotonic clock by the child's
// "timeline: frame <n> captured at <t> ns" lines (by the arrival of its bytes
// when a child logs none). Each program is supervised by the restart policy of
// docs/parent-guide.md, section 7: retry now, retry later with back-off, give
// up after 8 restarts in a row, a start watchdog and a 5 s audio watchdog.
//
//   node record-both.js [--seconds S] [--mic PROGRAM] [--sys PROGRAM] [--out DIR]
//
// S: how long to record, on the host clock (default 10). PROGRAM: the
// executable to run for each capture (defaults tarnwick-miccapture and
// tarnwick-syscapture on PATH; a wrapper script that sets the environment and
// execs the program works too). DIR gets mic.wav and sys.wav (default .).
// Exit status 0: both recorded and stopped in order; 1: gave up on one of
// them (the reason is printed); 2: usage error.

'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const HEADER_BYTES = 24;
const START_WATCHDOG_MS = 15000; // longer than the longest start (guide, section 1.1)
const AUDIO_WATCHDOG_MS = 5000;
const HEALTHY_RUN_MS = 10000; // after "capture started"
const MAX_RESTARTS = 8;
const ARRIVAL_FALLBACK_MS = 1000; // how long PCM waits for its first timeline line

// process.hrtime reads the clock the children's timeline lines use:
// CLOCK_MONOTONIC on Linux, mach_absolute_time in nanoseconds on macOS.
const now = () => process.hrtime.bigint();
const msSince = (t) => Number(now() - t) / 1e6;
const origin = now();

function say(line) {
  process.stdout.write(line + '\n');
}

// A 32-bit float WAV written at frame positions, so that gaps stay silent
// (a file hole reads as zeros, and zero bytes are 0.0). The first child's
// header decides its rate and channels; the sizes are written at the end.
class WavFile {
  constructor(file) {
    this.file = file;
    this.fd = null;
    this.frames = 0;
  }

  open(rate, channels) {
    this.rate = rate;
    this.channels = channels;
    this.fd = fs.openSync(this.file, 'w');
  }

  // Places `count` frames of `samples` (interleaved, `channels` per frame, at
  // `rate`) so that the first one falls `startNs` after the origin.
  place(startNs, samples, rate, channels, count) {
    const at = Math.round((startNs * this.rate) / 1e9);
    const outCount = Math.round((count * this.rate) / rate);
    const skip = Math.max(0, -at); // audio from before the origin is dropped
    if (outCount <= skip) return;
    const out = Buffer.alloc((outCount - skip) * this.channels * 4);
    for (let i = skip; i < outCount; ++i) {
      const from = Math.min(count - 1, Math.floor((i * rate) / this.rate));
      for (let c = 0; c < this.channels; ++c) {
        out.writeFloatLE(samples[from * channels + (c % channels)], ((i - skip) * this.channels + c) * 4);
      }
    }
    fs.writeSync(this.fd, out, 0, out.length, WavFile.HEAD + (at + skip) * this.channels * 4);
    this.frames = Math.max(this.frames, at + outCount);
  }

  close() {
    if (this.fd === null) return;
    const dataBytes = this.frames * this.channels * 4;
    const h = Buffer.alloc(WavFile.HEAD);
    h.write('RIFF', 0);
    h.writeUInt32LE(WavFile.HEAD - 8 + dataBytes, 4);
    h.write('WAVEfmt ', 8);
    h.writeUInt32LE(16, 16);
    h.writeUInt16LE(3, 20); // IEEE float
    h.writeUInt16LE(this.channels, 22);
    h.writeUInt32LE(this.rate, 24);
    h.writeUInt32LE(this.rate * this.channels * 4, 28);
    h.writeUInt16LE(this.channels * 4, 32);
    h.writeUInt16LE(32, 34);
    h.write('fact', 36);
    h.writeUInt32LE(4, 40);
    h.writeUInt32LE(this.frames, 44);
    h.write('data', 48);
    h.writeUInt32LE(dataBytes, 52);
    fs.writeSync(this.fd, h, 0, h.length, 0);
    fs.ftruncateSync(this.fd, WavFile.HEAD + dataBytes);
    fs.closeSync(this.fd);
    this.fd = null;
    say(`wrote ${this.file}: ${this.rate} Hz, ${this.channels} channel(s), ${(this.frames / this.rate).toFixed(2)} s`);
  }
}
WavFile.HEAD = 56;

// One program under supervision: a child at a time, restarted by the policy.
class Recorder {
  constructor(name, program, wav) {
    Object.assign(this, { name, program, wav, restarts: 0, starts: 0, finishing: false });
  }

  // Resolves with 'done' or a reason for giving up.
  run() {
    return new Promise((resolve) => {
      this.resolve = resolve;
      this.startChild();
    });
  }

  finish() {
    this.finishing = true;
    if (this.child) this.stopChild('stopping: closing standard input');
  }

  startChild() {
    this.starts += 1;
    say(`${this.name} start ${this.starts}: ${this.program}`);
    const c = {
      proc: spawn(this.program, [], { stdio: ['pipe', 'pipe', 'pipe'] }),
      spawned: now(),
      head: Buffer.alloc(0),
      header: null,
      rest: Buffer.alloc(0),
      frames: 0, // PCM frames received
      lastAudio: null,
      startedAt: null, // "capture started"
      anchors: [], // timeline lines: {n, t} with t relative to the origin
      arrival: null, // fallback anchor when no timeline line comes
      pending: [],
      reason: '',
      startFailure: '',
      serverAbsent: false, // no sound server answered (Linux): it may come back
      stopping: false,
      stuck: false,
      badStream: false,
      errText: '',
    };
    this.child = c;
    c.proc.on('error', (e) => this.giveUp(`cannot start ${this.program}: ${e.message}`));
    c.proc.stdin.on('error', () => {}); // a child that has gone makes writes fail
    c.proc.stdout.on('data', (bytes) => this.takeStdout(c, bytes));
    c.proc.stderr.setEncoding('utf8');
    c.proc.stderr.on('data', (text) => this.takeStderr(c, text));
    c.timer = setInterval(() => this.watch(c), 100);
    c.proc.on('close', (code, signal) => this.ended(c, code, signal));
    if (this.finishing) this.stopChild('stopping: closing standard input');
  }

  stopChild(why) {
    const c = this.child;
    if (c.stopping) return;
    say(`${this.name} ${why}`);
    c.stopping = true;
    c.stopSince = now();
    c.proc.stdin.end();
  }

  watch(c) {
    if (c.stopping) {
      // A few seconds to end in order, then it is made to.
      if (msSince(c.stopSince) > 8000) c.proc.kill('SIGKILL');
      else if (msSince(c.stopSince) > 5000) c.proc.kill('SIGTERM');
    } else if (!c.startedAt && msSince(c.spawned) > START_WATCHDOG_MS) {
      c.stuck = true;
      this.stopChild(`watchdog: no "capture started" in ${START_WATCHDOG_MS / 1000} s, stopping the child`);
    } else if (c.lastAudio && msSince(c.lastAudio) > AUDIO_WATCHDOG_MS) {
      c.stuck = true;
      this.stopChild(`watchdog: no audio for ${AUDIO_WATCHDOG_MS / 1000} s, stopping the child`);
    }
    if (c.pending.length && !c.anchors.length && msSince(c.pending[0].arrived) > ARRIVAL_FALLBACK_MS) {
      say(`${this.name} no timeline line: placing by arrival`);
      c.arrival = c.pending[0].arrivalAnchor;
      this.flush(c);
    }
  }

  takeStderr(c, text) {
    c.errText += text;
    let end;
    while ((end = c.errText.indexOf('\n')) >= 0) {
      const line = c.errText.slice(0, end);
      c.errText = c.errText.slice(end + 1);
      say(`${this.name} child: ${line}`);
      const body = line.replace(/^\[[^\]]*\] /, '');
      let m;
      if (body.startsWith('capture started')) c.startedAt = now();
      if ((m = /^timeline: frame (\d+) captured at (\d+) ns$/.exec(body))) {
        c.anchors.push({ n: Number(m[1]), t: BigInt(m[2]) - origin });
        this.flush(c);
      }
      if ((m = /^shutting down \((.*)\) — stopping capture$/.exec(body))) c.reason = m[1];
      if (body.startsWith('capture start failed: ')) c.startFailure = body;
      if (/^cannot (connect to the sound server|read the sound server's devices): /.test(body)) c.serverAbsent = true;
    }
  }

  takeStdout(c, bytes) {
    if (!c.header) {
      c.head = Buffer.concat([c.head, bytes]);
      if (c.head.length < HEADER_BYTES) return;
      const w = [0, 1, 2, 3, 4, 5].map((i) => c.head.readInt32LE(4 * i));
      c.header = { rate: w[0], channels: w[1], bits: w[2], framesPerBuffer: w[3], producer: w[4] };
      say(`${this.name} header: ${w[0]} Hz, ${w[1]} channel(s), ${w[2]}-bit float, producer ${w[4]}`);
      if (w[2] !== 32 || w[1] < 1 || w[0] < 1 || (w[4] !== 5 && w[4] !== 11)) {
        c.badStream = true;
        this.stopChild('not a capture stream: stopping the child');
        return;
      }
      if (this.wav.fd === null) this.wav.open(w[0], w[1]);
      bytes = c.head.subarray(HEADER_BYTES);
    }
    if (c.badStream) return;
    // Whole frames only; a frame may be split across reads.
    const all = c.rest.length ? Buffer.concat([c.rest, bytes]) : bytes;
    const frameBytes = c.header.channels * 4;
    const count = Math.floor(all.length / frameBytes);
    c.rest = Buffer.from(all.subarray(count * frameBytes));
    if (count === 0) return;
    c.lastAudio = now(); // the audio watchdog runs from the first samples on, not the header
    const samples = new Float32Array(count * c.header.channels);
    for (let i = 0; i < samples.length; ++i) samples[i] = all.readFloatLE(4 * i);
    // The last frame of a chunk arrived just now: the fallback anchor.
    const arrivalAnchor = { n: c.frames + count, t: now() - origin };
    c.pending.push({ first: c.frames, samples, count, arrived: now(), arrivalAnchor });
    c.frames += count;
    if (c.anchors.length || c.arrival) this.flush(c);
  }

  // Writes what can be placed: by the latest timeline line at or before a
  // chunk's first frame, else by the first line (it came late), else by arrival.
  flush(c) {
    const { rate, channels } = c.header || {};
    while (c.pending.length) {
      const chunk = c.pending.shift();
      const lines = c.anchors.filter((a) => a.n <= chunk.first);
      const anchor = lines.length ? lines[lines.length - 1] : c.anchors[0] || c.arrival;
      const startNs = Number(anchor.t) + ((chunk.first - anchor.n) * 1e9) / rate;
      this.wav.place(startNs, chunk.samples, rate, channels, chunk.count);
    }
  }

  // What the way the child ended asks of us (guide, sections 5 and 7).
  ended(c, code, signal) {
    clearInterval(c.timer);
    this.child = null;
    if (this.gaveUp) return;
    if (c.header && !c.badStream && c.pending.length) {
      if (!c.anchors.length && !c.arrival) c.arrival = c.pending[0].arrivalAnchor;
      this.flush(c);
    }
    let ended = signal ? `signal ${signal}` : `status ${code}`;
    if (c.reason) ended += ` (${c.reason})`;
    const restartMark = 'parent will restart capture';
    let next;
    if (c.badStream) next = 'give up';
    else if ((c.stopping && !c.stuck && code === 0) || this.finishing) next = 'done';
    else if (c.reason.endsWith(restartMark) || c.startFailure.endsWith(restartMark)) next = 'now';
    else if (code === 3 || code === 0 || signal || c.stuck || c.serverAbsent) next = 'later';
    else next = 'give up'; // 1: the start failure says why; 2: our command line is wrong
    if (next === 'done') {
      say(`${this.name} child ended with ${ended}: stopped as asked`);
      return this.resolve('done');
    }
    if (next === 'give up') {
      return this.giveUp(`${this.name} child ended with ${ended}: ${c.startFailure || 'the capture program failed'}`);
    }
    // A healthy run, measured from "capture started", forgives the restarts before it.
    if (c.startedAt && msSince(c.startedAt) >= HEALTHY_RUN_MS) this.restarts = 0;
    if (++this.restarts > MAX_RESTARTS) {
      return this.giveUp(`${this.name} child ended with ${ended}: giving up after ${MAX_RESTARTS} restarts`);
    }
    const [base, cap] = next === 'now' ? [0.25, 5] : [2, 30];
    const delay = Math.min(cap, base * 2 ** (this.restarts - 1));
    say(`${this.name} child ended with ${ended}: ${next === 'now' ? 'restarting' : 'retrying'} in ${delay.toFixed(2)} s`);
    setTimeout(() => (this.finishing ? this.resolve('done') : this.startChild()), delay * 1000);
  }

  giveUp(why) {
    this.gaveUp = true;
    if (this.child) clearInterval(this.child.timer);
    this.resolve(`giving up, tell the user: ${why}`);
  }
}

async function main() {
  const args = process.argv.slice(2);
  const options = { seconds: 10, mic: 'tarnwick-miccapture', sys: 'tarnwick-syscapture', out: '.' };
  for (let i = 0; i < args.length; i += 2) {
    const key = args[i].replace(/^--/, '');
    if (!(key in options) || i + 1 >= args.length || !args[i].startsWith('--')) {
      process.stderr.write('usage: node record-both.js [--seconds S] [--mic PROGRAM] [--sys PROGRAM] [--out DIR]\n');
      return 2;
    }
    options[key] = args[i + 1];
  }
  if (!(Number(options.seconds) > 0)) {
    process.stderr.write('record-both.js: --seconds takes a positive number\n');
    return 2;
  }
  const recorders = [
    new Recorder('mic', options.mic, new WavFile(path.join(options.out, 'mic.wav'))),
    new Recorder('sys', options.sys, new WavFile(path.join(options.out, 'sys.wav'))),
  ];
  const stopAll = () => recorders.forEach((r) => r.finish());
  const timer = setTimeout(stopAll, Number(options.seconds) * 1000);
  process.on('SIGINT', stopAll);
  process.on('SIGTERM', stopAll);
  const outcomes = await Promise.all(
    recorders.map((r) =>
      r.run().then((outcome) => {
        if (outcome !== 'done') stopAll(); // one program alone is not the recording we want
        return outcome;
      }),
    ),
  );
  clearTimeout(timer);
  recorders.forEach((r) => r.wav.close());
  const failed = outcomes.filter((o) => o !== 'done');
  failed.forEach(say);
  if (failed.length) return 1;
  say(`done: mic ${recorders[0].starts} start(s), sys ${recorders[1].starts} start(s)`);
  return 0;
}

main().then((status) => process.exit(status));
