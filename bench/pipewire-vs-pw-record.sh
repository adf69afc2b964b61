#!/usr/bin/env bash
# QorMacAudioCapture against pw-record, recording the same playback stream of a tone player on a
# PipeWire server (the private headless one from scripts/audio-server.sh when none is reachable).
#
#   bench/pipewire-vs-pw-record.sh [SECONDS] [RUNS]
#
# For each program, RUNS runs (default 5) of SECONDS (default 10) each, one program at a time:
#   cpu ms/s     CPU time of all its threads per second of audio delivered, whole run
#   steady ms/s  the same from one second after the first byte to the end (start-up excluded)
#   peak RSS     VmHWM, the process's peak resident set size
#   first byte   time from start to the first audio byte on standard output
#   cycle        which graph cycle brought that byte, counting the cycles that began after the
#                start: 1 is the first cycle a program can possibly take part in. A reference
#                pw-record on the same stream, running throughout, marks when each cycle ended.
#                Run k of n starts both programs (k + 1/2)/n of a cycle after a mark, so a program
#                that is ready S ms after its start takes cycle 1 in the runs that leave it more
#                than S ms: for 5 runs, 4 of 5 means S under 0.3 of a cycle
# Medians are printed, then the median of the ratios of each run of ours to the pw-record run right
# after it (the targets for CPU and first byte are 0.5).
#
# Then the floor: RUNS rounds of SECONDS-long windows of steady capture (from 1.5 s after the start),
# one program at a time, of this program, pw-record, and QorBenchIdleNode: a node linked to the
# player's ports as the capture links its own, processed on PipeWire's real-time data thread, that
# only takes and returns its buffers (the least any client can do in a graph cycle) or, with
# --write, also interleaves them and writes them to a pipe (the least a recorder can do). CPU per
# second of each, and the median of its ratios to the pw-record window of the same round.
#
# Then both record the stream of
# QorBenchClickPlayer at once: silence with a one-frame full-scale click every
# QOR_BENCH_CLICK_INTERVAL_MS (default 250) ms, QOR_BENCH_CLICKS (default 20) times. The player
# notes CLOCK_MONOTONIC when it fills the buffer that starts with a click; the latency of a click
# is the arrival, on the recorder's standard output, of the read that completes the click's frame,
# minus that time. Median and maximum are printed for each program, with the graph's quantum and
# the target of one quantum plus 2 ms.
#
# Then both record the tone at once while twice as many busy loops as cores load the machine, and
# the cycles whose audio is missing or damaged are counted in each recording: a pure sine obeys
# x[n+1] + x[n-1] = 2 cos(w) x[n], so a sample that breaks it (beyond the 16-bit tone's rounding)
# marks its graph cycle as damaged, and a cycle that never arrived breaks it where the audio on
# either side meets. Last, both record the tone at once with libQorBenchHeapCounter.so preloaded:
# heap allocations from one second after the first byte to the end, and the peak of heap bytes in
# use.
#
# QorMacAudioCapture runs as `--include-tree --pid <player>`; pw-record as
# `--format f32 --rate 48000 --channels 2 --target <player's node> -`, so both produce float32
# stereo at 48000 frames per second from the same stream. Environment: QOR_BUILD_DIR (default
# build), QOR_BENCH_CLICKS, QOR_BENCH_CLICK_INTERVAL_MS, QOR_BENCH_LOAD_SECONDS (default SECONDS).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-10}
runs=${2:-5}
build_dir=${QOR_BUILD_DIR:-$root/build}
binary="$build_dir/tools/QorMacAudioCapture/QorMacAudioCapture"
[ -x "$binary" ] || { echo "bench: build QorMacAudioCapture first ($binary)" >&2; exit 1; }
click_player="$build_dir/bench/QorBenchClickPlayer"
[ -x "$click_player" ] || { echo "bench: build QorBenchClickPlayer first ($click_player)" >&2; exit 1; }
heap_counter="$build_dir/bench/libQorBenchHeapCounter.so"
[ -f "$heap_counter" ] || { echo "bench: build QorBenchHeapCounter first ($heap_counter)" >&2; exit 1; }
idle_node="$build_dir/bench/QorBenchIdleNode"
[ -x "$idle_node" ] || { echo "bench: build QorBenchIdleNode first ($idle_node)" >&2; exit 1; }
clicks=${QOR_BENCH_CLICKS:-20}
click_interval_ms=${QOR_BENCH_CLICK_INTERVAL_MS:-250}

