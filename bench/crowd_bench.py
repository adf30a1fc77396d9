#!/usr/bin/env python3
"""What a crowd of careless clients costs the server and a client beside them.

  stalled      a well-behaved client at a steady rate, alone and then with
               PEERS clients that send transactions and never read: its worst
               transaction and whether all of them completed
  memory       PEERS clients that send transactions of 1 MiB and never read:
               the server's peak resident memory (VmHWM)
  connections  a server under a descriptor limit of 1,024 and 1,500
               connections, then a server whose QLX_MAX_CONNECTIONS is taken
               up: what a new client sees

Usage: crowd_bench.py BUILD-DIR [--case stalled|memory|connections] [--peers N]
Prints one line of figures a case; exit code 0 when every run went through.
make bench runs the stalled and memory cases and judges their figures.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

ELEMENT = "E1"


class Bench:
    def __init__(self, build, work):
        self.server_path = os.path.join(build, "server", "tfxsrvr")
        self.client_path = os.path.join(build, "client", "tfxclnt")
        self.crowd_path = os.path.join(build, "bench", "qlx-crowd")
        self.env = dict(os.environ, QLX_DIR=os.path.join(work, "qlx"))
        self.env.pop("QLX_ENDPOINT", None)
        self.env["QLX_STATS_FILE"] = os.path.join(work, "stats")
        self.work = work
        self.socket = os.path.join(work, "qlx", ELEMENT + ".sock")

    def start_server(self, args, settings=None, prefix=()):
        env = dict(self.env, **(settings or {}))
        server = subprocess.Popen(
            list(prefix) + [self.server_path, "-q"] + args + [ELEMENT],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.socket):
            if time.monotonic() > deadline or server.poll() is not None:
                raise RuntimeError("the server did not open its socket")
            time.sleep(0.01)
        return server

    def stop_server(self, server):
        """Ends the server's run; the library's counters of that run."""
        server.send_signal(10)  # SIGUSR1 ends a run with its summary
        _, err = server.communicate(timeout=60)
        if server.returncode != 0:
            raise RuntimeError("the server exited %d: %s" % (server.returncode, err.decode()))
        with open(self.env["QLX_STATS_FILE"]) as f:
            last = f.readlines()[-1].split()
        return dict(field.split("=", 1) for field in last[1:])

    def start_crowd(self, peers, rounds, size, interval_ms=0):
        crowd = subprocess.Popen(
            [self.crowd_path, "ipc://" + self.socket, str(peers), str(rounds), str(size),
             str(interval_ms)],
            stdout=subprocess.PIPE, env=self.env)
        if crowd.stdout.readline().strip() != b"sent":
            raise RuntimeError("the crowd did not send")
        return crowd

    def start_client(self, args, name):
        out = os.path.join(self.work, name + ".json")
        client = subprocess.Popen(
            [self.client_path, "-q", "-o", out] + args + [ELEMENT], env=self.env,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return client, out

    @staticmethod
    def finish_client(started):
        client, out = started
        _, err = client.communicate(timeout=300)
        with open(out) as f:
            result = json.load(f)
        return client.returncode, result, err.decode().strip()


def end(process):
    process.terminate()
    process.wait(timeout=60)


def counts(result):
    return result["counts"]


def worst_ms(result):
    return result["latency_ns"]["max"] / 1e6


def peak_rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def case_stalled(bench, peers):
    """The well-behaved client at 200/s for 14 s; the crowd starts after 2 s
    and sends a round every 40 ms for 10 s, 250 transactions a peer, each
    answered with 8 KiB it never reads: 400 MB, past the budget of 256 MiB."""
    steady = ["-r", "200", "-w", "64", "-d", "14", "-t", "30", "-e", "8192", "-s", "64"]
    server = bench.start_server(["-s", "8192"])
    code, alone, err = bench.finish_client(bench.start_client(steady, "alone"))
    if code != 0:
        print("stalled: the client alone exited %d: %s" % (code, err))
    client = bench.start_client(steady, "beside")
    time.sleep(2)
    crowd = bench.start_crowd(peers, 250, 64, 40)
    code_beside, beside, _ = bench.finish_client(client)
    end(crowd)
    stats = bench.stop_server(server)
    print("stalled: peers=%d worst_alone_ms=%.1f worst_beside_ms=%.1f p99_alone_ms=%.2f "
          "p99_beside_ms=%.2f completed_alone=%d completed_beside=%d timeouts_beside=%d "
          "exit=%d/%d replies_dropped=%s" % (
              peers, worst_ms(alone), worst_ms(beside),
              alone["latency_ns"]["percentiles"]["99"] / 1e6, beside["latency_ns"]["percentiles"]["99"] / 1e6,
              counts(alone)["completed"], counts(beside)["completed"],
              counts(beside)["timed_out"], code, code_beside, stats["replies_dropped"]))
    return {"peers": peers, "worst_alone_ms": worst_ms(alone), "worst_beside_ms": worst_ms(beside),
            "completed_beside": counts(beside)["completed"],
            "timeouts_beside": counts(beside)["timed_out"]}


def case_memory(bench, peers):
    """Peers that send 10 transactions of 1 MiB each and never read, beside a
    well-behaved client; the server's peak resident memory."""
    server = bench.start_server([])
    client = bench.start_client(["-r", "100", "-w", "64", "-d", "20", "-t", "30", "-V"],
                                "beside")
    time.sleep(1)
    base = peak_rss_mib(server.pid)
    crowd = bench.start_crowd(peers, 10, 1 << 20)
    code, beside, _ = bench.finish_client(client)
    peak = peak_rss_mib(server.pid)
    end(crowd)
    stats = bench.stop_server(server)
    print("memory: peers=%d rss_before_mib=%.0f peak_rss_mib=%.0f client_completed=%d "
          "client_timeouts=%d exit=%d replies_sent=%s replies_dropped=%s" % (
              peers, base, peak, counts(beside)["completed"], counts(beside)["timed_out"], code,
              stats["replies_sent"], stats["replies_dropped"]))
    return {"peers": peers, "rss_before_mib": base, "peak_rss_mib": peak,
            "client_timeouts": counts(beside)["timed_out"]}


