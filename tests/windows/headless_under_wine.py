#!/usr/bin/python3
"""Runs the windowless varnley.exe under Wine against a loopback port: it must log the port
DOWN while nothing listens, then UP once a listener is there.

headless_under_wine.py RUN_UNDER_WINE PREFIX EXE
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

LIMIT = 120  # seconds for the whole run, prefix start included


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    runner, prefix, exe = sys.argv[1:4]
    port = free_port()
    with tempfile.TemporaryDirectory() as folder:
        ini = os.path.join(folder, "varnley.ini")
        with open(ini, "w", newline="\r\n") as f:
            f.write("[config]\nmessage=1\nemail=0\ninterval=1\nhostcount=1\n"
                    f"[host1]\nhost=127.0.0.1\nport={port},\n")
        # Wine maps the Unix root to drive Z:.
        windows_ini = "Z:" + ini.replace("/", "\\")
        proc = subprocess.Popen([runner, prefix, exe, "--headless", "--config", windows_ini],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        lines = []
        seen = threading.Condition()

        def read():
            for line in proc.stderr:
                with seen:
                    lines.append(line.rstrip("\r\n"))
                    seen.notify_all()

        threading.Thread(target=read, daemon=True).start()
        deadline = time.monotonic() + LIMIT

        def wait_for(text):
            with seen:
                while text not in lines:
                    left = deadline - time.monotonic()
                    if left <= 0 or proc.poll() is not None:
                        return False
                    seen.wait(min(left, 0.5))
            return True

        listener = None
        ok = False
        try:
            down = f'"127.0.0.1:{port}" is DOWN.'
            up = f'"127.0.0.1:{port}" is UP.'
            if wait_for(down):
                listener = socket.socket()
                listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                listener.bind(("127.0.0.1", port))
                listener.listen(16)
                ok = wait_for(up)
        finally:
            env = dict(os.environ, WINEPREFIX=prefix)
            subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
            if listener:
                listener.close()
        print("\n".join(lines))
        if not ok:
            print("varnley.exe did not log the port DOWN and then UP", file=sys.stderr)
            return 1
        print("varnley.exe logged DOWN and UP under Wine")
        return 0


if __name__ == "__main__":
    sys.exit(main())