# shellcheck source=bench/audio-setup.sh
. "$root/bench/audio-setup.sh"
bench_setup qor-bench
load_seconds=${QOR_BENCH_LOAD_SECONDS:-$seconds}
# A tone that lasts the whole benchmark: the runs, the clicks' time, the load and the heap runs.
bench_tone qor-bench-tone "$((seconds * runs * 6 + runs * 10 + clicks * click_interval_ms / 1000 + load_seconds + seconds + 60))"

python3 - "$binary" "$bench_tone_pid" "$seconds" "$runs" "$click_player" "$clicks" "$click_interval_ms" \
  "$heap_counter" "$bench_work" "$load_seconds" "$idle_node" <<'EOF'
import json, math, os, random, selectors, signal, statistics, struct, subprocess, sys, threading, time

binary, tone_pid, seconds, runs = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
click_player, clicks, click_interval = sys.argv[5], int(sys.argv[6]), int(sys.argv[7]) / 1000.0
heap_counter, work, load_seconds = sys.argv[8], sys.argv[9], float(sys.argv[10])
idle_node = sys.argv[11]
BYTES_PER_SECOND = 48000 * 2 * 4

def node_of(pid, timeout=10.0):
    """The name of the playback node owned by the process's client."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        dump = json.loads(subprocess.run(["pw-dump"], capture_output=True, text=True, timeout=10).stdout or "[]")
        clients = {o["id"] for o in dump if o.get("type") == "PipeWire:Interface:Client"
                   and (o.get("info") or {}).get("props", {}).get("application.process.id") == pid}
        for o in dump:
            props = (o.get("info") or {}).get("props", {})
            if o.get("type") == "PipeWire:Interface:Node" and props.get("client.id") in clients \
                    and props.get("media.class") == "Stream/Output/Audio":
                return props["node.name"]
        time.sleep(0.1)
    sys.exit("bench: the player's stream never appeared")

def commands(pid):
    return {
        "QorMacAudioCapture": [binary, "--include-tree", "--pid", str(pid)],
        "pw-record": ["pw-record", "--format", "f32", "--rate", "48000", "--channels", "2",
                      "--target", node_of(pid), "-"],
    }

def cpu_seconds(pid):
    """CPU time of every thread of the process so far (scheduler statistics, nanoseconds)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total / 1e9

def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")

class Recording:
    """A recorder reading its own stdout, time-stamping every chunk."""
    def __init__(self, argv, heap_file=None):
        self.started = time.monotonic()
        self.heap_file = heap_file
        env = None
        if heap_file:
            env = dict(os.environ, LD_PRELOAD=heap_counter, QOR_BENCH_HEAP_FILE=heap_file)
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        env=env)
        os.set_blocking(self.process.stdout.fileno(), False)
        self.chunks = []          # (arrival time, bytes so far after this chunk)
        self.total = 0
        self.first_byte = None
        self.mark = None          # (cpu, bytes) one second after the first byte
        self.samples = bytearray()

    def read(self, keep):
        try:
            data = os.read(self.process.stdout.fileno(), 1 << 20)
        except BlockingIOError:
            return True
        now = time.monotonic()
        if data:
            if self.first_byte is None:
                self.first_byte = now - self.started
            self.total += len(data)
            self.chunks.append((now, self.total))
            if keep:
                self.samples += data
            if self.mark is None and now - self.started > self.first_byte + 1.0:
                self.mark = (cpu_seconds(self.process.pid), self.total)
                if self.heap_file:
                    self.heap_mark = heap_counters(self.heap_file)
        return bool(data)

    def stop(self):
        pid = self.process.pid
        self.steady = None
        end_cpu = cpu_seconds(pid)
        if self.mark is not None and self.total > self.mark[1]:
            self.steady = (end_cpu - self.mark[0]) / ((self.total - self.mark[1]) / BYTES_PER_SECOND)
        self.peak_rss = peak_rss_mb(pid)
        if self.heap_file:
            self.heap_end = heap_counters(self.heap_file)
        if self.process.poll() is not None:
            # It ended on its own (send_signal would have reaped it too): no figures of its own.
            sys.exit(f"bench: {self.process.args[0]} ended early with status {self.process.returncode}")
        self.process.send_signal(signal.SIGINT)
        _, status, rusage = os.wait4(pid, 0)
        self.cpu = rusage.ru_utime + rusage.ru_stime
        self.process.returncode = os.waitstatus_to_exitcode(status)

