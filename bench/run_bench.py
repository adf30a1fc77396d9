#!/usr/bin/env python3
"""The server against the bare echo service, side by side in one invocation.

Every case runs several times, the services interleaved, each run with a
fresh service process; the table shows medians and the ratio server / echo.
The server and the echo are loaded by qlx-loadloop, the least a client can
do, so that the server's own cost is not hidden behind a client's; tfxclnt
is measured against that loop in a row of its own. Exit code 1 when a target
is missed; the targets' table says which.
Placements: "one CPU" pins service and client to CPU 0; "two CPUs" pins the
service to CPU 0 and the client to CPU 1. Figures from one placement are
never mixed with another's. Over NATS the server and the bare libnats echo
are measured through one nats-server, in the "two CPUs" placement.

Usage: run_bench.py BUILD-DIR [--runs N] [--seconds S] [--json FILE] [--only STEP]...
"""
import argparse
import json
import os
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crowd_bench  # noqa: E402  (the crowd cases, beside this script)

PLACEMENTS = {"one CPU": ("0", "0"), "two CPUs": ("0", "1")}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(check, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if check():
            return True
        time.sleep(0.01)
    return False


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


class Scraper:
    """GET /metrics once a second, as Prometheus would, on a thread of its own."""

    def __init__(self, port):
        self.port = port
        self.scrapes = 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while not self.done.wait(1.0):
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=2) as s:
                    s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
                    reply = b"".join(iter(lambda: s.recv(65536), b""))
                self.scrapes += reply.startswith(b"HTTP/1.1 200")
            except OSError:
                pass

    def stop(self):
        self.done.set()
        self.thread.join()


