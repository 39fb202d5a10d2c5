#!/usr/bin/python3
"""A real SMTP server on loopback for the tests, built on aiosmtpd.

  start --dir D [--user U --password P] [--tls]   start in the background, wait until it listens
  stop  --dir D                                   stop the one started in D
  serve --dir D [...]                             run in the foreground (what start launches)
  pki   --dir D                                   only make the certificates (D/pki), see below

It binds a free port on 127.0.0.1 and writes it to D/port, and one on ::1 (plain text, as
D/port-plain6) where the machine has IPv6 loopback. AUTH LOGIN (and PLAIN) are offered
on plain text and accept only the given user and password (default varnley / s3cret).
Each message received is stored as D/mail/NNNN.eml (the data as received) with
D/mail/NNNN.json beside it (envelope sender, recipients, the login used, the listener and the
TLS version or null); both appear before the server answers the final "." with 250. Run it
with Debian's /usr/bin/python3, which has aiosmtpd.

With --tls, start first makes a throw-away CA (D/pki/ca.pem) and server certificates with the
openssl command, and the server listens on several ports, each written to D/port-NAME:
  starttls   STARTTLS required before AUTH or mail; certificate for localhost and 127.0.0.1
  wrongname  the same, certificate for another name only
  expired    the same, certificate for localhost and 127.0.0.1 that has expired
  unknownca  the same, certificate from a CA nobody trusts
  implicit   TLS from the first byte, good certificate
  plain      no TLS at all (STARTTLS not offered)
D/port is still the plain one, so tests of plain text run unchanged. Every AUTH command a listener sees adds its name as a line to
D/auth.log, whether or not the login succeeds.
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

TLS_LISTENERS = ("starttls", "wrongname", "expired", "unknownca", "implicit", "plain")

OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[good_ext]
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
[wrong_ext]
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
subjectAltName = DNS:mail.other.invalid
[ca]
default_ca = test_ca
[test_ca]
database = index.txt
new_certs_dir = .
certificate = ca.pem
private_key = ca.key
serial = serial
default_md = sha256
policy = any_name
[any_name]
commonName = supplied
"""

DEFAULT_USER = "varnley"
DEFAULT_PASSWORD = "s3cret"