def heap_counters(path):
    """allocations, frees, bytes in use, peak bytes in use (see bench/HeapCounter.cpp)"""
    with open(path, "rb") as f:
        return struct.unpack("<4Q", f.read(32))

def record(argvs, duration, keep=False, heap_files=None):
    recordings = [Recording(argv, heap) for argv, heap in zip(argvs, heap_files or [None] * len(argvs))]
    selector = selectors.DefaultSelector()
    for r in recordings:
        selector.register(r.process.stdout, selectors.EVENT_READ, r)
    end = time.monotonic() + duration
    while time.monotonic() < end:
        for key, _ in selector.select(timeout=0.05):
            if not key.data.read(keep):
                selector.unregister(key.fileobj)
    for r in recordings:
        r.stop()
        while r.read(keep):
            pass
    return recordings

class CycleMarks(threading.Thread):
    """A recorder that only notes when each of its reads arrived: one per graph cycle."""
    def __init__(self, argv):
        super().__init__(daemon=True)
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.times = []
        self.start()

    def run(self):
        while os.read(self.process.stdout.fileno(), 1 << 20):
            self.times.append(time.monotonic())

    def cycle(self, started, arrival):
        """Cycles that ended after `started`, up to the one that brought `arrival` (2 ms of slack
        for the other recorder's wake-up). No audio can come from a cycle that began before the
        program did, so a byte that arrives before the mark of the first cycle (the marking
        recorder's own wake-up lagged) is in the first cycle all the same."""
        return max(1, sum(1 for t in list(self.times) if started < t <= arrival + 0.002))

    def wait_for_phase(self, fraction):
        """Returns at `fraction` of a cycle after a cycle's mark."""
        times = list(self.times)
        period = statistics.median(b - a for a, b in zip(times[-21:], times[-20:]))
        target = times[-1] + fraction * period
        while target < time.monotonic():
            target += period
        time.sleep(target - time.monotonic())

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait()

names = commands(tone_pid)
marks = CycleMarks(names["pw-record"])
time.sleep(1.0)
results = {name: {"cpu": [], "steady": [], "rss": [], "first": [], "cycle": []} for name in names}
# Each run starts both programs at the same point of a graph cycle, the points spread evenly over
# the cycle: otherwise a program would start when the one before it had stopped, at whatever point
# of the cycle its exit takes.
phases = [(k + 0.5) / runs for k in range(runs)]
random.Random(runs).shuffle(phases)
for run in range(runs):
    for name, argv in names.items():
        marks.wait_for_phase(phases[run])
        r = record([argv], seconds)[0]
        audio_seconds = r.total / BYTES_PER_SECOND
        results[name]["cpu"].append(1000.0 * r.cpu / audio_seconds)
        results[name]["steady"].append(1000.0 * r.steady if r.steady is not None else float("nan"))
        results[name]["rss"].append(r.peak_rss)
        results[name]["first"].append(1000.0 * r.first_byte)
        results[name]["cycle"].append(marks.cycle(r.started, r.started + r.first_byte))
marks.stop()

print(f"{seconds:.0f} s per run, {runs} runs, medians (cycle: lowest-highest)")
print(f"{'program':<20}{'cpu ms/s':>10}{'steady ms/s':>13}{'peak RSS MB':>13}{'first byte ms':>15}"
      f"{'cycle':>8}")
for name, values in results.items():
    m = {key: statistics.median(v) for key, v in values.items()}
    cycles = f"{min(values['cycle'])}-{max(values['cycle'])}"
    print(f"{name:<20}{m['cpu']:>10.2f}{m['steady']:>13.2f}{m['rss']:>13.1f}{m['first']:>15.1f}"
          f"{cycles:>8}")
