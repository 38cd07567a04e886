#!/usr/bin/python3
"""A misbehaving HTTP(S) server for the fault tests.

Every fault has its own pair of loopback ports, one plain and one TLS, so that
a test picks the fault by where it points NB_CONNECT_TO. Started with
  fault_server.py FOLDER HOST...
it makes two certificate authorities with openssl in FOLDER, writes the one
the client is to trust as FOLDER/trusted-ca.pem, and gives its TLS ports a
certificate for the HOSTs from that authority, except for the "other_ca"
fault, whose certificate the other authority signed. It then prints one line
  fault plain_port tls_port
per fault, then "ready", and serves until its standard input closes.
"""

import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

# Past the library's 64 MiB bound on replies kept in memory; FAULT_HUGE_BYTES changes it.
HUGE_BYTES = int(os.environ.get("FAULT_HUGE_BYTES", 65 * 1024 * 1024))
TRICKLE_BODY = b"[1]"  # sent one byte a second


def read_request(conn):
    """Reads the request head and any body it announces; returns (target, host)."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None, None
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ")
    target = parts[1] if len(parts) > 1 else "/"
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0") or 0)
    while len(rest) < length:
        chunk = conn.recv(min(65536, length - len(rest)))
        if not chunk:
            break
        rest += chunk
    return target, headers.get("host", "")


def status_reply(code, reason):
    body = ("<html><body><h1>%d %s</h1></body></html>" % (code, reason)).encode()
    return b"HTTP/1.1 %d %s\r\nContent-Type: text/html\r\nContent-Length: %d\r\n" \
           b"Connection: close\r\n\r\n%s" % (code, reason.encode(), len(body), body)


def send_json(conn, value):
    body = json.dumps(value).encode()
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                 b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body))


def listing_request(target):
    """The folder path and the page a listing request (/1/metadata/ROOT/PATH) asks for."""
    url = urllib.parse.urlsplit(target)
    _, _, path = url.path.partition("/1/metadata/")[2].partition("/")
    page = int(urllib.parse.parse_qs(url.query).get("page", ["0"])[0])
    return "/" + urllib.parse.unquote(path).strip("/"), page


def entry(path, folder, file_id):
    time_text = "Thu, 10 Dec 2026 15:33:59 +0000"
    return {"root": "app", "path": path, "name": path.rsplit("/", 1)[-1], "file_id": file_id,
            "rev": "1", "type": "folder" if folder else "file", "size": 0 if folder else 1,
            "create_time": time_text, "modify_time": time_text, "is_deleted": False}


def loop_listing(target):
    """Every folder holds a folder "x", for ever; below /same each one has the id
    of the folder above it."""
    path, page = listing_request(target)
    def folder_id(p):
        return "same" if p.startswith("/same") else "id" + p
    inner = path.rstrip("/") + "/x"
    reply = entry(path, True, folder_id(path))
    reply["files"] = [] if page > 0 else [entry(inner, True, folder_id(inner))]
    return reply


def endless_listing(target):
    """Full pages of files that never end; below /wide each page holds 1,500
    entries, more than a page may."""
    path, page = listing_request(target)
    count = 1500 if path.startswith("/wide") else 1000
    reply = entry(path, True, "id" + path)
    prefix = path.rstrip("/") + "/f%d-" % page
    reply["files"] = [entry(prefix + str(i), False, "f%d-%d" % (page, i)) for i in range(count)]
    return reply


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def wait_for_close(conn, stopping):
    conn.settimeout(0.2)
    while not stopping.is_set():
        try:
            if not conn.recv(65536):
                return
        except socket.timeout:
            continue
        except OSError:
            return


def serve(fault, conn, tls, stopping):
    target, host = read_request(conn)
    if target is None:
        return
    if fault == "silent":
        wait_for_close(conn, stopping)
    elif fault == "reset":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"msg\":\"o")
        reset(conn)
    elif fault == "short_body":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"msg\":\"ok\"}")
    elif fault == "trickle":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(TRICKLE_BODY))
        for byte in TRICKLE_BODY:
            if stopping.wait(1.0):
                return
            conn.sendall(bytes([byte]))
    elif fault in ("status_500", "status_502", "status_503"):
        code = int(fault[-3:])
        reason = {500: "Internal Server Error", 502: "Bad Gateway",
                  503: "Service Unavailable"}[code]
        conn.sendall(status_reply(code, reason))
    elif fault == "bad_json":
        body = b'{"msg":"ok","size":12,"contents":[{"path":"/a",'
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                     b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
    elif fault == "huge":
        # FAULT_HUGE_UNDECLARED=1 leaves the length out: the body ends when the
        # connection closes.
        length = b"" if os.environ.get("FAULT_HUGE_UNDECLARED") else \
            b"Content-Length: %d\r\n" % HUGE_BYTES
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n%s"
                     b"Connection: close\r\n\r\n" % length)
        block = b"[" * (1 << 20)
        sent = 0
        while sent < HUGE_BYTES and not stopping.is_set():
            conn.sendall(block)
            sent += len(block)
    elif fault == "no_body":
        conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")
    elif fault == "redirect_loop":
        conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n"
                     b"Connection: close\r\n\r\n"
                     % target.encode())
    elif fault == "redirect_away":
        conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: http://elsewhere.invalid%s\r\n"
                     b"Content-Length: 0\r\nConnection: close\r\n\r\n" % target.encode())
    elif fault == "bad_length":
        # A length past 64 bits, then a short body and the close.
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n"
                     b"Connection: close\r\n\r\n[1,2,3,45]")
    elif fault == "endless_chunked":
        # A body that announces no length and never ends.
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        chunk = b"%x\r\n%s\r\n" % (1 << 16, b"x" * (1 << 16))
        while not stopping.is_set():
            conn.sendall(chunk)
    elif fault == "listing_loop":
        send_json(conn, loop_listing(target))
    elif fault == "endless_pages":
        send_json(conn, endless_listing(target))
    elif fault == "other_ca":
        # Plain requests are sent on to the TLS port, whose certificate no
        # trusted authority signed.
        name = host.rsplit(":", 1)[0] if host.count(":") == 1 else host
        conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: https://%s%s\r\n"
                     b"Content-Length: 0\r\nConnection: close\r\n\r\n"
                     % (name.encode(), target.encode()))


def handle(fault, conn, context, stopping):
    try:
        if context is not None:
            conn.settimeout(10)
            conn = context.wrap_socket(conn, server_side=True)
            conn.settimeout(None)
        serve(fault, conn, context is not None, stopping)
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


FAULTS = ["refused", "silent", "reset", "short_body", "trickle", "status_500", "status_502",
          "status_503", "bad_json", "huge", "no_body", "redirect_loop", "redirect_away",
          "bad_length", "other_ca", "endless_chunked", "listing_loop", "endless_pages"]


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_certificate(folder, ca, hosts):
    """A certificate authority named `ca` and a server certificate it signed;
    returns the server certificate's context."""
    key = os.path.join(folder, ca + "-key.pem")
    cert = os.path.join(folder, ca + ".pem")
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + ca,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    server_key = os.path.join(folder, ca + "-server-key.pem")
    request = os.path.join(folder, ca + "-server.csr")
    server_cert = os.path.join(folder, ca + "-server.pem")
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", server_key, "-out", request, "-subj", "/CN=" + hosts[0])
    extensions = os.path.join(folder, ca + "-server.ext")
    with open(extensions, "w") as f:
        f.write("subjectAltName=" + ",".join("DNS:" + h for h in hosts) + "\n")
    openssl("x509", "-req", "-in", request, "-CA", cert, "-CAkey", key, "-CAcreateserial",
            "-out", server_cert, "-days", "2", "-extfile", extensions)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(server_cert, server_key)
    return context


def main():
    folder, hosts = sys.argv[1], sys.argv[2:]
    trusted = make_certificate(folder, "trusted-ca", hosts)
    other = make_certificate(folder, "other-ca", hosts)
    stopping = threading.Event()
    sockets = []
    for fault in FAULTS:
        ports = []
        for tls in (False, True):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind(("127.0.0.1", 0))
            # A bound socket that never listens refuses every connection, and
            # keeps its port from being taken by anyone else meanwhile.
            if fault != "refused":
                s.listen(128)
                context = (other if fault == "other_ca" else trusted) if tls else None
                threading.Thread(target=accept_loop, args=(fault, s, context, stopping),
                                 daemon=True).start()
            sockets.append(s)
            ports.append(s.getsockname()[1])
        print(fault, ports[0], ports[1])
    print("ready", flush=True)
    sys.stdin.read()  # the test holds the other end; EOF means it is gone
    stopping.set()


def accept_loop(fault, listener, context, stopping):
    while not stopping.is_set():
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=handle, args=(fault, conn, context, stopping),
                         daemon=True).start()


if __name__ == "__main__":
    main()
