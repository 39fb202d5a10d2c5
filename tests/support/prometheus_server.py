#!/usr/bin/python3
"""A real Prometheus on loopback for the tests, scraping one target every second.

  start --dir D   pick a free port for the target and one for Prometheus, write them to
                  D/target-port and D/port, start prometheus in the background with its own
                  storage in D/data, and wait until it is ready
  stop  --dir D   stop the one started in D

The target (the program under test, started by the test) is 127.0.0.1:<target-port>, job
"varnley". Prometheus listens on 127.0.0.1 only.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request

CONFIG = """\
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: varnley
    static_configs:
      - targets: ['127.0.0.1:{target}']
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(d):
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    target, port = free_port(), free_port()
    with open(os.path.join(d, "prometheus.yml"), "w") as f:
        f.write(CONFIG.format(target=target))
    log = open(os.path.join(d, "prometheus.log"), "w")
    proc = subprocess.Popen(
        ["prometheus", "--config.file=" + os.path.join(d, "prometheus.yml"),
         "--storage.tsdb.path=" + os.path.join(d, "data"),
         "--web.listen-address=127.0.0.1:%d" % port, "--log.level=warn"],
        stdout=log, stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
    with open(os.path.join(d, "pid"), "w") as f:
        f.write(str(proc.pid))
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit("prometheus ended: see " + os.path.join(d, "prometheus.log"))
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/-/ready" % port, timeout=1) as r:
                if r.status == 200:
                    break
        except OSError:
            time.sleep(0.2)
    else:
        sys.exit("prometheus not ready within 60 s")
    with open(os.path.join(d, "target-port"), "w") as f:
        f.write(str(target))
    with open(os.path.join(d, "port"), "w") as f:
        f.write(str(port))


def stop(d):
    try:
        pid = int(open(os.path.join(d, "pid")).read())
    except (OSError, ValueError):
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    os.kill(pid, signal.SIGKILL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["start", "stop"])
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()
    (start if args.command == "start" else stop)(args.dir)


if __name__ == "__main__":
    main()
