#!/usr/bin/env python3
"""Whole-server benchmark of Fernhollow, beside nginx and two minimal servers.

Started by scripts/bench after the release build. Everything listens on and
talks to 127.0.0.1 only; every load is bounded in time, and every process
started here is stopped again by its own process id.
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

LOOPBACK = "127.0.0.1"
MIB = 1024 * 1024
BOUNDARY = "---------------------------7e12b3a1f0c4"
SAVE_ANSWER = b"HTTP/1.1 200 OK\r\n\r\n"
# A save by PUT: 204 with the new page's ETag (Fernhollow), or bare (the raw floor).
PUT_ANSWER = re.compile(rb'HTTP/1\.1 204 No Content\r\n(ETag: "[^"\r\n]+"\r\n)?\r\n')


def log(text):
    print(text, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as probe:
        probe.bind((LOOPBACK, 0))
        return probe.getsockname()[1]


def wait_listening(port, process, limit=15.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if process.poll() is not None:
            raise RuntimeError(f"{process.args[0]} ended early with status {process.returncode}")
        try:
            with socket.create_connection((LOOPBACK, port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port} after {limit} s")


class Processes:
    """The processes this benchmark started; each is stopped by its own id."""

    def __init__(self):
        self.running = []

    def start(self, args, port, stdout=subprocess.DEVNULL, cwd=None):
        process = subprocess.Popen(args, stdout=stdout, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=cwd)
        self.running.append(process)
        wait_listening(port, process)
        return process

    def stop(self, process):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if process in self.running:
            self.running.remove(process)

    def stop_all(self):
        for process in list(self.running):
            self.stop(process)


def page_text(size, seed=7):
    """Wiki-like HTML of exactly `size` bytes, varied line by line."""
    state = seed
    pieces = ["<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>generated wiki</title></head><body>\n"]
    total = len(pieces[0])
    while total < size:
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        line = (f"<div class=\"tc-tiddler\" data-title=\"Tiddler {state}\">var x = {{\"text\": "
                f"\"lorem ipsum {state >> 7} dolor sit amet, caf\u00e9 \u2713\"}};</div>\n")
        pieces.append(line)
        total += len(line.encode())
    return "".join(pieces).encode()[:size]


def wiki_page(repo, tiddlywiki_dir, out_dir):
    """The 2.5 MB page served in the page test, and a note of where it came from."""
    candidates = [tiddlywiki_dir] if tiddlywiki_dir else []
    candidates.append(os.path.join(repo, "node_modules", "tiddlywiki"))
    for package in candidates:
        script = os.path.join(package, "tiddlywiki.js")
        if not os.path.isfile(script):
            continue
        if shutil.which("node") is None:
            log(f"node is missing, so {package} cannot build the empty edition")
            break
        build_dir = os.path.join(out_dir, "tw-build")
        shutil.rmtree(build_dir, ignore_errors=True)
        # The pinned package asks for Node.js 20 at boot, yet builds the same
        # page on Debian 12's own Node.js 18: boot it with the floor at 18.
        boot = (f"const $tw = require({json.dumps(os.path.join(package, 'boot', 'boot.js'))}).TiddlyWiki();"
                f"const info = require({json.dumps(os.path.join(package, 'package.json'))});"
                "$tw.packageInfo = {...info, engines: {...info.engines, node: '>=18.0.0'}};"
                "$tw.boot.argv = process.argv.slice(1); $tw.boot.boot();")
        subprocess.run(["node", "-e", boot, "--", os.path.join(package, "editions", "empty"), "--output", build_dir,
                        "--render", "$:/core/save/all", "empty.html", "text/plain"],
                       check=True, stdout=subprocess.DEVNULL, timeout=300)
        with open(os.path.join(package, "package.json"), encoding="utf-8") as info:
            version = re.search(r'"version"\s*:\s*"([^"]+)"', info.read()).group(1)
        with open(os.path.join(build_dir, "empty.html"), "rb") as page:
            return page.read(), f"TiddlyWiki {version} empty edition"
    log("TiddlyWiki is not in node_modules: the page test uses a generated 2.5 MB HTML file instead")
    return page_text(2_500_000), "generated 2.5 MB HTML (TiddlyWiki not installed)"


def exchange(port, request, timeout):
    """Sends `request` on a new connection; everything answered until the server closes."""
    with socket.create_connection((LOOPBACK, port), timeout=timeout) as connection:
        connection.sendall(request)
        chunks = []
        while True:
            data = connection.recv(1 << 16)
            if not data:
                break
            chunks.append(data)
    return b"".join(chunks)


def http_get(port, target):
    """One GET with Connection: close; the whole answer as bytes."""
    request = f"GET {target} HTTP/1.1\r\nHost: {LOOPBACK}:{port}\r\nConnection: close\r\n\r\n".encode()
    return exchange(port, request, 30)


def check_served(name, port, target, expected):
    answer = http_get(port, target)
    head, _, body = answer.partition(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200") or body != expected:
        raise RuntimeError(f"{name} did not serve {target} whole: {head[:200]!r}, {len(body)} body bytes")


def run_wrk(port, target, connections, seconds, server_pid=None):
    """Requests per second of one wrk run, its error counts, and the CPU
    seconds the server process used per request (when its id is given)."""
    before = cpu_ticks(server_pid) if server_pid else 0
    result = subprocess.run(["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "10s",
                             "-H", "Connection: close", f"http://{LOOPBACK}:{port}{target}"],
                            capture_output=True, text=True, timeout=seconds + 60, check=True)
    after = cpu_ticks(server_pid) if server_pid else 0
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", result.stdout).group(1))
    count = int(re.search(r"(\d+) requests in", result.stdout).group(1))
    cpu_per_request = (after - before) / os.sysconf("SC_CLK_TCK") / max(count, 1)
    problems = {"requests": count}
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", result.stdout)
    if errors:
        for key, value in zip(("connect", "read", "write", "timeout"), errors.groups()):
            problems[key] = int(value)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", result.stdout)
    if non2xx:
        problems["non-2xx"] = int(non2xx.group(1))
    return rate, problems, cpu_per_request


# The scenes of several devices at once: what one device does while the
# laptop fetches a 1 KB file every half second.
SCENES = {
    "download": "a phone downloads a 20 MiB file at about 1 MiB/s",
    "script": "a script sleeps 6 s",
    "stalled": "a phone stops reading half-way",
}
SCENE_SECONDS = 5


def phone(port, scene, stop):
    """The device that holds the server in `scene`, until `stop` is set."""
    target = "/sleep.php" if scene == "script" else "/big.bin"
    with socket.socket() as connection:
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
        connection.connect((LOOPBACK, port))
        connection.settimeout(0.5)
        connection.sendall(f"GET {target} HTTP/1.1\r\nHost: {LOOPBACK}:{port}\r\n\r\n".encode())
        received = 0
        while not stop.is_set():
            if scene == "stalled" and received >= 1 * MIB:
                time.sleep(0.05)
                continue
            try:
                data = connection.recv(64 * 1024)
            except socket.timeout:
                continue
            if not data:
                break
            received += len(data)
            if scene == "download":
                time.sleep(len(data) / MIB)


def scene_times(port, scene):
    """Answer times (s) of the laptop's 1 KB GETs, each on a new connection, while `scene` holds."""
    stop = threading.Event()
    holder = threading.Thread(target=phone, args=(port, scene, stop))
    holder.start()
    time.sleep(0.3)
    times = []
    try:
        end = time.monotonic() + SCENE_SECONDS
        while time.monotonic() < end:
            started = time.monotonic()
            answer = http_get(port, "/small.html")
            times.append(time.monotonic() - started)
            if not answer.startswith(b"HTTP/1.1 200"):
                raise RuntimeError(f"the laptop's GET was answered {answer[:40]!r} while {SCENES[scene]}")
            time.sleep(max(0.0, 0.5 - (time.monotonic() - started)))
    finally:
        stop.set()
        holder.join()
    return times


