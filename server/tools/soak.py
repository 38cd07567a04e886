#!/usr/bin/python3
"""Soak for nbserver: many concurrent clients mix every endpoint while the
server is killed with SIGKILL at random moments and restarted on the same data
folder and ports. After each restart (clients held) the data folder is checked:
every version's blob is present with its SHA-256, and no blob is unreferenced.
At the end every file a client knows of is downloaded and compared.

  soak.py --server build/server/nbserver [--clients 200] [--seconds 60] [--kills 10]

Prints one summary line and exits non-zero on any error, loss or inconsistency.
A request cut off by a kill is not an error; its outcome is settled afterwards
(the file holds either its old or its new content, never anything else).
"""
import argparse
import hashlib
import os
import random
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

import requests
import urllib3.util.connection
from requests_oauthlib import OAuth1

API = "http://api.nimbus.test"
CONTENT = "http://content.nimbus.test"
CONVERT = "http://convert.nimbus.test"
WEB = "https://www.nimbus.test"

ROUTES = {}
_create_connection = urllib3.util.connection.create_connection


def _routed(address, *args, **kwargs):
    return _create_connection(ROUTES.get(address, address), *args, **kwargs)


urllib3.util.connection.create_connection = _routed


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Server:
    def __init__(self, binary, data):
        self.binary, self.data = binary, data
        self.port, self.tls_port = free_port(), free_port()
        self.process = None
        self.env = {}

    def start(self):
        out = open(os.path.join(self.data, "..", "server.out"), "w")
        self.process = subprocess.Popen(
            [self.binary, "--data", self.data, "--dev", "--port", str(self.port),
             "--tls-port", str(self.tls_port)], stdout=subprocess.PIPE, stderr=out, text=True)
        env = {}
        for line in self.process.stdout:
            name, _, value = line.strip()[len("export "):].partition("=")
            env[name] = value.strip("'")
            if name == "NB_DEV_VERIFICATION_CODE":
                break
        if "NB_CONNECT_TO" not in env:
            raise RuntimeError("the server did not start")
        self.env = env
        for item in env["NB_CONNECT_TO"].split(","):
            host, port, real_host, real_port = item.split(":")
            ROUTES[(host, int(port))] = (real_host, int(real_port))

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def stop(self):
        self.process.terminate()
        self.process.wait()

    def command(self, *args):
        subprocess.run([self.binary, *args, "--data", self.data], check=True,
                       stdout=subprocess.DEVNULL)


def consistency(data):
    """Problems between metadata.db and blobs/ (an empty list when clean)."""
    problems = []
    db = sqlite3.connect("file:%s?mode=ro" % os.path.join(data, "metadata.db"), uri=True)
    # A copy reference keeps the content it was made for, even once that
    # version is pruned.
    versions = db.execute(
        "SELECT blob, size FROM versions UNION SELECT blob, size FROM copy_refs "
        "WHERE blob IS NOT NULL AND created >= strftime('%s', 'now') - 30 * 86400").fetchall()
    entries = db.execute("SELECT blob, size FROM entries WHERE is_dir = 0").fetchall()
    db.close()
    referenced = set()
    for blob, size in versions:
        referenced.add(blob)
        path = os.path.join(data, "blobs", blob[:2], blob)
        try:
            with open(path, "rb") as f:
                content = f.read()
        except OSError:
            problems.append("missing blob " + blob)
            continue
        if hashlib.sha256(content).hexdigest() != blob or len(content) != size:
            problems.append("corrupt blob " + blob)
    for blob, _ in entries:
        if blob not in referenced:
            problems.append("entry without a version: " + blob)
    for shard in os.listdir(os.path.join(data, "blobs")):
        for name in os.listdir(os.path.join(data, "blobs", shard)):
            if name not in referenced:
                problems.append("unreferenced blob " + name)
    return problems