def write_atomic(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def openssl(pki, *argv):
    subprocess.run(["openssl"] + list(argv), cwd=pki, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_pki(directory):
    """A CA, a second CA nobody trusts, and a server certificate per TLS listener (EC keys:
    made in milliseconds). The keys never leave the test's folder."""
    pki = os.path.join(directory, "pki")
    os.makedirs(pki)
    with open(os.path.join(pki, "openssl.cnf"), "w") as f:
        f.write(OPENSSL_CONFIG)
    open(os.path.join(pki, "index.txt"), "w").close()
    with open(os.path.join(pki, "serial"), "w") as f:
        f.write("1000\n")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca, cn in (("ca", "Varnley Test CA"), ("otherca", "Untrusted Test CA")):
        openssl(pki, "req", "-x509", "-config", "openssl.cnf", "-extensions", "ca_ext", *ec,
                "-keyout", ca + ".key", "-out", ca + ".pem", "-days", "3", "-subj", "/CN=" + cn)

    def server(name, cn):
        openssl(pki, "req", "-new", "-config", "openssl.cnf", *ec, "-keyout", name + ".key",
                "-out", name + ".csr", "-subj", "/CN=" + cn)

    serials = itertools.count(1)

    def sign(name, ca, ext):
        openssl(pki, "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey",
                ca + ".key", "-set_serial", str(next(serials)), "-days", "2",
                "-extfile", "openssl.cnf", "-extensions", ext, "-out", name + ".pem")

    server("good", "localhost")
    sign("good", "ca", "good_ext")
    server("wrongname", "mail.other.invalid")
    sign("wrongname", "ca", "wrong_ext")
    server("unknownca", "localhost")
    sign("unknownca", "otherca", "good_ext")
    # Only "openssl ca" takes dates in the past.
    server("expired", "localhost")
    openssl(pki, "ca", "-batch", "-config", "openssl.cnf", "-name", "test_ca", "-in",
            "expired.csr", "-out", "expired.pem", "-notext", "-extfile", "openssl.cnf",
            "-extensions", "good_ext", "-startdate", "20200101000000Z", "-enddate",
            "20200102000000Z")


def server_context(pki, name):
    import ssl
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(pki, name + ".pem"), os.path.join(pki, name + ".key"))
    return context


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

    auth_log = os.path.join(args.dir, "auth.log")

    class RecordingSMTP(SMTP):
        def __init__(self, *a, listener="plain", **kw):
            super().__init__(*a, **kw)
            self.listener = listener

        async def smtp_AUTH(self, arg):
            with open(auth_log, "a") as f:
                f.write(self.listener + "\n")
            return await super().smtp_AUTH(arg)

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            name = os.path.join(mail_dir, "%04d" % next(counter))
            auth = getattr(session, "auth_data", None)
            login = auth.login.decode("latin-1") if isinstance(auth, LoginPassword) else None
            ssl_object = server.transport.get_extra_info("ssl_object") if server.transport else None
            meta = {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                    "login": login, "listener": server.listener,
                    "tls": ssl_object.version() if ssl_object else None}
            write_atomic(name + ".eml", envelope.original_content or b"")
            write_atomic(name + ".json", json.dumps(meta).encode())
            return "250 OK"

    handler = Handler()
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def listen(listener, tls_context=None, implicit_context=None, v6=False):
        sock = socket.socket(socket.AF_INET6 if v6 else socket.AF_INET, socket.SOCK_STREAM)
        sock.bind(("::1" if v6 else "127.0.0.1", 0))
        sock.listen(16)

        def factory():
            # Each session builds its own; with STARTTLS required, nothing but EHLO, NOOP and
            # QUIT is taken before it.
            return RecordingSMTP(handler, hostname="varnley-test", authenticator=authenticator,
                                 auth_require_tls=tls_context is not None, decode_data=False,
                                 tls_context=tls_context,
                                 require_starttls=tls_context is not None, listener=listener)

        server = loop.run_until_complete(
            loop.create_server(factory, sock=sock, ssl=implicit_context))
        return server, sock.getsockname()[1]

    listeners = {}
    if args.tls:
        pki = os.path.join(args.dir, "pki")
        for name, cert in (("starttls", "good"), ("wrongname", "wrongname"),
                           ("expired", "expired"), ("unknownca", "unknownca")):
            listeners[name] = listen(name, tls_context=server_context(pki, cert))
        listeners["implicit"] = listen("implicit", implicit_context=server_context(pki, "good"))
    listeners["plain"] = listen("plain")
    try:
        listeners["plain6"] = listen("plain6", v6=True)
    except OSError:
        pass  # no IPv6 loopback here: the tests that need it say so
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    write_atomic(os.path.join(args.dir, "pid"), str(os.getpid()).encode())
    for name, (_, port) in listeners.items():
        write_atomic(os.path.join(args.dir, "port-" + name), str(port).encode())
    write_atomic(os.path.join(args.dir, "port"), str(listeners["plain"][1]).encode())
    try:
        loop.run_forever()
    finally:
        for server, _ in listeners.values():
            server.close()
        for name in ["port", "pid"] + ["port-" + n for n in listeners]:
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
    if args.tls:
        try:
            make_pki(args.dir)
        except subprocess.CalledProcessError as e:
            sys.stderr.write(e.stderr.decode(errors="replace"))
            print("could not make the test certificates", file=sys.stderr)
            return 1
    log_path = os.path.join(args.dir, "server.log")
    with open(log_path, "wb") as log, open(os.devnull, "rb") as devnull:
        # Detached, with its own output file, so the test runner does not wait on its pipes.
        proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", "--dir", args.dir,
             "--user", args.user, "--password", args.password] + (["--tls"] if args.tls else []),
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


def pki(args):
    os.makedirs(args.dir, exist_ok=True)
    shutil.rmtree(os.path.join(args.dir, "pki"), ignore_errors=True)
    try:
        make_pki(args.dir)
    except subprocess.CalledProcessError as e:
        sys.stderr.write(e.stderr.decode(errors="replace"))
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["start", "stop", "serve", "pki"])
    parser.add_argument("--dir", required=True)
    parser.add_argument("--user", default=DEFAULT_USER)
    parser.add_argument("--password", default=DEFAULT_PASSWORD)
    parser.add_argument("--tls", action="store_true")
    args = parser.parse_args()
    args.dir = os.path.abspath(args.dir)
    return {"start": start, "stop": stop, "serve": serve, "pki": pki}[args.command](args) or 0


if __name__ == "__main__":
    sys.exit(main())
