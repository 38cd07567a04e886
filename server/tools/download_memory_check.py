#!/usr/bin/python3
"""Checks that nbserver streams large files: uploads and downloads a file of
the given size (default 1 GiB) with curl and reports the server's peak
resident memory (VmHWM) after start, after the upload and after the download.

Usage: server/tools/download_memory_check.py BUILD/server/nbserver [SIZE_MIB]
Needs curl and python3-requests-oauthlib (for signing only).
"""
import json
import os
import subprocess
import sys
import tempfile
import time

from oauthlib.oauth1 import Client, SIGNATURE_TYPE_QUERY


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def main():
    binary = sys.argv[1]
    size_mib = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
    with tempfile.TemporaryDirectory() as work:
        data = os.path.join(work, "data")
        server = subprocess.Popen([binary, "--port", "0", "--tls-port", "0", "--data", data,
                                   "--dev"], stdout=subprocess.PIPE, text=True)
        env = {}
        while len(env) < 5:
            name, value = server.stdout.readline().strip()[len("export "):].split("=", 1)
            env[name] = value.strip("'")
        try:
            subprocess.run([binary, "user", "add", "--data", data, "mem", "mem-pass",
                            "--quota", str(4 << 30), "--max-file-size", str(2 << 30)], check=True)
            connect = []
            for item in env["NB_CONNECT_TO"].split(","):
                connect += ["--connect-to", item]
            key, secret = env["NB_CONSUMER_KEY"], env["NB_CONSUMER_SECRET"]

            def signed(url, method, token=None):
                client = Client(key, secret, token[0] if token else None,
                                token[1] if token else None, signature_type=SIGNATURE_TYPE_QUERY)
                return client.sign(url, http_method=method)[0]

            login = signed("http://api.nimbus.test/open/xAccessToken?x_auth_username=mem"
                           "&x_auth_mode=client_auth&x_auth_password=mem-pass", "POST")
            reply = subprocess.run(["curl", "-sS", "-d", ""] + connect + [login],
                                   capture_output=True, text=True, check=True).stdout
            token = json.loads(reply)
            token = (token["oauth_token"], token["oauth_token_secret"])

            source = os.path.join(work, "big.bin")
            with open(source, "wb") as out:
                block = os.urandom(1 << 20)
                for _ in range(size_mib):
                    out.write(block)
            start_rss = peak_rss_kib(server.pid)

            begin = time.time()
            upload = signed("http://content.nimbus.test/1/fileops/upload_file?root=app"
                            "&path=%2Fbig.bin&overwrite=False", "POST", token)
            result = subprocess.run(["curl", "-sS", "-X", "POST", "-T", source, "-H",
                                     "Content-Type: application/octet-stream"] + connect +
                                    [upload], capture_output=True, text=True, check=True).stdout
            upload_seconds = time.time() - begin
            assert '"size":%d' % (size_mib << 20) in result, result
            upload_rss = peak_rss_kib(server.pid)

            begin = time.time()
            download = signed("http://content.nimbus.test/1/fileops/download_file?root=app"
                              "&path=%2Fbig.bin", "GET", token)
            received = subprocess.run(["curl", "-sS", "-o", os.path.join(work, "copy.bin"),
                                       "-w", "%{size_download}"] + connect + [download],
                                      capture_output=True, text=True, check=True).stdout
            download_seconds = time.time() - begin
            download_rss = peak_rss_kib(server.pid)
            same = subprocess.run(["cmp", source, os.path.join(work, "copy.bin")]).returncode == 0
        finally:
            server.terminate()
            server.wait()

    print("file size            %8d MiB" % size_mib)
    print("peak RSS after start %8d KiB" % start_rss)
    print("peak RSS after upload   %5d KiB  (%.1f s)" % (upload_rss, upload_seconds))
    print("peak RSS after download %5d KiB  (%.1f s, %s bytes, identical: %s)"
          % (download_rss, download_seconds, received, same))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
