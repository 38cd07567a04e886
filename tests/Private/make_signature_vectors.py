#!/usr/bin/python3
"""Writes signature_vectors.tsv: OAuth 1.0 HMAC-SHA1 signatures computed by
python3-oauthlib (Debian), an implementation independent of ours, for a table
of requests with fixed nonce and timestamp. Run with Debian's /usr/bin/python3:

    /usr/bin/python3 tests/Private/make_signature_vectors.py > tests/Private/signature_vectors.tsv

Columns (tab-separated, parameter names and values percent-encoded as UTF-8,
"-" for no token): method, url, consumer key, consumer secret, token,
token secret, nonce, timestamp, query parameters (k=v&...), body parameters
(k=v&...), signature.
"""
import urllib.parse

from oauthlib import oauth1

CONSUMERS = [("ck-1", "cs-1"), ("app key", "s&cret=/~+é")]
TOKENS = [None, ("tok-1", "ts-1"), ("tök", "x y/z")]
API = "http://api.nimbus.test"
REQUESTS = [
    ("GET", API + "/1/account_info", [], []),
    ("GET", API + "/1/metadata/app/a%20b/c", [("list", "true"), ("file_limit", "10"),
                                                ("filter_ext", "jpg;png")], []),
    ("GET", API + "/1/fileops/create_folder", [("root", "app"), ("path", "/new folder/~x")], []),
    ("GET", API + "/1/fileops/move", [("from_path", "/中文/文件.txt"), ("to_path", "/a+b=c&d")], []),
    ("GET", "https://api.nimbus.test/open/requestToken", [], []),
    ("POST", "https://api.nimbus.test/open/xAccessToken",
     [("x_auth_username", "user name"), ("x_auth_mode", "client_auth")],
     [("x_auth_password", "p&ss=w+rd ü")]),
    ("POST", "https://api.nimbus.test/open/register",
     [("username", "new user"), ("verification_code", "AB12"), ("authid", "id/7"),
      ("device_id", "DEV-1")], [("password", "pä ss")]),
    # Names whose escaped spelling sorts otherwise than the name itself.
    ("GET", API + "/1/metadata/app", [("z", "1"), ("é", "2"), ("a b", "3"), ("a-b", "4")], []),
]


def enc(value):
    return urllib.parse.quote(value, safe="-._~")


def pairs(items):
    return "&".join(enc(k) + "=" + enc(v) for k, v in items)


def sign(method, url, consumer, token, nonce, timestamp, query, body):
    client = oauth1.Client(
        consumer[0], client_secret=consumer[1],
        resource_owner_key=token[0] if token else None,
        resource_owner_secret=token[1] if token else None,
        signature_method=oauth1.SIGNATURE_HMAC_SHA1, signature_type=oauth1.SIGNATURE_TYPE_QUERY,
        nonce=nonce, timestamp=timestamp)
    uri = url + ("?" + pairs(query) if query else "")
    headers = {}
    body_text = None
    if body:
        body_text = pairs(body)
        headers["Content-Type"] = "application/x-www-form-urlencoded"
    signed_uri, _, _ = client.sign(uri, http_method=method, body=body_text, headers=headers)
    signed = urllib.parse.parse_qs(urllib.parse.urlsplit(signed_uri).query)
    return signed["oauth_signature"][0]


def main():
    n = 0
    for method, url, query, body in REQUESTS:
        for consumer in CONSUMERS:
            for token in TOKENS:
                n += 1
                nonce = "NONCE-%04d" % n
                timestamp = str(1354874400 + n)
                signature = sign(method, url, consumer, token, nonce, timestamp, query, body)
                print("\t".join([
                    method, url, enc(consumer[0]), enc(consumer[1]),
                    enc(token[0]) if token else "-", enc(token[1]) if token else "-",
                    nonce, timestamp, pairs(query), pairs(body), signature]))


if __name__ == "__main__":
    main()
