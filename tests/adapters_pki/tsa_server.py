#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""tsa_server.py FIXTURE_DIR PORT_FILE [PORT] -- timestamp authorities on loopback
for the signature-level tests: RFC 3161 over HTTP (a POST of
application/timestamp-query) answered by `openssl ts -reply` with the
fixture's tsa.cnf. The path picks the authority and how it misbehaves:

  /good        a proper token from "Cades Test TSA"
  /noncrit     the TSA certificate's timeStamping EKU is not critical
  /stranger    a TSA chaining to a root the adapter does not trust
  /reject      status rejection (the query's digest is not accepted)
  /error500    HTTP 500
  /imprint     a token over another imprint (one byte of the query changed)
  /nonce       a token echoing another nonce
  /slow        answers after 4 seconds
  /garbage     200 with bytes that are no timestamp response

GET /crl/intermediate.crl serves the intermediate's CRL, or HTTP 500 while
a file PORT_FILE.crl-down exists.

The port (PORT, else one the system chooses) is written to PORT_FILE once
listening. Each request is counted in PORT_FILE.hits (one path a line)."""
import http.server
import os
import subprocess
import sys
import tempfile
import time

FIXTURE = sys.argv[1]
PORT_FILE = sys.argv[2]


def reply(section, query):
    with tempfile.TemporaryDirectory() as work:
        q = os.path.join(work, "q.tsq")
        r = os.path.join(work, "r.tsr")
        with open(q, "wb") as f:
            f.write(query)
        subprocess.run(["openssl", "ts", "-reply", "-config", os.path.join(FIXTURE, "tsa.cnf"),
                        "-section", section, "-queryfile", q, "-out", r],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(r, "rb") as f:
            return f.read()


def der_sequence(body):
    n = len(body)
    if n < 0x80:
        head = bytes([n])
    elif n < 0x100:
        head = bytes([0x81, n])
    else:
        head = bytes([0x82, n >> 8, n & 0xFF])
    return b"\x30" + head + body


def resigned(cert, query):
    """A granted response whose token the given certificate signed: what
    `openssl ts -reply` refuses to make with a certificate whose
    timeStamping EKU is not critical. The proper token's TSTInfo, signed
    again with `openssl cms -sign -cades`."""
    good = reply("good", query)
    with tempfile.TemporaryDirectory() as work:
        r, token, info, out = (os.path.join(work, n) for n in ("r.tsr", "t.der", "i.der", "o.der"))
        with open(r, "wb") as f:
            f.write(good)
        quiet = {"check": True, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        subprocess.run(["openssl", "ts", "-reply", "-in", r, "-token_out", "-out", token], **quiet)
        subprocess.run(["openssl", "cms", "-verify", "-noverify", "-inform", "DER", "-in", token,
                        "-out", info], **quiet)
        subprocess.run(["openssl", "cms", "-sign", "-binary", "-nodetach", "-cades", "-md", "sha256",
                        "-econtent_type", "1.2.840.113549.1.9.16.1.4", "-in", info,
                        "-signer", os.path.join(FIXTURE, cert + ".crt"),
                        "-inkey", os.path.join(FIXTURE, cert + ".key"),
                        "-certfile", os.path.join(FIXTURE, "tsa-chain.pem"),
                        "-outform", "DER", "-out", out], **quiet)
        with open(out, "rb") as f:
            signed = f.read()
    return der_sequence(b"\x30\x03\x02\x01\x00" + signed)


def imprint_at(query):
    """Offset of the 32-byte SHA-256 imprint in a query (after its algorithm)."""
    at = query.find(b"\x04\x20")
    if at < 0:
        raise ValueError("no SHA-256 imprint")
    return at + 2


def changed_imprint(query):
    q = bytearray(query)
    q[imprint_at(query) + 31] ^= 0x01
    return bytes(q)


def changed_nonce(query):
    # The nonce INTEGER follows the imprint (the tests ask for no policy).
    at = imprint_at(query) + 32
    if query[at] != 0x02:
        raise ValueError("no nonce after the imprint")
    q = bytearray(query)
    q[at + 1 + query[at + 1]] ^= 0x01
    return bytes(q)


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def send(self, status, body, kind="application/timestamp-reply"):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(PORT_FILE + ".hits", "a") as hits:
            hits.write(self.path + "\n")
        if self.path == "/crl/intermediate.crl" and not os.path.exists(PORT_FILE + ".crl-down"):
            with open(os.path.join(FIXTURE, "intermediate.crl"), "rb") as f:
                self.send(200, f.read(), "application/pkix-crl")
        else:
            self.send(500 if self.path.startswith("/crl/") else 404, b"no", "text/plain")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        query = self.rfile.read(length) if 0 < length < 65536 else b""
        with open(PORT_FILE + ".hits", "a") as hits:
            hits.write(self.path + "\n")
        try:
            if self.path == "/good":
                self.send(200, reply("good", query))
            elif self.path == "/noncrit":
                self.send(200, resigned("tsa-noncrit", query))
            elif self.path == "/stranger":
                self.send(200, reply("stranger", query))
            elif self.path == "/reject":
                self.send(200, reply("sha512only", query))
            elif self.path == "/error500":
                self.send(500, b"broken", "text/plain")
            elif self.path == "/imprint":
                self.send(200, reply("good", changed_imprint(query)))
            elif self.path == "/nonce":
                self.send(200, reply("good", changed_nonce(query)))
            elif self.path == "/slow":
                time.sleep(4)
                self.send(200, reply("good", query))
            elif self.path == "/garbage":
                self.send(200, b"\x30\x03\x02\x01\x07 not a response")
            else:
                self.send(404, b"no such authority", "text/plain")
        except (subprocess.CalledProcessError, ValueError, OSError):
            self.send(500, b"failed", "text/plain")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


server = Server(("127.0.0.1", int(sys.argv[3]) if len(sys.argv) > 3 else 0), Handler)
with open(PORT_FILE + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(PORT_FILE + ".tmp", PORT_FILE)
server.serve_forever()
