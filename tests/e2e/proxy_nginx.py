"""Debian's nginx-light in front of a server, with a config of our own: the
redirect chains, the chunked transfer encoding and the HTTPS that stations
reach listeners through.

  http://127.0.0.1:<http>/chunked/<path>   the upstream, re-sent chunked
                                           (no Content-Length upstream)
  https://localhost:<https>/tls/<path>     the upstream over TLS, chunked
  http://127.0.0.1:<http>/chain/<path>?q   302 to https://localhost:<https>
                                           /hop/<path>?q, which answers with a
                                           relative 302 to /tls/<path>?q

The certificate is for "localhost" (WinHTTP matches no IP address against
one), signed by a test authority made here with openssl and added to the
host's store (update-ca-certificates), where Wine's crypt32 finds it. Each
authority has a file of its own there, named by its fingerprint, and is
removed again when the proxy stops.
"""
import os
import pwd
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from icecast import free_port
from processes import end_all

HOST_CA_DIR = Path("/usr/local/share/ca-certificates")


def _run(*args):
    subprocess.run(args, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_test_ca(work):
    """A test authority and a certificate for localhost signed by it."""
    ca_key, ca_crt = work / "ca.key", work / "ca.crt"
    key, csr, crt, ext = work / "localhost.key", work / "localhost.csr", work / "localhost.crt", \
        work / "localhost.ext"
    _run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=Tunara Test CA", "-keyout", str(ca_key), "-out", str(ca_crt),
         "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    _run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
         "-keyout", str(key), "-out", str(csr))
    ext.write_text("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n"
                   "basicConstraints=CA:FALSE\n")
    _run("openssl", "x509", "-req", "-in", str(csr), "-CA", str(ca_crt), "-CAkey", str(ca_key),
         "-CAcreateserial", "-days", "2", "-extfile", str(ext), "-out", str(crt))
    return ca_crt, crt, key


def fingerprint(crt):
    out = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", str(crt)],
                         check=True, capture_output=True, text=True).stdout
    return out.split("=", 1)[1].strip().replace(":", "")[:16].lower()


def install_ca(ca_crt):
    """Adds the authority to the host's store; returns what to remove."""
    if os.geteuid() != 0:
        raise PermissionError("installing the test authority needs root")
    HOST_CA_DIR.mkdir(parents=True, exist_ok=True)
    target = HOST_CA_DIR / f"tunara-test-ca-{fingerprint(ca_crt)}.crt"
    shutil.copy2(ca_crt, target)
    _run("update-ca-certificates")
    return target


def remove_ca(target):
    if target is not None and target.exists():
        target.unlink()
        _run("update-ca-certificates")


def config(work, http_port, https_port, upstream_port, crt, key):
    return f"""
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log {work}/access.log;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    # A stream goes on as it comes; nothing is held back or cut short.
    proxy_buffering off;
    proxy_read_timeout 300s;
    proxy_http_version 1.0;
    chunked_transfer_encoding on;
    server {{
        listen 127.0.0.1:{http_port};
        server_name localhost;
        location /chunked/ {{ proxy_pass http://127.0.0.1:{upstream_port}/; }}
        location /chain/ {{
            rewrite ^/chain/(.*)$ https://localhost:{https_port}/hop/$1 redirect;
        }}
    }}
    server {{
        listen 127.0.0.1:{https_port} ssl;
        server_name localhost;
        ssl_certificate {crt};
        ssl_certificate_key {key};
        ssl_protocols TLSv1.2 TLSv1.3;
        # The Location is sent as written: a relative reference.
        absolute_redirect off;
        location /tls/ {{ proxy_pass http://127.0.0.1:{upstream_port}/; }}
        location /hop/ {{ rewrite ^/hop/(.*)$ /tls/$1 redirect; }}
    }}
}}
"""


class Nginx:
    def __init__(self, upstream_port):
        assert shutil.which("nginx"), "apt-get install nginx-light"
        self.upstream_port = upstream_port
        self.http_port = free_port()
        self.https_port = free_port()
        self.dir = Path(tempfile.mkdtemp(prefix="tunara-nginx."))
        self.proc = None
        self.ca_file = None

    def start(self):
        os.chmod(self.dir, 0o777)
        ca_crt, crt, key = make_test_ca(self.dir)
        for path in (crt, key):
            os.chmod(path, 0o644)
        self.ca_file = install_ca(ca_crt)
        conf = self.dir / "nginx.conf"
        conf.write_text(config(self.dir, self.http_port, self.https_port, self.upstream_port, crt, key))
        demote = None
        if os.geteuid() == 0:
            user = pwd.getpwnam("nobody")

            def demote():
                os.setgroups([])
                os.setgid(user.pw_gid)
                os.setuid(user.pw_uid)
        self.proc = subprocess.Popen(["nginx", "-p", str(self.dir), "-e", str(self.dir / "error.log"), "-c", str(conf),
                                      "-g", "daemon off;"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, preexec_fn=demote)
        deadline = time.monotonic() + 10
        while not (self.dir / "nginx.pid").exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                log = self.dir / "error.log"
                self.stop()
                raise RuntimeError("nginx did not start: " + (log.read_text() if log.exists() else ""))
            time.sleep(0.05)
        return self

    def stop(self):
        end_all([self.proc])
        self.proc = None
        remove_ca(self.ca_file)
        self.ca_file = None
        shutil.rmtree(self.dir, ignore_errors=True)

    def access_log(self):
        log = self.dir / "access.log"
        return log.read_text() if log.exists() else ""

    def chunked(self, path):
        return f"http://127.0.0.1:{self.http_port}/chunked{path}"

    def tls(self, path):
        return f"https://localhost:{self.https_port}/tls{path}"

    def chain(self, path):
        return f"http://127.0.0.1:{self.http_port}/chain{path}"