class Client(threading.Thread):
    """One user working in its own folder, keeping a model of what it stored."""

    def __init__(self, index, consumer, soak):
        super().__init__(daemon=True)
        self.index, self.consumer, self.soak = index, consumer, soak
        self.name_ = "soak%d" % index
        self.folder = "/w"
        self.files = {}        # path -> sha256 of the content stored
        self.uncertain = {}    # path -> set of possible sha256 (None: absent)
        self.operations = 0
        self.errors = []
        self.session = requests.Session()
        self.auth = None
        self.rng = random.Random(index)

    def call(self, method, url, **kwargs):
        retried = False
        while True:
            self.soak.enter()
            try:
                response = self.session.request(method, url, auth=self.auth, timeout=60,
                                                **kwargs)
                # A reply cut off by a kill can come back short of its length
                # without an error from the HTTP client.
                declared = response.headers.get("Content-Length")
                if (self.soak.killing and declared is not None and
                        int(declared) != len(response.content)):
                    return None
                return response
            except requests.RequestException:
                if self.soak.killing:
                    return None  # cut off by a kill: the caller settles the outcome
                # A kept-alive connection the server closed as it went idle:
                # HTTP clients send once more on a new connection, as this one.
                if retried:
                    raise
                retried = True
                self.session.close()
                self.session = requests.Session()
            finally:
                self.soak.leave()

    def error(self, what, response):
        text = "(no reply)" if response is None else "%d %s" % (response.status_code,
                                                               response.text[:120])
        self.errors.append("%s: %s: %s" % (self.name_, what, text))

    def login(self):
        self.auth = OAuth1(self.consumer[0], self.consumer[1])
        while True:
            response = self.call("POST", API + "/open/xAccessToken",
                                 params={"x_auth_username": self.name_,
                                         "x_auth_mode": "client_auth"},
                                 data={"x_auth_password": "pass"})
            if response is not None:
                break
        body = response.json()
        self.auth = OAuth1(self.consumer[0], self.consumer[1], body["oauth_token"],
                           body["oauth_token_secret"])

    def upload(self, path, content, overwrite):
        digest = hashlib.sha256(content).hexdigest()
        before = self.files.get(path)
        response = self.call("POST", CONTENT + "/1/fileops/upload_file",
                             params={"root": "app", "path": path,
                                     "overwrite": "True" if overwrite else "False"},
                             files={"file": ("f", content, "application/octet-stream")})
        if response is None:
            self.uncertain.setdefault(path, {before}).add(digest)
        elif response.status_code == 200:
            self.files[path] = digest
        else:
            self.error("upload " + path, response)

    def op(self):
        rng = self.rng
        names = sorted(self.files)
        choice = rng.random()
        if choice < 0.30 or not names:
            size = rng.choice([0, 10, 1000, 30000, 200000])
            self.upload("%s/f%d" % (self.folder, rng.randrange(40)), os.urandom(size), True)
        elif choice < 0.50:
            path = rng.choice(names)
            response = self.call("GET", CONTENT + "/1/fileops/download_file",
                                 params={"root": "app", "path": path})
            if response is not None and (response.status_code != 200 or hashlib.sha256(
                    response.content).hexdigest() != self.files[path]):
                self.error("download " + path, response)
        elif choice < 0.60:
            response = self.call("GET", API + "/1/metadata/app" + self.folder,
                                 params={"list": "True"})
            if response is not None and response.status_code != 200:
                self.error("metadata", response)
        elif choice < 0.68:
            path = rng.choice(names)
            target = "%s/m%d" % (self.folder, rng.randrange(1000000))
            response = self.call("GET", API + "/1/fileops/move",
                                 params={"root": "app", "from_path": path, "to_path": target})
            if response is None:
                self.uncertain.setdefault(path, set()).update({self.files[path], None})
                self.uncertain.setdefault(target, set()).update({self.files[path], None})
                del self.files[path]
            elif response.status_code == 200:
                self.files[target] = self.files.pop(path)
            else:
                self.error("move", response)
        elif choice < 0.75:
            path = rng.choice(names)
            target = "%s/c%d" % (self.folder, rng.randrange(1000000))
            response = self.call("GET", API + "/1/fileops/copy",
                                 params={"root": "app", "from_path": path, "to_path": target})
            if response is None:
                self.uncertain.setdefault(target, set()).update({self.files[path], None})
            elif response.status_code == 200:
                self.files[target] = self.files[path]
            else:
                self.error("copy", response)
        elif choice < 0.82:
            path = rng.choice(names)
            response = self.call("GET", API + "/1/fileops/delete",
                                 params={"root": "app", "path": path})
            if response is None:
                self.uncertain.setdefault(path, set()).update({self.files[path], None})
                del self.files[path]
            elif response.status_code == 200:
                del self.files[path]
            else:
                self.error("delete", response)
        elif choice < 0.87:
            path = rng.choice(names)
            response = self.call("GET", API + "/1/history/app" + path)
            if response is not None and response.status_code != 200:
                self.error("history", response)
        elif choice < 0.92:
            path = rng.choice(names)
            response = self.call("GET", API + "/1/shares/app" + path)
            if response is not None:
                if response.status_code != 200:
                    self.error("share", response)
                else:
                    page = self.call("GET", "%s/s/%s" % (WEB, response.json()["share_id"]))
                    if page is not None and page.status_code not in (200, 404):
                        self.error("share page", page)
        elif choice < 0.96:
            path = rng.choice(names)
            response = self.call("GET", API + "/1/copy_ref/app" + path)
            if response is not None and response.status_code != 200:
                self.error("copy_ref", response)
        else:
            response = self.call("GET", API + "/1/account_info")
            if response is not None and response.status_code != 200:
                self.error("account_info", response)
        self.operations += 1

    def settle(self):
        """Looks at every uncertain path: it must hold one of its possible contents."""
        for path, possible in list(self.uncertain.items()):
            response = self.call("GET", CONTENT + "/1/fileops/download_file",
                                 params={"root": "app", "path": path})
            if response is None:
                continue
            found = hashlib.sha256(response.content).hexdigest() \
                if response.status_code == 200 else None
            if response.status_code not in (200, 404) or found not in possible:
                self.error("settle " + path, response)
            elif found is None:
                self.files.pop(path, None)
            else:
                self.files[path] = found
            del self.uncertain[path]

    def run(self):
        try:
            self.login()
            while True:  # until the folder is there (a kill may cut the first try)
                made = self.call("GET", API + "/1/fileops/create_folder",
                                 params={"root": "app", "path": self.folder})
                if made is not None and made.status_code in (200, 403):
                    break
            while not self.soak.over:
                if self.uncertain:
                    self.settle()  # before anything else touches those paths
                else:
                    self.op()
        except Exception as e:  # noqa: BLE001 - any failure is the soak's finding
            self.errors.append("%s: %r" % (self.name_, e))

    def verify(self):
        self.settle()
        lost = 0
        for path, digest in self.files.items():
            response = self.call("GET", CONTENT + "/1/fileops/download_file",
                                 params={"root": "app", "path": path})
            if response is None or response.status_code != 200 or \
                    hashlib.sha256(response.content).hexdigest() != digest:
                lost += 1
                self.error("lost " + path, response)
        return lost


