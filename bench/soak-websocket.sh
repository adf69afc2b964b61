#!/usr/bin/env bash
# A long WebSocket capture of a tone player, watching the capture for slow leaks: memory, file
# descriptors and threads that grow with the running time rather than with the work at hand.
#
#   bench/soak-websocket.sh [SECONDS]
#
# Runs QorMacAudioCapture `--include-tree --pid <player> --ws-url ws://127.0.0.1:PORT/soak` for
# SECONDS (default 600) against a loopback WebSocket server (the websockets library) that counts
# the bytes it receives. Every 10 seconds it samples the capture's VmRSS, open descriptors
# (/proc/PID/fd), threads and the bytes the server has received so far, and prints one row.
# The verdict compares the first sample after the warm-up with the last one: "flat" when the
# resident set grew by less than 256 KiB and the descriptor and thread counts did not change.
# The capture is then stopped with SIGTERM and must exit with status 0.
#
# The PipeWire server is the private headless one from scripts/audio-server.sh unless one is
# reachable already. Environment: QOR_BUILD_DIR (default build), QOR_SOAK_INTERVAL (default 10),
# QOR_SOAK_WARMUP seconds (default 60, at most a third of the run).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
interval=${QOR_SOAK_INTERVAL:-10}
warmup=${QOR_SOAK_WARMUP:-60}
build_dir=${QOR_BUILD_DIR:-$root/build}
binary="$build_dir/tools/QorMacAudioCapture/QorMacAudioCapture"
[ -x "$binary" ] || { echo "soak: build QorMacAudioCapture first ($binary)" >&2; exit 1; }
# The Debian interpreter: python3-websockets is installed for it, not for other interpreters.
python=/usr/bin/python3
"$python" -c 'import websockets' 2>/dev/null || { echo "soak: python3-websockets is missing" >&2; exit 1; }

# shellcheck source=bench/audio-setup.sh
. "$root/bench/audio-setup.sh"
bench_setup qor-soak
bench_tone qor-soak-tone "$((seconds + 60))"
player=$bench_tone_pid
work=$bench_work

"$python" - "$binary" "$player" "$seconds" "$interval" "$warmup" "$work" <<'EOF'
import asyncio, json, os, signal, socket, subprocess, sys, time

import websockets

binary, player = sys.argv[1], int(sys.argv[2])
seconds, interval, warmup = float(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
work = sys.argv[6]
warmup = min(warmup, seconds / 3)
BYTES_PER_SECOND = 48000 * 2 * 2   # 16-bit stereo at 48000 frames per second
RSS_LIMIT_KIB = 256

received = {"bytes": 0, "messages": 0, "connections": 0, "close": None}

async def handle(connection):
    received["connections"] += 1
    try:
        async for message in connection:
            received["bytes"] += len(message)
            received["messages"] += 1
    except websockets.ConnectionClosed:
        pass
    received["close"] = connection.close_code

def status_field(pid, name):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise KeyError(name)

def sample(pid, started):
    return {"t": time.monotonic() - started,
            "rss": status_field(pid, "VmRSS"),
            "fds": len(os.listdir(f"/proc/{pid}/fd")),
            "threads": status_field(pid, "Threads"),
            "bytes": received["bytes"]}

async def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    async with websockets.serve(handle, sock=listener, max_size=None, ping_interval=None) as server:
        port = server.sockets[0].getsockname()[1]
        diagnostics = open(os.path.join(work, "diagnostics.jsonl"), "wb")
        capture = await asyncio.create_subprocess_exec(
            binary, "--include-tree", "--pid", str(player), "--ws-url",
            f"ws://127.0.0.1:{port}/soak", stdout=subprocess.DEVNULL, stderr=diagnostics)
        started = time.monotonic()
        rows = []
        print(f"{'t s':>6}{'RSS KiB':>10}{'fds':>6}{'threads':>9}{'received MB':>13}{'rate kB/s':>11}",
              flush=True)
        previous = None
        tick = 0
        while True:
            tick += 1
            try:
                await asyncio.wait_for(capture.wait(), started + tick * interval - time.monotonic())
                sys.exit(f"soak: the capture exited early with status {capture.returncode}")
            except asyncio.TimeoutError:
                pass
            row = sample(capture.pid, started)
            rate = (row["bytes"] - previous["bytes"]) / (row["t"] - previous["t"]) / 1000 if previous else row["bytes"] / row["t"] / 1000
            print(f"{row['t']:>6.0f}{row['rss']:>10}{row['fds']:>6}{row['threads']:>9}"
                  f"{row['bytes'] / 1e6:>13.2f}{rate:>11.1f}", flush=True)
            rows.append(row)
            previous = row
            if row["t"] >= seconds - 0.5:
                break
        capture.send_signal(signal.SIGTERM)
        try:
            status = await asyncio.wait_for(capture.wait(), 10)
        except asyncio.TimeoutError:
            capture.kill()
            status = await capture.wait()
            print("soak: the capture did not exit within 10 s of SIGTERM; killed")
        # Let the server see the closing handshake.
        for _ in range(50):
            if received["close"] is not None:
                break
            await asyncio.sleep(0.1)
        diagnostics.close()

    first = next(r for r in rows if r["t"] >= warmup)
    last = rows[-1]
    growth = last["rss"] - first["rss"]
    span = last["t"] - first["t"]
    rate = (last["bytes"] - first["bytes"]) / span if span > 0 else 0.0
    with open(os.path.join(work, "diagnostics.jsonl"), "rb") as f:
        lines = [line for line in f.read().decode(errors="replace").splitlines() if line.strip()]
    errors = [line for line in lines if '"error"' in line]
    print()
    print(f"after warm-up ({first['t']:.0f} s -> {last['t']:.0f} s): RSS {first['rss']} -> {last['rss']} KiB "
          f"({growth:+d} KiB), fds {first['fds']} -> {last['fds']}, threads {first['threads']} -> {last['threads']}")
    print(f"received {last['bytes'] / 1e6:.2f} MB in {received['messages']} messages over "
          f"{received['connections']} connection(s); {rate / 1000:.1f} kB/s after warm-up "
          f"(real time is {BYTES_PER_SECOND / 1000:.1f} kB/s)")
    print(f"diagnostics: {len(lines)} lines, {len(errors)} with an error")
    for line in errors[:5]:
        print("  " + line)
    print(f"capture exit status after SIGTERM: {status}; close code seen by the server: {received['close']}")
    flat = growth < RSS_LIMIT_KIB and first["fds"] == last["fds"] and first["threads"] == last["threads"]
    streaming = received["connections"] == 1 and rate > 0.95 * BYTES_PER_SECOND
    print(f"verdict: {'flat' if flat else 'GROWING'}; "
          f"{'streaming at real time' if streaming else 'NOT streaming at real time'}; "
          f"{'clean exit' if status == 0 else 'exit status ' + str(status)}")
    return 0 if flat and streaming and status == 0 else 1

sys.exit(asyncio.run(main()))
EOF