def case_connections(bench, _):
    """1,500 connections to a server with 1,024 descriptors: whether it
    lives, what a new client sees in the flood and after it; then a client
    that connects while QLX_MAX_CONNECTIONS=50 are taken, whose connections
    end 3 s later."""
    server = bench.start_server([], prefix=["/usr/bin/prlimit", "--nofile=1024:1024", "--"])
    crowd = bench.start_crowd(1500, 0, 0)
    time.sleep(2)
    descriptors = len(os.listdir("/proc/%d/fd" % server.pid))
    code, during, _ = bench.finish_client(
        bench.start_client(["-n", "5", "-w", "5", "-t", "5", "-V"], "during"))
    print("connections: flood=1500 descriptor_limit=1024 server_descriptors=%d "
          "new_client_in_flood: exit=%d completed=%d timed_out=%d" % (
              descriptors, code, counts(during)["completed"], counts(during)["timed_out"]))
    end(crowd)
    code, after, _ = bench.finish_client(
        bench.start_client(["-n", "50", "-t", "30", "-V"], "after"))
    stats = bench.stop_server(server)
    print("connections: after the flood: server_alive=%s new_client_exit=%d completed=%d "
          "worst_ms=%.1f" % ("replies_sent" in stats, code, counts(after)["completed"],
                             worst_ms(after)))

    server = bench.start_server([], settings={"QLX_MAX_CONNECTIONS": "50"})
    crowd = bench.start_crowd(50, 0, 0)
    time.sleep(1)
    client = bench.start_client(["-n", "5", "-w", "5", "-t", "30", "-V"], "waiting")
    time.sleep(3)
    end(crowd)
    code, waited, _ = bench.finish_client(client)
    bench.stop_server(server)
    print("connections: QLX_MAX_CONNECTIONS=50 taken, their connections ended after 3 s: "
          "new_client_exit=%d completed=%d worst_ms=%.0f" % (
              code, counts(waited)["completed"], worst_ms(waited)))


CASES = {"stalled": case_stalled, "memory": case_memory, "connections": case_connections}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--case", choices=sorted(CASES), action="append")
    parser.add_argument("--peers", type=int)
    args = parser.parse_args()
    defaults = {"stalled": 200, "memory": 100, "connections": 0}
    with tempfile.TemporaryDirectory(prefix="tfxcrowd.") as work:
        bench = Bench(args.build, work)
        for name in args.case or sorted(CASES):
            CASES[name](bench, args.peers or defaults[name])
    return 0


if __name__ == "__main__":
    sys.exit(main())
