"""Drives a running nbserver with an OAuth 1.0 client that is not ours
(python3-requests-oauthlib), so the emulator's verification is checked against
an independent signer. Run by nbserver_oauth_client_test with a scenario name;
exits non-zero with a message on the first failed check.

Environment: the server's export lines (NB_CONNECT_TO, NB_CA_FILE,
NB_CONSUMER_KEY, NB_CONSUMER_SECRET), NB_SERVER_BINARY and NB_SERVER_DATA.
"""
import os
import subprocess
import sys
import time

import requests
import urllib3.util.connection
from requests_oauthlib import OAuth1

API = "api.nimbus.test"
CONTENT = "content.nimbus.test"
WEB = "www.nimbus.test"
KEY = os.environ["NB_CONSUMER_KEY"]
SECRET = os.environ["NB_CONSUMER_SECRET"]
CA = os.environ["NB_CA_FILE"]

# Send the service's host names to the emulator, as curl's --connect-to does.
ROUTES = {}
for item in os.environ["NB_CONNECT_TO"].split(","):
    host, port, real_host, real_port = item.split(":")
    ROUTES[(host, int(port))] = (real_host, int(real_port))
_create_connection = urllib3.util.connection.create_connection


def _routed(address, *args, **kwargs):
    return _create_connection(ROUTES.get(address, address), *args, **kwargs)


urllib3.util.connection.create_connection = _routed


def check(condition, message):
    if not condition:
        print("FAILED: " + message, file=sys.stderr)
        sys.exit(1)


def expect_refusal(response, status, keyword, what):
    body = response.json() if response.headers.get("Content-Type", "").startswith(
        "application/json") else {}
    check(response.status_code == status and body.get("msg") == keyword,
          "%s: wanted %d %r, got %d %s" % (what, status, keyword, response.status_code,
                                           response.text[:200]))


def login(name, password, signature_type="query"):
    auth = OAuth1(KEY, SECRET, signature_type=signature_type)
    response = requests.post(
        "https://%s/open/xAccessToken" % API,
        params={"x_auth_username": name, "x_auth_mode": "client_auth"},
        data={"x_auth_password": password}, auth=auth, verify=CA)
    check(response.status_code == 200, "xAuth login of %s: %s" % (name, response.text))
    body = response.json()
    return body["oauth_token"], body["oauth_token_secret"]


def session_auth(token, **kwargs):
    return OAuth1(KEY, SECRET, token[0], token[1], **kwargs)


def upload(token, path, content, overwrite=False):
    located = requests.get("http://%s/1/fileops/upload_locate" % CONTENT,
                           auth=session_auth(token))
    check(located.status_code == 200 and "url" in located.json(),
          "upload_locate: " + located.text)
    return requests.post(located.json()["url"] + "/1/fileops/upload_file",
                         params={"root": "app", "path": path,
                                 "overwrite": "True" if overwrite else "False"},
                         files={"file": (os.path.basename(path), content,
                                         "application/octet-stream")},
                         auth=session_auth(token))


def scenario_files():
    token = login("alice", "alice pass &=+")
    for signature_type in ("auth_header", "query"):
        info = requests.get("http://%s/1/account_info" % API,
                            auth=session_auth(token, signature_type=signature_type))
        check(info.status_code == 200, "account_info (%s): %s" % (signature_type, info.text))
        body = info.json()
        check(body["user_name"] == "alice" and isinstance(body["user_id"], int),
              "account_info identity: " + info.text)
        for field in ("max_file_size", "quota_total", "quota_used"):
            check(isinstance(body[field], int), "account_info %s: %s" % (field, info.text))

    folder = requests.get("http://%s/1/fileops/create_folder" % API,
                          params={"root": "app", "path": "/docs dir"}, auth=session_auth(token))
    check(folder.status_code == 200, "create_folder: " + folder.text)
    check(folder.json()["path"] == "/docs dir" and folder.json()["file_id"],
          "create_folder reply: " + folder.text)

    content = bytes(range(256)) * 1000 + "ünïcødé".encode()
    stored = upload(token, "/docs dir/report 1.bin", content)
    check(stored.status_code == 200, "upload_file: " + stored.text)
    check(stored.json()["size"] == len(content) and "url" not in stored.json(),
          "upload_file reply: " + stored.text)

    listing = requests.get("http://%s/1/metadata/app/%%2Fdocs%%20dir" % API,
                           params={"list": "True", "page": "0", "page_size": "20"},
                           auth=session_auth(token))
    check(listing.status_code == 200, "metadata: " + listing.text)
    names = [f["name"] for f in listing.json()["files"]]
    check(names == ["report 1.bin"], "metadata files: " + listing.text)
    check(listing.json()["files"][0]["type"] == "file", "metadata type: " + listing.text)

    # The same calls over HTTPS are signed with the https scheme.
    root = requests.get("https://%s/1/metadata/app" % API, params={"list": "True"},
                        auth=session_auth(token), verify=CA)
    check(root.status_code == 200 and root.json()["files"][0]["name"] == "docs dir",
          "metadata over https: " + root.text)

    download = requests.get("http://%s/1/fileops/download_file" % CONTENT,
                            params={"root": "app", "path": "/docs dir/report 1.bin"},
                            auth=session_auth(token))
    check(download.status_code == 200 and download.content == content,
          "download_file: status %d, %d bytes" % (download.status_code, len(download.content)))
    check(download.headers.get("Content-Length") == str(len(content)),
          "download Content-Length: %r" % download.headers.get("Content-Length"))