def add_problems(tally, test, name, problems):
    counts = tally.setdefault((test, name), {})
    for key, value in problems.items():
        counts[key] = counts.get(key, 0) + value


def upload_request(page, port, file_name):
    """A POST /savetiddly as the wiki's upload saver writes it."""
    body = (f"--{BOUNDARY}\r\nContent-disposition: form-data; name=\"UploadPlugin\"\r\n\r\n"
            f"backupDir=backup;user=me;password=;uploaddir=;;\r\n\r\n--{BOUNDARY}\r\n"
            f"Content-disposition: form-data; name=\"userfile\"; filename=\"{file_name}\"\r\n"
            f"Content-Type: text/html;charset=UTF-8\r\nContent-Length: {len(page)}\r\n\r\n").encode()
    body += page + f"\r\n--{BOUNDARY}--\r\n".encode()
    head = (f"POST /savetiddly HTTP/1.1\r\nHost: {LOOPBACK}:{port}\r\n"
            f"Content-Type: multipart/form-data; charset=UTF-8; boundary={BOUNDARY}\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode()
    return head + body


def put_request(page, port, target):
    """A PUT of the page to `target` as the wiki's put saver sends it, without If-Match."""
    head = (f"PUT {target} HTTP/1.1\r\nHost: {LOOPBACK}:{port}\r\n"
            f"Content-Type: text/html;charset=UTF-8\r\nContent-Length: {len(page)}\r\n\r\n").encode()
    return head + page


def timed_post(port, request):
    """Seconds from connecting to the end of the answer; checks the answer."""
    start = time.perf_counter()
    answer = exchange(port, request, 120)
    elapsed = time.perf_counter() - start
    expected = answer == SAVE_ANSWER if request.startswith(b"POST ") else PUT_ANSWER.fullmatch(answer)
    if not expected:
        raise RuntimeError(f"unexpected answer to a save on port {port}: {answer[:200]!r}")
    return elapsed


def proc_status_kib(pid, field):
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} for process {pid}")


