#!/usr/bin/python3
"""A real SMTP server on loopback for the tests, built on aiosmtpd.

  start --dir D [--user U --password P]   start in the background, wait until it listens
  stop  --dir D                           stop the one started in D
  serve --dir D [...]                     run in the foreground (what start launches)

It binds a free port on 127.0.0.1 and writes it to D/port. AUTH LOGIN (and PLAIN) are offered
on plain text and accept only the given user and password (default varnley / s3cret).
Each message received is stored as D/mail/NNNN.eml (the data as received) with
D/mail/NNNN.json beside it (envelope sender, recipients and the login used); both appear
before the server answers the final "." with 250. Run it with Debian's /usr/bin/python3,
which has aiosmtpd.
"""
import argparse
import asyncio
import itertools
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

DEFAULT_USER = "varnley"
DEFAULT_PASSWORD = "s3cret"


def write_atomic(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def serve(args):
    from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

    mail_dir = os.path.join(args.dir, "mail")
    os.makedirs(mail_dir, exist_ok=True)
    counter = itertools.count(1)
    user, password = args.user.encode(), args.password.encode()

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == user
              and auth_data.password == password)
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            name = os.path.join(mail_dir, "%04d" % next(counter))
            auth = getattr(session, "auth_data", None)
            login = auth.login.decode("latin-1") if isinstance(auth, LoginPassword) else None
            meta = {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                    "login": login}
            write_atomic(name + ".eml", envelope.original_content or b"")
            write_atomic(name + ".json", json.dumps(meta).encode())
            return "250 OK"

    handler = Handler()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen(16)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def factory():
        return SMTP(handler, hostname="varnley-test", authenticator=authenticator,
                    auth_require_tls=False, decode_data=False)

    server = loop.run_until_complete(loop.create_server(factory, sock=sock))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    write_atomic(os.path.join(args.dir, "pid"), str(os.getpid()).encode())
    write_atomic(os.path.join(args.dir, "port"), str(sock.getsockname()[1]).encode())
    try:
        loop.run_forever()
    finally:
        server.close()
        for name in ("port", "pid"):
            try:
                os.remove(os.path.join(args.dir, name))
            except FileNotFoundError:
                pass


def read_pid(directory):
    try:
        with open(os.path.join(directory, "pid")) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def stop(args):
    pid = read_pid(args.dir)
    if pid is None:
        return 0
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return 0
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return 0
        time.sleep(0.05)
    print("server %d did not stop" % pid, file=sys.stderr)
    return 1


def start(args):
    stop(args)  # one left over from an interrupted run
    shutil.rmtree(args.dir, ignore_errors=True)
    os.makedirs(args.dir)
    log_path = os.path.join(args.dir, "server.log")
    with open(log_path, "wb") as log, open(os.devnull, "rb") as devnull:
        # Detached, with its own output file, so the test runner does not wait on its pipes.
        proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", "--dir", args.dir,
             "--user", args.user, "--password", args.password],
            stdin=devnull, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    port_file = os.path.join(args.dir, "port")
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if os.path.exists(port_file):
            with open(port_file) as f:
                print("aiosmtpd listening on 127.0.0.1:%s" % f.read().strip())
            return 0
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    with open(log_path, errors="replace") as f:
        sys.stderr.write(f.read())
    print("aiosmtpd did not start", file=sys.stderr)
    return 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["start", "stop", "serve"])
    parser.add_argument("--dir", required=True)
    parser.add_argument("--user", default=DEFAULT_USER)
    parser.add_argument("--password", default=DEFAULT_PASSWORD)
    args = parser.parse_args()
    args.dir = os.path.abspath(args.dir)
    return {"start": start, "stop": stop, "serve": serve}[args.command](args) or 0


if __name__ == "__main__":
    sys.exit(main())