def scenario_refusals():
    alice = login("alice", "alice pass &=+")
    bob = login("bob", "bob-pass", signature_type="body")
    secret_file = upload(bob, "/secret.txt", b"bob's secret")
    check(secret_file.status_code == 200, "bob's upload: " + secret_file.text)

    info_url = "http://%s/1/account_info" % API
    now = int(time.time())
    fixed_nonce = "nonce-used-twice-%d" % now
    requests.get(info_url, auth=session_auth(alice, nonce=fixed_nonce))

    revoked = login("alice", "alice pass &=+")
    status = subprocess.run([os.environ["NB_SERVER_BINARY"], "token", "revoke", "--data",
                             os.environ["NB_SERVER_DATA"], revoked[0]], check=False)
    check(status.returncode == 0, "nbserver token revoke failed")

    cases = [
        ("wrong signature", info_url, OAuth1(KEY, SECRET + "x", alice[0], alice[1]), {},
         401, "bad signature"),
        ("wrong token secret", info_url, OAuth1(KEY, SECRET, alice[0], "nope"), {},
         401, "bad signature"),
        ("expired timestamp", info_url, session_auth(alice, timestamp=str(now - 3600)), {},
         401, "request expired"),
        ("timestamp from the future", info_url, session_auth(alice, timestamp=str(now + 3600)),
         {}, 401, "request expired"),
        ("replayed nonce", info_url, session_auth(alice, nonce=fixed_nonce), {},
         401, "reused nonce"),
        ("unknown consumer", info_url, OAuth1("no-such-key", SECRET, alice[0], alice[1]), {},
         401, "bad consumer key"),
        ("unknown token", info_url, OAuth1(KEY, SECRET, "feedface", "secret"), {},
         401, "authorization expired"),
        ("revoked token", info_url, session_auth(revoked), {}, 401, "authorization expired"),
        ("no token", info_url, OAuth1(KEY, SECRET), {}, 401, "bad request"),
        ("another user's file", "http://%s/1/fileops/download_file" % CONTENT,
         session_auth(alice), {"root": "app", "path": "/secret.txt"}, 404, "file not exist"),
        ("another user's metadata", "http://%s/1/metadata/app/%%2Fsecret.txt" % API,
         session_auth(alice), {}, 404, "file not exist"),
        ("parent traversal", "http://%s/1/fileops/create_folder" % API, session_auth(alice),
         {"root": "app", "path": "/../outside"}, 400, "bad parameters"),
        ("deep traversal", "http://%s/1/fileops/download_file" % CONTENT, session_auth(alice),
         {"root": "app", "path": "/a/../../../etc/passwd"}, 400, "bad parameters"),
        ("traversal in the url", "http://%s/1/metadata/app/%%2F..%%2F..%%2Fetc" % API,
         session_auth(alice), {}, 400, "bad parameters"),
        ("NUL in a name", "http://%s/1/fileops/create_folder" % API, session_auth(alice),
         {"root": "app", "path": "/a\x00b"}, 400, "bad parameters"),
        ("overlong name", "http://%s/1/fileops/create_folder" % API, session_auth(alice),
         {"root": "app", "path": "/" + "n" * 256}, 400, "bad parameters"),
        ("root with a slash", "http://%s/1/fileops/create_folder" % API, session_auth(alice),
         {"root": "../app", "path": "/x"}, 400, "bad parameters"),
    ]
    for what, url, auth, params, status, keyword in cases:
        expect_refusal(requests.get(url, params=params, auth=auth), status, keyword, what)

    # Bob's share with an access code: only the right code opens it.
    share = requests.get("http://%s/1/shares/app/%%2Fsecret.txt" % API,
                         params={"root": "app", "path": "/secret.txt", "access_code": "1234",
                                 "name": "for alice"}, auth=session_auth(bob))
    check(share.status_code == 200 and share.json()["url"].startswith("https://%s/s/" % WEB),
          "share link: " + share.text)
    link = share.json()["url"]
    for code, status in ((None, 401), ("0000", 403), ("1234", 200)):
        page = requests.get(link, params={"access_code": code} if code else {}, verify=CA)
        check(page.status_code == status, "share page with code %r: %d" % (code, page.status_code))
    check(page.content == b"bob's secret", "share page content: %r" % page.content[:50])


SCENARIOS = {"files": scenario_files, "refusals": scenario_refusals}

if __name__ == "__main__":
    SCENARIOS[sys.argv[1]]()
    print("ok")