def child_pid(parent, limit=10.0):
    """The one child of `parent` (nginx's worker), waiting for it to appear."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat", encoding="ascii") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == parent:
                return int(entry)
        time.sleep(0.05)
    raise RuntimeError(f"process {parent} started no worker")


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the whole line.
    return int(fields[11]) + int(fields[12])


def nginx_config(directory, site, port):
    temp = os.path.join(directory, "temp")
    os.makedirs(temp, exist_ok=True)
    lines = [
        "worker_processes 1;",
        "daemon off;",
        "master_process on;",
        f"pid {directory}/nginx.pid;",
        f"error_log {directory}/error.log warn;",
        "events { worker_connections 1024; }",
        "http {",
        "    types { text/html html; }",
        "    default_type application/octet-stream;",
        "    sendfile on;",
        "    access_log off;",
        f"    client_body_temp_path {temp}/client;",
        f"    proxy_temp_path {temp}/proxy;",
        f"    fastcgi_temp_path {temp}/fastcgi;",
        f"    uwsgi_temp_path {temp}/uwsgi;",
        f"    scgi_temp_path {temp}/scgi;",
        f"    server {{ listen {LOOPBACK}:{port}; root {site}; }}",
        "}",
    ]
    path = os.path.join(directory, "nginx.conf")
    with open(path, "w", encoding="ascii") as config:
        config.write("\n".join(lines) + "\n")
    return path


def machine_description():
    model = "unknown"
    with open("/proc/cpuinfo", encoding="utf-8") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo", encoding="ascii") as info:
        total_kib = int(info.readline().split()[1])
    kernel = os.uname().release
    return f"{os.cpu_count()} CPUs ({model}), {total_kib / MIB:.1f} GiB memory, Linux {kernel}"


def median(values):
    return statistics.median(values)


def alternating(names, round_index):
    """The servers in the order of this round: each round turns the order round."""
    shift = round_index % len(names)
    return names[shift:] + names[:shift]


def fmt(value, digits=1):
    return f"{value:,.{digits}f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the release build folder")
    parser.add_argument("--repo", required=True, help="the source folder (for node_modules)")
    parser.add_argument("--work", required=True, help="a folder for the run's files (emptied first)")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--seconds", type=int, default=3, help="length of one wrk run")
    parser.add_argument("--tiddlywiki", default=os.environ.get("FERNHOLLOW_BENCH_TIDDLYWIKI"),
                        help="a tiddlywiki package folder to use instead of node_modules/tiddlywiki")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    fernhollow = os.path.join(build, "fernhollow")
    reference = os.path.join(build, "bench", "bench_reference_sender")
    sink = os.path.join(build, "bench", "bench_raw_sink")
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    site = os.path.join(work, "site")
    os.makedirs(os.path.join(site, "backup"))
    os.makedirs(os.path.join(work, "nginx"))
    os.makedirs(os.path.join(work, "sink"))
    os.chmod(work, 0o755)
    rounds, seconds = args.rounds, args.seconds

    small = page_text(1024, seed=1)
    with open(os.path.join(site, "small.html"), "wb") as out:
        out.write(small)
    with open(os.path.join(site, "big.bin"), "wb") as out:
        out.write(page_text(20 * MIB, seed=3))
    with open(os.path.join(site, "sleep.php"), "w") as out:
        out.write("<?php sleep(6); echo 'slept';")
    php = shutil.which("php-cgi")
    page, page_source = wiki_page(args.repo, args.tiddlywiki, work)
    with open(os.path.join(site, "tiddly-bench.html"), "wb") as out:
        out.write(page)

    processes = Processes()
    results = {}
    problems_seen = {}
    try:
        ports = {name: free_port() for name in ("nginx", "fernhollow", "reference", "sink", "sink_fsync",
                                                "sink_replace", "fresh", "fernhollow_nohist")}
        console_path = os.path.join(work, "fernhollow-console.txt")
        console = open(console_path, "wb")
        nginx_conf = nginx_config(os.path.join(work, "nginx"), site, ports["nginx"])
        nginx_dir = os.path.join(work, "nginx")
        servers = {
            "nginx": processes.start(["nginx", "-p", nginx_dir, "-c", nginx_conf, "-e",
                                      os.path.join(nginx_dir, "error.log")], ports["nginx"]),
            "fernhollow": processes.start([fernhollow, "--root", site, "--port", str(ports["fernhollow"])] +
                                          (["--php-path", php] if php else []),
                                          ports["fernhollow"], stdout=console, cwd=work),
            "reference": processes.start([reference, str(ports["reference"]), os.path.join(site, "tiddly-bench.html")],
                                         ports["reference"]),
        }
        fernhollow_pid = servers["fernhollow"].pid
        # The process that does the serving, whose CPU time is counted.
        serving_pid = {"nginx": child_pid(servers["nginx"].pid), "fernhollow": fernhollow_pid,
                       "reference": servers["reference"].pid}

        for name in ("nginx", "fernhollow"):
            check_served(name, ports[name], "/small.html", small)
        for name in ("nginx", "fernhollow", "reference"):
            check_served(name, ports[name], "/tiddly-bench.html", page)

        # Small files: 4 clients, one request per connection.
        log(f"small-file GETs: {rounds} rounds of {seconds} s per server")
        for name in ("nginx", "fernhollow"):
            run_wrk(ports[name], "/small.html", 4, 1)
        small_rates = {"nginx": [], "fernhollow": []}
        small_cpu = {"nginx": [], "fernhollow": []}
        for r in range(rounds):
            for name in alternating(["nginx", "fernhollow"], r):
                rate, problems, cpu = run_wrk(ports[name], "/small.html", 4, seconds, serving_pid[name])
                small_rates[name].append(rate)
                small_cpu[name].append(cpu)
                add_problems(problems_seen, "1 KB GETs", name, problems)
        log("  requests/s " + ", ".join(f"{k}: {[round(v) for v in vs]}" for k, vs in small_rates.items()))

        # The wiki page: few connections, one request per connection.
        log(f"page GETs: {rounds} rounds of {seconds} s per server")
        for name in ("nginx", "fernhollow", "reference"):
            run_wrk(ports[name], "/tiddly-bench.html", 2, 1)
        page_rates = {"nginx": [], "fernhollow": [], "reference": []}
        page_cpu = {"nginx": [], "fernhollow": [], "reference": []}
        for r in range(rounds):
            for name in alternating(["nginx", "fernhollow", "reference"], r):
                rate, problems, cpu = run_wrk(ports[name], "/tiddly-bench.html", 2, seconds, serving_pid[name])
                page_rates[name].append(rate)
                page_cpu[name].append(cpu)
                add_problems(problems_seen, "page GETs", name, problems)
        log("  pages/s " + ", ".join(f"{k}: {[round(v, 1) for v in vs]}" for k, vs in page_rates.items()))

        log(f"several devices at once: {len(SCENES)} scenes of {SCENE_SECONDS} s per server")
        scenes = {}
        for scene in SCENES:
            scenes[scene] = {}
            for name in ("nginx", "fernhollow"):
                if scene == "script" and (name == "nginx" or not php):
                    continue
                scenes[scene][name] = scene_times(ports[name], scene)
            log(f"  {scene}: " + ", ".join(f"{k}: {[round(v * 1000, 1) for v in vs]}" for k, vs in scenes[scene].items()))
        processes.stop(servers["nginx"])
        processes.stop(servers["reference"])

        # Saves: the same request bytes to Fernhollow and to the raw sinks.
        sinks = {
            "sink": processes.start([sink, str(ports["sink"]), os.path.join(work, "sink", "page.html"), "nofsync"],
                                    ports["sink"]),
            "sink_fsync": processes.start([sink, str(ports["sink_fsync"]), os.path.join(work, "sink", "page-f.html"),
                                           "fsync"], ports["sink_fsync"]),
            "sink_replace": processes.start([sink, str(ports["sink_replace"]), os.path.join(work, "sink", "page-r.html"),
                                             "replace"], ports["sink_replace"]),
        }
        # The same Fernhollow keeping no history, for what keeping a version costs a save.
        nohist_site = os.path.join(work, "site-nohist")
        os.makedirs(os.path.join(nohist_site, "backup"))
        nohist_console = open(os.path.join(work, "fernhollow-nohist-console.txt"), "wb")
        sinks["fernhollow_nohist"] = processes.start(
            [fernhollow, "--root", nohist_site, "--port", str(ports["fernhollow_nohist"]), "--history", "off"],
            ports["fernhollow_nohist"], stdout=nohist_console, cwd=work)
        save_times = {}
        for size_mib in (2, 20):
            content = page_text(size_mib * MIB, seed=size_mib)
            name = f"tiddly-save-{size_mib}.html"
            requests = {target: upload_request(content, ports[target], name)
                        for target in ("fernhollow", "sink", "sink_fsync")}
            # The first save creates the page; the timed ones each move a backup aside.
            timed_post(ports["fernhollow"], requests["fernhollow"])
            with open(os.path.join(site, name), "rb") as saved:
                if saved.read() != content:
                    raise RuntimeError(f"the saved {size_mib} MiB page differs from the one sent")
            targets = ["fernhollow", "sink", "sink_fsync"]
            if size_mib == 20:
                # The same page saved in place by PUT, to a page of its own that exists already
                # (a PUT never creates one), beside the least such a save must do.
                put_name = "tiddly-put-20.html"
                with open(os.path.join(site, put_name), "wb") as out:
                    out.write(page_text(len(content), seed=21))
                requests["fernhollow_put"] = put_request(content, ports["fernhollow"], f"/{put_name}")
                requests["sink_replace"] = put_request(content, ports["sink_replace"], f"/{put_name}")
                ports["fernhollow_put"] = ports["fernhollow"]
                ports["fernhollow_put_nohist"] = ports["fernhollow_nohist"]
                with open(os.path.join(nohist_site, put_name), "wb") as out:
                    out.write(page_text(len(content), seed=21))
                requests["fernhollow_put_nohist"] = put_request(content, ports["fernhollow_nohist"], f"/{put_name}")
                targets += ["fernhollow_put", "sink_replace", "fernhollow_put_nohist"]
            count = rounds + 2 if size_mib == 2 else rounds
            log(f"saves of {size_mib} MiB: {count} rounds")
            times = {target: [] for target in targets}
            for r in range(count):
                for target in alternating(targets, r):
                    # Each save starts with nothing left to write back, so none pays for the
                    # pages the raw sink without fsync left dirty (the system writes them out
                    # whenever it likes, in the middle of whichever save is running then).
                    os.sync()
                    times[target].append(timed_post(ports[target], requests[target]))
            log("  " + ", ".join(f"{k}: {[round(v * 1000, 1) for v in vs]}" for k, vs in times.items()))
            save_times[size_mib] = times
            if not os.path.isfile(os.path.join(site, "backup", name)):
                raise RuntimeError("the saves left no backup")
            if size_mib == 20:
                for saved_path in (os.path.join(site, put_name), os.path.join(work, "sink", "page-r.html")):
                    with open(saved_path, "rb") as saved:
                        if saved.read() != content:
                            raise RuntimeError(f"{saved_path} is not the page sent by PUT")
                if not os.path.isfile(os.path.join(site, "backup", put_name)):
                    raise RuntimeError("the PUT saves left no backup")
                kept = versions_of(site, put_name)
                # Saves within one hour: the ten newest are always kept, so up to ten rounds keep them all.
                if len(kept) != count if count <= 10 else len(kept) < 10:
                    raise RuntimeError(f"{count} PUT saves with the history on kept {len(kept)} versions: {kept}")
                if os.path.exists(os.path.join(nohist_site, "history")):
                    raise RuntimeError("the server with --history off made a history folder")
        thinning = time_thinning(site, ports["fernhollow"], rounds + 2)
        for process in sinks.values():
            processes.stop(process)
        nohist_console.close()

        # Idle: the loaded server, then with a connection open that never completes its head.
        log("idle CPU: 2 x 5 s")
        time.sleep(0.5)
        before = cpu_ticks(fernhollow_pid)
        time.sleep(5)
        idle_ticks = cpu_ticks(fernhollow_pid) - before
        with socket.create_connection((LOOPBACK, ports["fernhollow"])) as waiting:
            waiting.sendall(b"GET /small.html HTTP/1.1\r\n")
            time.sleep(0.5)
            before = cpu_ticks(fernhollow_pid)
            time.sleep(5)
            idle_open_ticks = cpu_ticks(fernhollow_pid) - before
        processes.stop(servers["fernhollow"])
        console.close()

        # Peak memory: a fresh server that does nothing but one 20 MiB save
        # over an existing page with a backup folder.
        log("peak memory of one 20 MiB save in a fresh server")
        fresh_site = os.path.join(work, "fresh")
        os.makedirs(os.path.join(fresh_site, "backup"))
        content = page_text(20 * MIB, seed=20)
        with open(os.path.join(fresh_site, "tiddly-big.html"), "wb") as out:
            out.write(content)
        with open(os.path.join(work, "fresh-console.txt"), "wb") as fresh_console:
            fresh = processes.start([fernhollow, "--root", fresh_site, "--port", str(ports["fresh"])], ports["fresh"],
                                    stdout=fresh_console, cwd=work)
            # wait_listening made one connection that closed at once; the server has read nothing else.
            time.sleep(0.2)
            rss_before = proc_status_kib(fresh.pid, "VmRSS")
            timed_post(ports["fresh"], upload_request(content, ports["fresh"], "tiddly-big.html"))
            peak_kib = proc_status_kib(fresh.pid, "VmHWM")
            processes.stop(fresh)

        # The first save after a start: a fresh Fernhollow and a fresh raw replacer each
        # time their very first 20 MiB PUT over an existing page, in turns.
        log(f"first 20 MiB save by PUT after a start: {rounds} rounds of a fresh server each")
        first_saves = {"fernhollow": [], "sink_replace": []}
        with open(os.path.join(work, "first-console.txt"), "wb") as first_console:
            for r in range(rounds):
                first_site = os.path.join(work, f"first-{r}")
                os.makedirs(first_site)
                for name in ("tiddly-first.html", "raw.html"):
                    with open(os.path.join(first_site, name), "wb") as out:
                        out.write(content)
                starts = {
                    "fernhollow": lambda: processes.start([fernhollow, "--root", first_site, "--port",
                                                           str(ports["fresh"])], ports["fresh"],
                                                          stdout=first_console, cwd=work),
                    "sink_replace": lambda: processes.start([sink, str(ports["sink_replace"]),
                                                             os.path.join(first_site, "raw.html"), "replace"],
                                                            ports["sink_replace"]),
                }
                for name in alternating(["fernhollow", "sink_replace"], r):
                    process = starts[name]()
                    port = ports["fresh"] if name == "fernhollow" else ports["sink_replace"]
                    target = "/tiddly-first.html" if name == "fernhollow" else "/raw.html"
                    time.sleep(0.2)
                    os.sync()
                    first_saves[name].append(timed_post(port, put_request(content, port, target)))
                    processes.stop(process)
        log("  " + ", ".join(f"{k}: {[round(v * 1000, 1) for v in vs]}" for k, vs in first_saves.items()))

        ticks_per_second = os.sysconf("SC_CLK_TCK")
        results = {
            "first_saves": first_saves,
            "small": small_rates,
            "scenes": scenes,
            "page": page_rates,
            "small_cpu": small_cpu,
            "page_cpu": page_cpu,
            "saves": save_times,
            "thinning": thinning,
            "peak_mib": peak_kib / 1024,
            "rss_before_mib": rss_before / 1024,
            "idle_ms": idle_ticks * 1000 / ticks_per_second,
            "idle_open_ms": idle_open_ticks * 1000 / ticks_per_second,
        }
    finally:
        processes.stop_all()

    report(results, page_source, len(page), rounds, seconds, problem_notes(problems_seen), work)


VERSION_NAME = re.compile(r"\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}(-\d+)?\.[a-z-]+\.html")
THINNING_VERSIONS = 200
THINNING_SPACING_HOURS = 3


def versions_of(site, page):
    """The version names in the page's history folder (none when it has no folder)."""
    folder = os.path.join(site, "history", page)
    if not os.path.isdir(folder):
        return []
    return sorted(name for name in os.listdir(folder) if VERSION_NAME.fullmatch(name))


