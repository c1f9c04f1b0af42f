#!/usr/bin/env python3
"""Start-up to the first flipped frame, Kelvane against a bare Allegro program
that opens a display of the same size and flips once. Run inside one X server
(the script starts Xvfb itself when DISPLAY is unset). Prints medians of N runs
and the ratio, then the descriptor load time of the shipped set.

usage: bench/startup.py [build-dir] [runs]"""
import os, signal, statistics, subprocess, sys, tempfile, time

build = sys.argv[1] if len(sys.argv) > 1 else "build/release"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10

def first_frame(argv, env):
    t0 = time.monotonic()
    p = subprocess.Popen(argv, env=env, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    for line in p.stderr:
        if "first frame drawn" in line:
            elapsed = time.monotonic() - t0
            break
    else:
        raise SystemExit(f"{argv[0]} ended before its first frame")
    p.send_signal(signal.SIGTERM)
    p.communicate(timeout=60)
    return elapsed

def main():
    env = dict(os.environ)
    xvfb = None
    if not env.get("DISPLAY"):
        xvfb = subprocess.Popen(["Xvfb", ":97", "-screen", "0", "1600x1000x24", "-nolisten", "tcp"],
                                stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        env["DISPLAY"] = ":97"
    try:
        with tempfile.TemporaryDirectory() as home:
            env["KVN_HOME"] = home
            kvn, bare = [], []
            # Interleaved so that both see the same machine load.
            for _ in range(runs):
                kvn.append(first_frame([f"{build}/kelvane", "-v", "2"], env))
                bare.append(first_frame([f"{build}/bench/bench_bare_allegro"], env))
        mk, mb = statistics.median(kvn), statistics.median(bare)
        print(f"start-up to first frame: kelvane median {mk*1000:.1f} ms, bare Allegro median {mb*1000:.1f} ms, "
              f"ratio {mk/mb:.2f}x over {runs} runs")
    finally:
        if xvfb:
            xvfb.terminate()
    subprocess.run([f"{build}/bench/bench_api_load", f"{build}/resources/api"], check=True)

main()