class Soak:
    """Holds the clients while the server is down and being checked: no request
    is in flight from the kill until the clients are let go again."""

    def __init__(self):
        self.cond = threading.Condition()
        self.running = True
        self.killing = False
        self.active = 0
        self.over = False

    def enter(self):
        with self.cond:
            self.cond.wait_for(lambda: self.running)
            self.active += 1

    def leave(self):
        with self.cond:
            self.active -= 1
            self.cond.notify_all()

    def hold(self):
        with self.cond:
            self.running = False
            self.killing = True

    def drained(self):
        with self.cond:
            self.cond.wait_for(lambda: self.active == 0)

    def release(self):
        with self.cond:
            self.running = True
            self.killing = False
            self.cond.notify_all()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--kills", type=int, default=10)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="nbserver-soak-")
    data = os.path.join(work, "data")
    server = Server(args.server, data)
    os.makedirs(data)
    try:
        server.start()
        for i in range(args.clients):
            server.command("user", "add", "soak%d" % i, "pass")
        consumer = (server.env["NB_CONSUMER_KEY"], server.env["NB_CONSUMER_SECRET"])
        global WEB
        WEB = "https://www.nimbus.test"
        os.environ["REQUESTS_CA_BUNDLE"] = server.env["NB_CA_FILE"]
        soak = Soak()
        clients = [Client(i, consumer, soak) for i in range(args.clients)]
        for c in clients:
            c.start()

        moments = sorted(random.uniform(1, args.seconds - 1) for _ in range(args.kills))
        start = time.time()
        inconsistent = []
        for moment in moments:
            time.sleep(max(0, start + moment - time.time()))
            soak.hold()
            server.kill()
            soak.drained()
            server.start()  # sweeps what the kill left
            inconsistent += consistency(data)
            soak.release()
        time.sleep(max(0, start + args.seconds - time.time()))
        soak.over = True
        for c in clients:
            c.join(60)
        lost = sum(c.verify() for c in clients)
        server.stop()
        inconsistent += consistency(data)
        errors = [e for c in clients for e in c.errors]
        operations = sum(c.operations for c in clients)
        print("soak: %d clients, %.0f s, %d kills, %d operations, %d errors, %d lost, "
              "%d inconsistencies" % (args.clients, args.seconds, args.kills, operations,
                                      len(errors), lost, len(inconsistent)))
        for line in (inconsistent + errors)[:20]:
            print("  " + line)
        return 0 if not errors and not lost and not inconsistent and operations > 0 else 1
    finally:
        if server.process and server.process.poll() is None:
            server.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