def fill_history(site, page, source, count, spacing_hours):
    """Gives the page's history folder exactly `count` versions of `source`'s bytes (as second names of it),
    saved every `spacing_hours` hours back from an hour ago, local time as the server names them."""
    folder = os.path.join(site, "history", page)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    now = time.time()
    for index in range(count):
        when = time.localtime(now - 3600 - index * spacing_hours * 3600)
        os.link(source, os.path.join(folder, time.strftime("%Y-%m-%d_%H-%M-%S", when) + ".saved.html"))


def time_thinning(site, port, count):
    """Times 2 MiB saves by PUT to a page whose history holds 200 versions (one every 3 hours, most of which
    the save thins away) beside the same save to a page with an empty history; the folders are filled anew
    before each round."""
    content = page_text(2 * MIB, seed=22)
    source = os.path.join(os.path.dirname(site), "thinning-version.html")
    with open(source, "wb") as out:
        out.write(page_text(2 * MIB, seed=23))
    pages = {"many": "tiddly-thin-200.html", "none": "tiddly-thin-0.html"}
    for page in pages.values():
        with open(os.path.join(site, page), "wb") as out:
            out.write(content)
    requests = {key: put_request(content, port, f"/{page}") for key, page in pages.items()}
    log(f"thinning: {count} rounds of a 2 MiB PUT with {THINNING_VERSIONS} versions in the history and with none")
    times = {"many": [], "none": []}
    left = []
    for r in range(count):
        fill_history(site, pages["many"], source, THINNING_VERSIONS, THINNING_SPACING_HOURS)
        fill_history(site, pages["none"], source, 0, THINNING_SPACING_HOURS)
        # Filling the folders leaves file system changes that the first save's flush to disk would otherwise
        # carry; written out here, both saves of the round start from the same state.
        os.sync()
        for key in alternating(["many", "none"], r):
            times[key].append(timed_post(port, requests[key]))
        left.append(len(versions_of(site, pages["many"])))
        if len(versions_of(site, pages["none"])) != 1:
            raise RuntimeError(f"a save to a page without history kept {versions_of(site, pages['none'])}")
    if not all(kept < THINNING_VERSIONS for kept in left):
        raise RuntimeError(f"the saves thinned nothing away: versions left {left}")
    log("  " + ", ".join(f"{k}: {[round(v * 1000, 1) for v in vs]}" for k, vs in times.items()) +
        f"; versions left {left}")
    return {"times": times, "left": left}