# The machine's speed drifts over minutes, so each run is set against the pw-record run right after it.
ours, reference = (results[name] for name in names)
ratio = {key: statistics.median(a / b for a, b in zip(ours[key], reference[key]) if b > 0)
         for key in ("cpu", "steady", "first")}
print(f"{'ratio, run by run':<20}{ratio['cpu']:>10.2f}{ratio['steady']:>13.2f}{'-':>13}"
      f"{ratio['first']:>15.2f}")
for name, values in results.items():
    print(f"{name}: first byte in cycle {', '.join(map(str, values['cycle']))} "
          f"(the first cycle in {values['cycle'].count(1)} of {len(values['cycle'])} runs)")

# The floor: windows of steady capture, one program at a time and in turn, of this program,
# pw-record and QorBenchIdleNode without and with --write (linked to the player's two ports as the
# capture links its own), each set against the pw-record window of its round.
def drained(argv):
    """A recorder whose standard output a `cat` reads and throws away."""
    sink = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    process = subprocess.Popen(argv, stdout=sink.stdin, stderr=subprocess.DEVNULL)
    sink.stdin.close()
    return process, sink

def link(player, node, timeout=10.0):
    deadline = time.time() + timeout
    for channel in ("FL", "FR"):
        while subprocess.run(["pw-link", f"{player}:output_{channel}", f"{node}:input_{channel}"],
                             capture_output=True).returncode != 0:
            if time.time() > deadline:
                sys.exit(f"bench: could not link {node} to {player}")
            time.sleep(0.05)

player_node = node_of(tone_pid)
floor_argvs = dict(names)
floor_argvs["idle node"] = [idle_node, "qor-bench-idle"]
floor_argvs["idle node --write"] = [idle_node, "qor-bench-idle", "--write"]
floor = {name: [] for name in floor_argvs}
for run in range(runs):
    for name, argv in floor_argvs.items():
        process, sink = drained(argv)
        try:
            if argv[0] == idle_node:
                link(player_node, "qor-bench-idle")
            time.sleep(1.5)
            before, window = cpu_seconds(process.pid), time.monotonic()
            time.sleep(seconds)
            used, window = cpu_seconds(process.pid) - before, time.monotonic() - window
            if process.poll() is not None:
                sys.exit(f"bench: {name} ended early with status {process.returncode}")
            floor[name].append(1000.0 * used / window)
        finally:
            process.send_signal(signal.SIGINT)
            process.wait()
            sink.wait()
print()
print(f"the floor: steady CPU, {runs} rounds of {seconds:.0f} s windows, one program at a time")
print(f"{'program':<20}{'ms/s':>8}{'ratio, round by round':>24}")
for name, values in floor.items():
    ratio = statistics.median(a / b for a, b in zip(values, floor["pw-record"]) if b > 0)
    print(f"{name:<20}{statistics.median(values):>8.2f}{ratio:>24.2f}")

