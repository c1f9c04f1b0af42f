#!/usr/bin/env python3
"""The main window against its peers, all in one X server and one run:

1. start-up to the first frame (full descriptor set, the frame built, the
   connect dialog up) against the bare Allegro program that flips once;
2. `--env` start to the overview drawn with figures (the demo openrc of the
   local cloud) against the same token issue and overview calls made with
   libcurl (bench_main_peer);
3. idle CPU over 30 s with the overview shown and nothing changing, read from
   /proc/<pid>/stat, beside an Allegro program with the same display and
   fonts that redraws at 30 Hz and one that redraws only on need;
4. RSS connected and idle against that last program.

Ratios against the peers of the same run; nothing here is a timed assertion.
The script starts Xvfb itself when DISPLAY is unset.

usage: bench/bench_main.py [build-dir] [runs] [openrc]"""
import os, signal, statistics, subprocess, sys, tempfile, time

build = sys.argv[1] if len(sys.argv) > 1 else "build/release"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
openrc = sys.argv[3] if len(sys.argv) > 3 else "/tmp/kvn-cloud/demo-openrc"
IDLE_S = 30
CLK_TCK = os.sysconf("SC_CLK_TCK")


def openrc_env(path):
    env = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("export ") and "=" in line:
                k, v = line[7:].split("=", 1)
                env[k] = v.strip("'\"")
    return env


class Proc:
    """A child whose stderr goes to a file, polled for a line."""

    def __init__(self, argv, env):
        self.log = tempfile.NamedTemporaryFile(prefix="kvn-bench-", suffix=".log", delete=False)
        self.t0 = time.monotonic()
        self.p = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=self.log)

    def wait_for(self, text, timeout=120):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with open(self.log.name, errors="replace") as f:
                if text in f.read():
                    return time.monotonic() - self.t0
            if self.p.poll() is not None:
                break
            time.sleep(0.005)
        self.stop()
        with open(self.log.name, errors="replace") as f:
            tail = f.read()[-2000:]
        raise SystemExit(f"no '{text}' from {self.p.args[0]}:\n{tail}")

    def stop(self):
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGTERM)
            try:
                self.p.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
        os.unlink(self.log.name)


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def timed(argv, env, text):
    p = Proc(argv, env)
    try:
        return p.wait_for(text)
    finally:
        p.stop()


def line(name, ours, peer, peer_name, goal):
    mo, mp = statistics.median(ours), statistics.median(peer)
    print(f"{name}: kelvane median {mo*1000:.0f} ms, {peer_name} median {mp*1000:.0f} ms, "
          f"ratio {mo/mp:.2f}x (goal <= {goal}x) over {len(ours)} runs", flush=True)


def main():
    base = dict(os.environ)
    for k in [k for k in base if k.startswith("OS_")]:
        del base[k]
    xvfb = None
    if not base.get("DISPLAY"):
        xvfb = subprocess.Popen(["Xvfb", ":97", "-screen", "0", "1600x1000x24", "-nolisten", "tcp"],
                                stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        base["DISPLAY"] = ":97"
    kvn = f"{build}/kelvane"
    fonts = f"{build}/assets/fonts"
    cloud = dict(base, **openrc_env(openrc))
    try:
        # 1. Start-up to the first frame; interleaved so both see the same load.
        ours, bare = [], []
        for _ in range(runs):
            with tempfile.TemporaryDirectory() as home:
                ours.append(timed([kvn, "-v", "2"], dict(base, KVN_HOME=home), "first frame drawn"))
            bare.append(timed([f"{build}/bench/bench_bare_allegro"], base, "first frame drawn"))
        line("start-up to first frame", ours, bare, "bare Allegro", 1.3)

        # 2. --env start to the overview drawn with its figures.
        ours, peer = [], []
        for _ in range(runs):
            with tempfile.TemporaryDirectory() as home:
                ours.append(timed([kvn, "--env", "--open", "overview", "-v", "2"], dict(cloud, KVN_HOME=home),
                                  "overview drawn with figures"))
            peer.append(timed([f"{build}/bench/bench_main_peer"], cloud, "figures ready"))
        line("--env start to overview with figures", ours, peer, "libcurl token + calls", 1.2)

        # 3 and 4. Idle, side by side.
        with tempfile.TemporaryDirectory() as home:
            k = Proc([kvn, "--env", "--open", "overview", "-v", "1"], dict(cloud, KVN_HOME=home))
            k.wait_for("Kelvane 0", 30)
            need = Proc([f"{build}/bench/bench_bare_idle", fonts], base)
            tick = Proc([f"{build}/bench/bench_bare_idle", fonts, "--every-tick"], base)
            try:
                need.wait_for("first frame drawn")
                tick.wait_for("first frame drawn")
                # The overview's load and the history's first sample come and
                # go within seconds of connecting; idle starts after them.
                time.sleep(15)
                procs = {"kelvane": k.p.pid, "bare, redraw on need": need.p.pid, "bare, redraw at 30 Hz": tick.p.pid}
                start = {n: cpu_ticks(pid) for n, pid in procs.items()}
                t0 = time.monotonic()
                time.sleep(IDLE_S)
                elapsed = time.monotonic() - t0
                for n, pid in procs.items():
                    pct = (cpu_ticks(pid) - start[n]) / CLK_TCK / elapsed * 100
                    print(f"idle CPU over {IDLE_S} s, {n}: {pct:.2f} % of one core"
                          + (" (goal <= 1 %)" if n == "kelvane" else ""), flush=True)
                rk, rb = rss_kib(k.p.pid), rss_kib(need.p.pid)
                print(f"RSS connected and idle: kelvane {rk/1024:.1f} MiB, bare Allegro with the same display and "
                      f"fonts {rb/1024:.1f} MiB, ratio {rk/rb:.2f}x (goal <= 1.3x)", flush=True)
            finally:
                for p in (k, need, tick):
                    p.stop()
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait()


main()