def problem_notes(tally):
    """What wrk counted beside the answers, as lines for the report."""
    notes = []
    for (test, name), counts in tally.items():
        read_errors = counts.get("read", 0)
        others = {k: v for k, v in counts.items() if k not in ("requests", "read") and v}
        if read_errors:
            notes.append(f"{test}, {name}: wrk counted {read_errors:,} read errors in {counts['requests']:,} answers.")
        if others:
            notes.append(f"{test}, {name}: PROBLEM: {others}")
    if any(counts.get("read") for counts in tally.values()):
        notes.append("A read error is wrk's count of a connection that it tried to use again after a complete answer "
                     "without a Connection header (Fernhollow's and the reference sender's answers never carry one): the "
                     "server had closed it, so wrk opens a new one. The answers themselves were complete and counted.")
    return notes


def report(results, page_source, page_size, rounds, seconds, notes, work):
    small, page, saves = results["small"], results["page"], results["saves"]
    memory_limit = 3 * 20 + 16
    rows = []

    def paired(values, others):
        """The median of the per-round ratios (the servers of one round ran back to back)."""
        return median([a / b for a, b in zip(values, others)])

    def row(measure, fern, other, ratio, target, met):
        rows.append((measure, fern, other, ratio, target, "-" if met is None else ("yes" if met else "NO")))

    ratio = paired(small["fernhollow"], small["nginx"])
    row("1 KB GET, Connection: close, 4 clients (requests/s)", fmt(median(small["fernhollow"]), 0),
        f"nginx {fmt(median(small['nginx']), 0)}", f"{ratio:.2f}", ">= 1.00 x nginx", ratio >= 1.0)
    cpu = results["small_cpu"]
    row("server CPU per 1 KB request (us)", fmt(median(cpu["fernhollow"]) * 1e6),
        f"nginx {fmt(median(cpu['nginx']) * 1e6)}", f"{paired(cpu['fernhollow'], cpu['nginx']):.2f}", "report", None)
    ratio = paired(page["fernhollow"], page["reference"])
    row(f"{page_size / 1e6:.2f} MB page, 2 clients (pages/s)", fmt(median(page["fernhollow"])),
        f"reference sender {fmt(median(page['reference']))}", f"{ratio:.2f}", ">= 0.90 x reference", ratio >= 0.9)
    row("same page, beside nginx (pages/s)", fmt(median(page["fernhollow"])), f"nginx {fmt(median(page['nginx']))}",
        f"{paired(page['fernhollow'], page['nginx']):.2f}", ">= 0.80 x nginx",
        paired(page["fernhollow"], page["nginx"]) >= 0.8)
    cpu = results["page_cpu"]
    row("server CPU per page (ms)", fmt(median(cpu["fernhollow"]) * 1e3, 2),
        f"reference sender {fmt(median(cpu['reference']) * 1e3, 2)}, nginx {fmt(median(cpu['nginx']) * 1e3, 2)}",
        f"{paired(cpu['fernhollow'], cpu['reference']):.2f} / {paired(cpu['fernhollow'], cpu['nginx']):.1f}",
        "report", None)
    for size_mib in (2, 20):
        times = saves[size_mib]
        with_fsync = paired(times["fernhollow"], times["sink_fsync"])
        without = paired(times["fernhollow"], times["sink"])
        row(f"{size_mib} MiB save through /savetiddly (ms per save)", fmt(median(times["fernhollow"]) * 1000),
            f"raw sink {fmt(median(times['sink_fsync']) * 1000)} with fsync, "
            f"{fmt(median(times['sink']) * 1000)} without", f"{with_fsync:.2f} / {without:.2f}",
            "<= 3 x raw with fsync" if size_mib == 20 else "report", with_fsync <= 3 if size_mib == 20 else None)
    times = saves[20]
    ratio = paired(times["fernhollow_put"], times["sink_replace"])
    row("20 MiB save by PUT, in place (ms per save)", fmt(median(times["fernhollow_put"]) * 1000),
        f"raw replace floor {fmt(median(times['sink_replace']) * 1000)}; "
        f"upload save {fmt(median(times['fernhollow']) * 1000)}", f"{ratio:.2f}", "<= 1.3 x raw replace floor",
        ratio <= 1.3)

    def scale(name):
        return median(saves[20][name]) / median(saves[2][name])

    differences = [a - b for a, b in zip(times["fernhollow_put"], times["fernhollow_put_nohist"])]
    added = median(differences) * 1000
    row("20 MiB save by PUT, history on vs --history off (ms per save)", fmt(median(times["fernhollow_put"]) * 1000),
        f"history off {fmt(median(times['fernhollow_put_nohist']) * 1000)}; added {added:+.1f} ms "
        f"(per round: {', '.join(f'{d * 1000:+.1f}' for d in differences)})",
        f"{paired(times['fernhollow_put'], times['fernhollow_put_nohist']):.2f}", "< 5 ms added", added < 5)
    thinning = results["thinning"]
    many, none = thinning["times"]["many"], thinning["times"]["none"]
    thinning_cost = median([a - b for a, b in zip(many, none)]) * 1000
    row(f"2 MiB save by PUT, {THINNING_VERSIONS} versions in the history vs none (ms per save)",
        fmt(median(many) * 1000), f"no versions {fmt(median(none) * 1000)}; thinning {thinning_cost:+.1f} ms, "
        f"{THINNING_VERSIONS} versions thinned to {median(thinning['left']):.0f}", f"{paired(many, none):.2f}",
        "report", None)
    row("20 MiB save / 2 MiB save (time)", f"{scale('fernhollow'):.2f}",
        f"raw sink {scale('sink_fsync'):.2f} with fsync, {scale('sink'):.2f} without", f"{scale('fernhollow'):.2f}",
        "<= 12", scale("fernhollow") <= 12)
    first = results["first_saves"]
    ratio = paired(first["fernhollow"], first["sink_replace"])
    row("first 20 MiB save by PUT after a start, in place (ms per save)", fmt(median(first["fernhollow"]) * 1000),
        f"raw replace floor's first {fmt(median(first['sink_replace']) * 1000)}", f"{ratio:.2f}",
        "<= 1.3 x raw replace floor", ratio <= 1.3)
    ratio = results["peak_mib"] / memory_limit
    row("peak resident memory, fresh server, one 20 MiB save (MiB)",
        f"{results['peak_mib']:.1f} (before: {results['rss_before_mib']:.1f})", f"limit {memory_limit}",
        f"{ratio:.2f}", "< 3 x page + 16 MiB", results["peak_mib"] < memory_limit)
    row("CPU while idle for 5 s (ms)", f"{results['idle_ms']:.0f}", "", "", "0", results["idle_ms"] == 0)
    row("CPU while idle for 5 s, one unfinished request open (ms)", f"{results['idle_open_ms']:.0f}", "", "", "0",
        results["idle_open_ms"] == 0)

    for scene, times in results["scenes"].items():
        def spread(values):
            return f"{median(values) * 1000:.1f} / {max(values) * 1000:.1f}"
        fern = times.get("fernhollow")
        row(f"laptop's 1 KB GET while {SCENES[scene]} (ms, median / worst)", spread(fern) if fern else "not run",
            f"nginx {spread(times['nginx'])}" if "nginx" in times else "nginx runs no scripts", "",
            "worst < 250 ms", max(fern) < 0.25 if fern else None)

    header = ("Measure", "Fernhollow", "Compared with", "Ratio", "Target", "Met")
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    text = [
        f"Machine: {machine_description()}",
        f"Page: {page_source}, {page_size:,} bytes. Figures are medians of {rounds} rounds "
        f"({rounds + 2} for 2 MiB saves; wrk runs of {seconds} s); the servers take turns within each round, and "
        "a ratio is the median of the per-round ratios. Save ratios: with fsync / without.",
        "",
        *lines,
    ]
    if notes:
        text += ["", "Notes:"] + [f"- {note}" for note in notes]
    output = "\n".join(text)
    print(output)
    with open(os.path.join(work, "results.md"), "w", encoding="utf-8") as out:
        out.write(output + "\n")


if __name__ == "__main__":
    main()