# Click latency: both record the click player's stream at once.
CLICK_DELAY = 1.5   # seconds of silence first, so that both recorders are running by the first click
player = subprocess.Popen([click_player, str(int(CLICK_DELAY * 1000)), str(int(click_interval * 1000)),
                           str(clicks)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
player_started = time.monotonic()
try:
    argvs = list(commands(player.pid).values())
    # The player's clock starts with its first buffer, a little after it was started.
    end = player_started + CLICK_DELAY + clicks * click_interval + 1.0
    recordings = record(argvs, end - time.monotonic(), keep=True)
finally:
    player.terminate()
    report, _ = player.communicate()
events = [json.loads(line) for line in report.decode().splitlines() if line.startswith("{")]
clicked = sorted(e["monotonic_ns"] / 1e9 for e in events if e["event"] == "click")
# The quantum in force when the clicks were written: the recorders joining the graph may change it.
quanta = sorted({e["quantum"] for e in events if e["event"] == "click" and e["quantum"]})
rate = next((e["rate"] for e in reversed(events) if e["event"] == "quantum"), None)

def impulse_ends(samples):
    """Byte offsets just past each impulse frame: runs of loud samples, both channels of a frame."""
    ends, last = [], None
    for i, v in enumerate(samples):
        if v > 0.5 or v < -0.5:
            if last is None or i - last > 2:
                ends.append(None)
            ends[-1] = (i + 1) * 4
            last = i
    return ends

def latencies(r):
    """Arrival of each click minus the time the player wrote it; matched by time, so a click a
    recorder missed (or one before it started) does not shift the others."""
    result = []
    chunk = 0
    whole = len(r.samples) - len(r.samples) % 4
    for end in impulse_ends(memoryview(bytes(r.samples[:whole])).cast("f")):
        while chunk < len(r.chunks) and r.chunks[chunk][1] < end:
            chunk += 1
        if chunk == len(r.chunks):
            break
        arrival = r.chunks[chunk][0]
        written = [t for t in clicked if t <= arrival]
        if written and arrival - written[-1] < click_interval:
            result.append(arrival - written[-1])
    return result

print()
if not clicked or not quanta or not rate:
    print("click latency: the player reported no", "clicks" if not clicked else "quantum")
    sys.exit(1)
quantum_ms = 1000.0 * quanta[-1] / rate
target_ms = quantum_ms + 2.0
frames = f"{quanta[0]}-{quanta[-1]}" if len(quanta) > 1 else str(quanta[0])
print(f"click latency, player's buffer to recorder's stdout: {len(clicked)} clicks every "
      f"{1000 * click_interval:.0f} ms")
print(f"quantum {frames} frames at {rate} Hz = {quantum_ms:.2f} ms; "
      f"target one quantum + 2 ms = {target_ms:.2f} ms")
print(f"{'program':<20}{'clicks':>8}{'median ms':>11}{'max ms':>9}{'max within target':>19}")
for name, r in zip(names, recordings):
    values = [1000.0 * v for v in latencies(r)]
    if not values:
        print(f"{name:<20}{'0/' + str(len(clicked)):>8}{'-':>11}{'-':>9}{'-':>19}")
        continue
    print(f"{name:<20}{f'{len(values)}/{len(clicked)}':>8}{statistics.median(values):>11.2f}"
          f"{max(values):>9.2f}{'yes' if max(values) <= target_ms else 'no':>19}")

# Damage under load: both record the tone at once while busy loops keep every core busy.
TONE_HZ = 440.0
def damaged_cycles(r, quantum):
    """Graph cycles (by frame index) holding a sample that the tone cannot have."""
    whole = len(r.samples) - len(r.samples) % 8
    left = memoryview(bytes(r.samples[:whole])).cast("f")[0::2]
    coefficient = 2.0 * math.cos(2.0 * math.pi * TONE_HZ / 48000.0)
    damaged = set()
    for n in range(1, len(left) - 1):
        if abs(left[n + 1] + left[n - 1] - coefficient * left[n]) > 1e-3:
            damaged.add(n // quantum)
    return len(damaged), len(left) // quantum

print()
loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2 * os.cpu_count())]
try:
    time.sleep(0.5)
    loaded = record(list(names.values()), load_seconds, keep=True)
finally:
    for loop in loops:
        loop.kill()
        loop.wait()
print(f"under load ({len(loops)} busy loops on {os.cpu_count()} cores, {load_seconds:.0f} s, both at "
      f"once): graph cycles of {quanta[-1]} frames with missing or damaged audio")
print(f"{'program':<20}{'damaged':>9}{'of cycles':>11}")
for name, r in zip(names, loaded):
    damaged, total = damaged_cycles(r, quanta[-1])
    print(f"{name:<20}{damaged:>9}{total:>11}")

# Heap: both record the tone at once with the counter preloaded.
heap_files = [os.path.join(work, f"heap-{i}") for i in range(len(names))]
steady = record(list(names.values()), seconds, heap_files=heap_files)
print()
print(f"heap during a steady capture ({seconds:.0f} s, both at once; steady: from 1 s after the "
      f"first byte to the stop)")
print(f"{'program':<20}{'allocations':>13}{'steady allocs':>15}{'peak heap KB':>14}")
for name, r in zip(names, steady):
    allocations, _, _, peak = r.heap_end
    marked = r.heap_mark[0] if hasattr(r, "heap_mark") else float("nan")
    print(f"{name:<20}{allocations:>13}{allocations - marked:>15}{peak / 1024:>14.0f}")
EOF