class Bench:
    def __init__(self, build, runs, seconds, work):
        self.build = os.path.abspath(build)
        self.runs = runs
        self.seconds = seconds
        self.work = work
        self.server = os.path.join(self.build, "server", "tfxsrvr")
        self.echo = os.path.join(self.build, "bench", "qlx-echo")
        self.loadloop = os.path.join(self.build, "bench", "qlx-loadloop")
        self.client = os.path.join(self.build, "client", "tfxclnt")
        self.nats_echo = os.path.join(self.build, "bench", "qlx-nats-echo")
        self.counter = 0

    def endpoint(self, transport):
        self.counter += 1
        if transport == "ipc":
            return "ipc://%s/s%d.sock" % (self.work, self.counter)
        return "tcp://127.0.0.1:%d" % free_port()

    def start(self, service, endpoint, cpu, server_options=(), stdout=subprocess.DEVNULL,
              env_extra=None):
        env = dict(os.environ, QLX_ENDPOINT=endpoint, **(env_extra or {}))
        if service == "tfxsrvr":
            argv = [self.server, *server_options, "BenchElement"]
        else:
            argv = [self.echo, endpoint]
        process = subprocess.Popen(["taskset", "-c", cpu, *argv], env=env, stdout=stdout,
                                   stderr=subprocess.DEVNULL)
        if endpoint.startswith("ipc://"):
            ready = wait_until(lambda: os.path.exists(endpoint[6:]))
        else:
            ready = wait_until(lambda: port_open(int(endpoint.rsplit(":", 1)[1])))
        if not ready:
            process.kill()
            raise RuntimeError("%s did not start on %s" % (service, endpoint))
        return process

    @staticmethod
    def stop(process, service):
        process.send_signal(signal.SIGUSR1 if service == "tfxsrvr" else signal.SIGTERM)
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def drive(self, endpoint, cpu, window, size=64, extra=(), env=None):
        """Runs tfxclnt for the bench duration; returns its JSON result."""
        self.counter += 1
        result = os.path.join(self.work, "r%d.json" % self.counter)
        env = dict(env or os.environ, QLX_ENDPOINT=endpoint)
        argv = ["taskset", "-c", cpu, self.client, "-d", str(self.seconds), "-w", str(window),
                "-s", str(size), "-q", "-o", result, *extra, "BenchElement"]
        subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=self.seconds + 60)
        with open(result) as f:
            return json.load(f)

    def drive_loop(self, endpoint, cpu, window):
        """Runs qlx-loadloop for the bench duration; its rate and median."""
        out = subprocess.run(["taskset", "-c", cpu, self.loadloop, endpoint, str(window),
                              str(self.seconds)], capture_output=True, text=True,
                             timeout=self.seconds + 60).stdout
        figures = dict(re.findall(r"^(\w+): ([0-9.]+)", out, re.MULTILINE))
        if "rate" not in figures:
            raise RuntimeError("qlx-loadloop printed no figures: %s" % out)
        return {"tps": float(figures["rate"]), "p50_us": float(figures["p50"]), "p99_us": None}

    def measure_loop(self, service, transport, placement, window, metrics=False):
        """With metrics, the server serves TFX_METRICS and is scraped every second."""
        service_cpu, loop_cpu = PLACEMENTS[placement]
        endpoint = self.endpoint(transport)
        port = free_port()
        process = self.start(service, endpoint, service_cpu,
                             ("-q",) if service == "tfxsrvr" else (),
                             env_extra={"TFX_METRICS": str(port)} if metrics else None)
        scraper = Scraper(port) if metrics else None
        try:
            figures = self.drive_loop(endpoint, loop_cpu, window)
        finally:
            if scraper:
                scraper.stop()
            self.stop(process, service)
        if scraper:
            figures["scrapes"] = scraper.scrapes
        return figures

    def measure(self, service, transport, placement, window, server_options=(), size=64,
                extra=(), stdout=subprocess.DEVNULL):
        service_cpu, client_cpu = PLACEMENTS[placement]
        endpoint = self.endpoint(transport)
        process = self.start(service, endpoint, service_cpu, server_options, stdout)
        try:
            result = self.drive(endpoint, client_cpu, window, size, extra)
        finally:
            self.stop(process, service)
        return figures(result)

    def measure_nats(self, service, url, window):
        """One run over NATS, under a subject prefix of its own."""
        self.counter += 1
        prefix = "bench%d" % self.counter
        env = dict(os.environ, QLX_ENDPOINT=url, QLX_NATS_PREFIX=prefix)
        service_cpu, client_cpu = PLACEMENTS["two CPUs"]
        if service == "tfxsrvr":
            argv = [self.server, "-q", "BenchElement"]
        else:
            element = "%s.BenchElement" % prefix
            argv = [self.nats_echo, url, element + ".work", element]
        process = subprocess.Popen(["taskset", "-c", service_cpu, *argv], env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        ready = process.stdout.readline()
        try:
            if not ready:
                raise RuntimeError("%s did not start on %s" % (service, url))
            return figures(self.drive(url, client_cpu, window, env=env))
        finally:
            self.stop(process, service)
            process.stdout.close()


def figures(result):
    """Throughput, median and 99th percentile of a tfxclnt result."""
    latency = result["latency_ns"]
    return {
        "tps": result["throughput"]["transactions_per_s"],
        "p50_us": latency["percentiles"]["50"] / 1000.0 if latency["samples"] else None,
        "p99_us": latency["percentiles"]["99"] / 1000.0 if latency["samples"] else None,
        "timed_out": result["counts"]["timed_out"],
        "completed": result["counts"]["completed"],
    }


def start_nats_server(work):
    """A nats-server on a free loopback port; returns it and its URL."""
    ports = os.path.join(work, "nats")
    os.makedirs(ports, exist_ok=True)
    server = subprocess.Popen(["nats-server", "-a", "127.0.0.1", "-p", "-1", "--ports_file_dir",
                               ports, "-l", os.path.join(ports, "log")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    path = os.path.join(ports, "nats-server_%d.ports" % server.pid)
    if not wait_until(lambda: os.path.exists(path) and os.path.getsize(path) > 0):
        server.kill()
        raise RuntimeError("nats-server did not start")
    with open(path) as f:
        return server, json.load(f)["nats"][0]


def nats_cases(bench, results):
    windows = (1, 16)
    samples = {(s, w): [] for s in ("tfxsrvr", "echo") for w in windows}
    server, url = start_nats_server(bench.work)
    try:
        for run in range(bench.runs):
            for window in windows:
                for service in (("tfxsrvr", "echo") if run % 2 == 0 else ("echo", "tfxsrvr")):
                    samples[(service, window)].append(bench.measure_nats(service, url, window))
            print("  NATS cases: run %d of %d done" % (run + 1, bench.runs), file=sys.stderr)
    finally:
        server.kill()
        server.wait()
    results["nats"] = []
    for window in windows:
        tfxsrvr = summarize(samples[("tfxsrvr", window)])
        echo = summarize(samples[("echo", window)])
        results["nats"].append({"window": window, "tfxsrvr": tfxsrvr, "echo": echo,
                                "tps_ratio": tfxsrvr["tps"] / echo["tps"],
                                "p50_ratio": tfxsrvr["p50_us"] / echo["p50_us"]})


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def summarize(samples):
    return {key: median([s[key] for s in samples]) for key in ("tps", "p50_us", "p99_us")}


def core_cases(bench, results):
    cases = [(t, p, w) for t in ("ipc", "tcp") for p in PLACEMENTS for w in (1, 64)]
    samples = {(c, s): [] for c in cases for s in ("tfxsrvr", "echo")}
    for run in range(bench.runs):
        for case in cases:
            for service in (("tfxsrvr", "echo") if run % 2 == 0 else ("echo", "tfxsrvr")):
                samples[(case, service)].append(bench.measure_loop(service, *case))
        print("  core cases: run %d of %d done" % (run + 1, bench.runs), file=sys.stderr)
    results["core"] = []
    for case in cases:
        server = summarize(samples[(case, "tfxsrvr")])
        echo = summarize(samples[(case, "echo")])
        results["core"].append({
            "transport": case[0], "placement": case[1], "window": case[2],
            "tfxsrvr": server, "echo": echo,
            "tps_ratio": server["tps"] / echo["tps"],
            "p50_ratio": server["p50_us"] / echo["p50_us"],
        })


def metrics_case(bench, results):
    """The server with TFX_METRICS, scraped every second, against without: interleaved."""
    cases = [("ipc", "two CPUs", w) for w in (1, 64)]
    samples = {(c, m): [] for c in cases for m in ("off", "on")}
    for run in range(bench.runs):
        for case in cases:
            for mode in (("off", "on") if run % 2 == 0 else ("on", "off")):
                samples[(case, mode)].append(
                    bench.measure_loop("tfxsrvr", *case, metrics=(mode == "on")))
    results["metrics"] = []
    for case in cases:
        off = summarize(samples[(case, "off")])
        on = summarize(samples[(case, "on")])
        results["metrics"].append({
            "transport": case[0], "placement": case[1], "window": case[2], "off": off, "on": on,
            "scrapes": sum(s.get("scrapes", 0) for s in samples[(case, "on")]),
            "tps_ratio": on["tps"] / off["tps"], "p50_ratio": on["p50_us"] / off["p50_us"],
        })


def feature_cases(bench, results):
    variants = [("default", ["-q"]), ("-c 3:2", ["-q", "-c", "3:2"]),
                ("-s 1024", ["-q", "-s", "1024"]), ("-a y", ["-q", "-a", "y"]),
                ("lines to a file", [])]
    samples = {(v, w): [] for v, _ in variants for w in (1, 64)}
    for run in range(bench.runs):
        for window in (1, 64):
            for name, options in variants:
                out = open(os.path.join(bench.work, "lines.out"), "w") if not options else None
                samples[(name, window)].append(
                    bench.measure("tfxsrvr", "ipc", "two CPUs", window, options,
                                  stdout=out or subprocess.DEVNULL))
                if out:
                    out.close()
    results["features"] = []
    for window in (1, 64):
        base = summarize(samples[("default", window)])
        for name, _ in variants:
            figures = summarize(samples[(name, window)])
            results["features"].append({
                "variant": name, "window": window, **figures,
                "tps_ratio": figures["tps"] / base["tps"],
            })


def sockperf_case(bench, results):
    if shutil.which("sockperf") is None:
        results["sockperf"] = None
        return
    results["sockperf"] = {}
    for placement, (server_cpu, client_cpu) in PLACEMENTS.items():
        p50s = [sockperf_round_trips(server_cpu, client_cpu, bench.seconds)[1]
                for _ in range(bench.runs)]
        results["sockperf"][placement] = {"p50_rtt_us": median(p50s)}


def children_usage():
    """Context switches and CPU seconds of every child reaped so far."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_nvcsw + usage.ru_nivcsw, usage.ru_utime + usage.ru_stime


def per_round_trip(before, after, count, p50_us):
    return {"round_trips": count, "p50_us": p50_us,
            "switches": (after[0] - before[0]) / count,
            "cpu_us": (after[1] - before[1]) * 1e6 / count}


def sockperf_round_trips(server_cpu, client_cpu, seconds):
    """Raw TCP ping-pong of 64 bytes on loopback: round trips and median."""
    port = free_port()
    server = subprocess.Popen(["taskset", "-c", server_cpu, "sockperf", "server", "-i", "127.0.0.1",
                               "-p", str(port), "--tcp"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until(lambda: port_open(port))
    run = subprocess.run(["taskset", "-c", client_cpu, "sockperf", "ping-pong", "-i", "127.0.0.1",
                          "-p", str(port), "--tcp", "-t", str(max(1, int(seconds))), "-m", "64",
                          "--full-rtt"],
                         capture_output=True, text=True, timeout=60)
    server.kill()
    server.wait()
    out = run.stdout + run.stderr
    count = re.search(r"Total (\d+) observations", out)
    p50 = re.search(r"percentile 50\.000 = *([0-9.]+)", out)
    if count is None or p50 is None:
        print("bench: sockperf printed no figures:\n%s" % out[-2000:], file=sys.stderr)
        return 0, None
    return int(count.group(1)), float(p50.group(1))


def gap_case(bench, results):
    """What a round trip at window 1 on one CPU is made of: context switches
    and CPU time of service and client together, per round trip."""
    results["gap"] = []
    for transport in ("ipc", "tcp"):
        for service in ("echo", "tfxsrvr"):
            before = children_usage()
            options = ("-q",) if service == "tfxsrvr" else ()
            figures = bench.measure(service, transport, "one CPU", 1, options)
            after = children_usage()
            results["gap"].append({"path": "%s %s" % (service, transport),
                                   **per_round_trip(before, after, figures["completed"],
                                                    figures["p50_us"])})
    if shutil.which("sockperf") is not None:
        before = children_usage()
        count, p50 = sockperf_round_trips("0", "0", bench.seconds)
        after = children_usage()
        if count > 0:
            results["gap"].append({"path": "raw TCP (sockperf)",
                                   **per_round_trip(before, after, count, p50)})


def proc_cpu_seconds(pid):
    """CPU time of every thread of pid, to the nanosecond (the scheduler's
    count, where /proc/PID/stat counts whole clock ticks)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def proc_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


def idle_case(bench, results):
    endpoint = bench.endpoint("ipc")
    process = bench.start("tfxsrvr", endpoint, "0", ("-q",))
    time.sleep(1)  # past its start-up
    before = proc_cpu_seconds(process.pid)
    time.sleep(10)  # the measurement itself: ten seconds of waiting for nothing
    after = proc_cpu_seconds(process.pid)
    bench.stop(process, "tfxsrvr")
    results["idle"] = {"seconds": 10, "cpu_percent": (after - before) / 10 * 100}


def memory_case(bench, results, total):
    endpoint = bench.endpoint("ipc")
    process = bench.start("tfxsrvr", endpoint, "0", ("-q", "-s", "300-5000"))
    env = dict(os.environ, QLX_ENDPOINT=endpoint)

    def drive(count):
        subprocess.run(["taskset", "-c", "1", bench.client, "-n", str(count), "-w", "64", "-s",
                        "64-1024", "-q", "-t", "30", "BenchElement"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)

    drive(total // 10)
    warm = proc_rss_kib(process.pid)
    drive(total)
    after = proc_rss_kib(process.pid)
    bench.stop(process, "tfxsrvr")
    results["memory"] = {"transactions": total, "rss_after_warmup_kib": warm,
                         "rss_after_kib": after, "growth_kib": after - warm}


def crowd_case(bench, results):
    """The crowd cases of crowd_bench.py: 200 peers that never read beside a
    reading client, and 100 peers sending 1 MiB that never read."""
    with tempfile.TemporaryDirectory(prefix="tfxcrowd.", dir=bench.work) as work:
        crowd = crowd_bench.Bench(bench.build, work)
        results["crowd"] = {"stalled": crowd_bench.case_stalled(crowd, 200),
                            "memory": crowd_bench.case_memory(crowd, 100)}


def client_case(bench, results):
    loop, client = [], []
    for run in range(bench.runs):
        endpoint = bench.endpoint("ipc")
        process = bench.start("echo", endpoint, "0")
        # Each goes first on every other run, as in the core cases.
        if run % 2 == 0:
            loop.append(bench.drive_loop(endpoint, "1", 64)["tps"])
        client.append(bench.drive(endpoint, "1", 64)["throughput"]["transactions_per_s"])
        if run % 2 == 1:
            loop.append(bench.drive_loop(endpoint, "1", 64)["tps"])
        bench.stop(process, "echo")
    results["client"] = {"loadloop_tps": median(loop), "tfxclnt_tps": median(client),
                         "ratio": median(client) / median(loop)}


def fmt(value, digits=1):
    return "-" if value is None else ("%.*f" % (digits, value))


def print_core(results):
    print("\nServer against the bare echo service, loaded by qlx-loadloop (64-byte data; "
          "medians of %d runs of %ss)" % (results["runs"], results["seconds"]))
    print("%-4s %-9s %6s | %12s %12s %6s | %9s %9s %6s" % (
        "tr", "placement", "window", "tfxsrvr tx/s", "echo tx/s", "ratio",
        "srv p50us", "echo p50us", "ratio"))
    for row in results["core"]:
        print("%-4s %-9s %6d | %12s %12s %6s | %9s %9s %6s" % (
            row["transport"], row["placement"], row["window"],
            fmt(row["tfxsrvr"]["tps"], 0), fmt(row["echo"]["tps"], 0), fmt(row["tps_ratio"], 2),
            fmt(row["tfxsrvr"]["p50_us"]), fmt(row["echo"]["p50_us"]), fmt(row["p50_ratio"], 2)))


def print_features(results):
    print("\nServer features against its default (ipc, two CPUs)")
    print("%-16s %6s | %12s %6s | %9s %9s" % ("variant", "window", "tx/s", "ratio", "p50us",
                                              "p99us"))
    for row in results["features"]:
        print("%-16s %6d | %12s %6s | %9s %9s" % (
            row["variant"], row["window"], fmt(row["tps"], 0), fmt(row["tps_ratio"], 2),
            fmt(row["p50_us"]), fmt(row["p99_us"])))


def print_metrics(results):
    print("\nServer with TFX_METRICS scraped every second against without (qlx-loadloop, "
          "interleaved, medians)")
    print("%-4s %-9s %6s | %12s %12s %6s | %9s %9s %6s | %7s" % (
        "tr", "placement", "window", "off tx/s", "on tx/s", "ratio", "off p50us", "on p50us",
        "ratio", "scrapes"))
    for row in results["metrics"]:
        print("%-4s %-9s %6d | %12s %12s %6s | %9s %9s %6s | %7d" % (
            row["transport"], row["placement"], row["window"], fmt(row["off"]["tps"], 0),
            fmt(row["on"]["tps"], 0), fmt(row["tps_ratio"], 2), fmt(row["off"]["p50_us"]),
            fmt(row["on"]["p50_us"]), fmt(row["p50_ratio"], 2), row["scrapes"]))


def print_sockperf(results):
    if results["sockperf"]:
        print("\nRaw TCP ping-pong on loopback (sockperf, 64 bytes, full round trip)")
        for placement, figures in results["sockperf"].items():
            print("  %-9s p50 %s us" % (placement, fmt(figures["p50_rtt_us"])))


def print_gap(results):
    print("\nA round trip at window 1, one CPU: context switches and CPU time per round trip"
          " (service and client together)")
    print("%-20s %9s %9s %9s" % ("path", "p50us", "switches", "cpu us"))
    for row in results["gap"]:
        print("%-20s %9s %9s %9s" % (row["path"], fmt(row["p50_us"]), fmt(row["switches"]),
                                     fmt(row["cpu_us"])))


def print_nats(results):
    print("\nServer over NATS against the bare libnats echo (one nats-server, two CPUs)")
    print("%6s | %12s %12s %6s | %9s %9s %6s" % (
        "window", "tfxsrvr tx/s", "echo tx/s", "ratio", "srv p50us", "echo p50us", "ratio"))
    for row in results["nats"]:
        print("%6d | %12s %12s %6s | %9s %9s %6s" % (
            row["window"], fmt(row["tfxsrvr"]["tps"], 0), fmt(row["echo"]["tps"], 0),
            fmt(row["tps_ratio"], 2), fmt(row["tfxsrvr"]["p50_us"]), fmt(row["echo"]["p50_us"]),
            fmt(row["p50_ratio"], 2)))
    print("Load average before and after: %s / %s" % (
        " ".join("%.2f" % v for v in results["load_before"]),
        " ".join("%.2f" % v for v in results["load_after"])))


def print_idle(results):
    idle = results["idle"]
    print("\nIdle server: %.3f%% of a core over %d s" % (idle["cpu_percent"], idle["seconds"]))


def print_memory(results):
    memory = results["memory"]
    print("Resident memory over %d transactions (-s 300-5000): %d KiB after warm-up, "
          "%d KiB after, growth %d KiB" % (memory["transactions"], memory["rss_after_warmup_kib"],
                                           memory["rss_after_kib"], memory["growth_kib"]))


def print_client(results):
    c = results["client"]
    print("Client cost (echo, ipc, window 64, two CPUs): qlx-loadloop %s tx/s, tfxclnt %s tx/s, "
          "ratio %s" % (fmt(c["loadloop_tps"], 0), fmt(c["tfxclnt_tps"], 0), fmt(c["ratio"], 2)))


def print_crowd(results):
    stalled, memory = results["crowd"]["stalled"], results["crowd"]["memory"]
    print("Crowd: a reading client's worst transaction %.1f ms alone, %.1f ms beside %d peers "
          "that never read; %d peers sending 1 MiB that never read: peak resident memory %.0f MiB"
          % (stalled["worst_alone_ms"], stalled["worst_beside_ms"], stalled["peers"],
             memory["peers"], memory["peak_rss_mib"]))


def print_tables(results):
    """The table of each section that was measured."""
    for key, section in (("core", print_core), ("features", print_features),
                         ("metrics", print_metrics),
                         ("sockperf", print_sockperf), ("gap", print_gap), ("nats", print_nats),
                         ("idle", print_idle), ("memory", print_memory),
                         ("client", print_client), ("crowd", print_crowd)):
        if key in results:
            section(results)


def check_targets(results):
    verdicts = []
    for row in results.get("core", []):
        name = "%s %s window %d" % (row["transport"], row["placement"], row["window"])
        if row["window"] == 64:
            verdicts.append(("throughput %s >= 0.95x echo" % name, row["tps_ratio"] >= 0.95))
        else:
            verdicts.append(("median round trip %s <= 1.05x echo" % name,
                             row["p50_ratio"] <= 1.05))
    for row in results.get("nats", []):
        if row["window"] == 16:
            verdicts.append(("throughput nats window 16 >= 0.90x libnats echo",
                             row["tps_ratio"] >= 0.90))
        else:
            verdicts.append(("median latency nats window 1 <= 1.10x libnats echo",
                             row["p50_ratio"] <= 1.10))
    for row in results.get("metrics", []):
        if row["window"] == 64:
            verdicts.append(("TFX_METRICS on: throughput >= 0.95x off", row["tps_ratio"] >= 0.95))
        else:
            verdicts.append(("TFX_METRICS on: median round trip <= 1.05x off",
                             row["p50_ratio"] <= 1.05))
    if "idle" in results:
        verdicts.append(("idle server 0.0% of a core, as top shows it",
                         results["idle"]["cpu_percent"] < 0.05))
    if "memory" in results:
        verdicts.append(("memory growth < 1 MiB", results["memory"]["growth_kib"] < 1024))
    if "client" in results:
        verdicts.append(("tfxclnt >= 0.90x the minimal load loop",
                         results["client"]["ratio"] >= 0.90))
    if "crowd" in results:
        stalled, memory = results["crowd"]["stalled"], results["crowd"]["memory"]
        verdicts.append(("200 stalled peers add <= 100 ms to the worst transaction",
                         stalled["worst_beside_ms"] - stalled["worst_alone_ms"] <= 100
                         and stalled["timeouts_beside"] == 0))
        verdicts.append(("100 peers of 1 MiB never reading: peak memory < 1 GiB",
                         memory["peak_rss_mib"] < 1024))
    print("\nTargets")
    for name, met in verdicts:
        print("  %-50s %s" % (name, "met" if met else "MISSED"))
    results["targets"] = [{"target": n, "met": m} for n, m in verdicts]
    return all(m for _, m in verdicts)


# Each step and the section of the results it fills, in the order they run.
STEPS = [("core", core_cases), ("nats", nats_cases), ("features", feature_cases),
         ("metrics", metrics_case),
         ("sockperf", sockperf_case), ("gap", gap_case), ("idle", idle_case),
         ("memory", memory_case), ("client", client_case), ("crowd", crowd_case)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--transactions", type=int, default=1000000)
    parser.add_argument("--json", default="bench/results/bench.json")
    parser.add_argument("--only", action="append", choices=[key for key, _ in STEPS],
                        help="run only this step (may be given again); default every step")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="tfxbench-") as work:
        bench = Bench(args.build, args.runs, args.seconds, work)
        results = {"runs": args.runs, "seconds": args.seconds, "machine": os.uname().release,
                   "cpus": os.cpu_count(), "load_before": os.getloadavg()}
        for key, step in STEPS:
            if args.only and key not in args.only:
                continue
            print("bench: %s" % key, file=sys.stderr)
            if key == "memory":
                step(bench, results, args.transactions)
            else:
                step(bench, results)
    results["load_after"] = os.getloadavg()
    print_tables(results)
    met = check_targets(results)
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(results, f, indent=1)
    print("\nJSON: %s" % args.json)
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
