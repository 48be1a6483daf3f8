#!/usr/bin/env python3
"""Asks a Prometheus server's HTTP API, for shell scripts.

  promql.py URL ready          exit 0 when URL/-/ready answers 200, else 1
  promql.py URL query EXPR     one line per series of EXPR's value now:
                               [NAME] [LABEL=VALUE ...] VALUE, the labels
                               sorted, without job and instance; a scalar
                               is its value alone

Exit status 1, with the reason on stderr, when the server fails or refuses
the query.
"""

import json
import sys
import urllib.error
import urllib.parse
import urllib.request

# The server is on loopback; a reply slower than this is a failure to report.
TIMEOUT_S = 10


def get(url):
    with urllib.request.urlopen(url, timeout=TIMEOUT_S) as reply:
        return reply.status, reply.read()


def ready(base):
    try:
        status, _ = get(base + "/-/ready")
    except (urllib.error.URLError, OSError):
        return 1
    return 0 if status == 200 else 1


def series_line(metric, value):
    words = []
    if "__name__" in metric:
        words.append(metric["__name__"])
    for key in sorted(metric):
        if key not in ("__name__", "job", "instance"):
            words.append(f"{key}={metric[key]}")
    words.append(value)
    return " ".join(words)


def query(base, expr):
    url = base + "/api/v1/query?" + urllib.parse.urlencode({"query": expr})
    try:
        _, body = get(url)
    except urllib.error.HTTPError as e:
        print(f"promql.py: {expr}: HTTP {e.code}: {e.read()[:300]!r}", file=sys.stderr)
        return 1
    except (urllib.error.URLError, OSError) as e:
        print(f"promql.py: {expr}: {e}", file=sys.stderr)
        return 1
    reply = json.loads(body)
    if reply.get("status") != "success":
        print(f"promql.py: {expr}: {reply.get('error')}", file=sys.stderr)
        return 1
    data = reply["data"]
    if data["resultType"] == "scalar":
        print(data["result"][1])
    elif data["resultType"] == "vector":
        for series in data["result"]:
            print(series_line(series["metric"], series["value"][1]))
    else:
        print(f"promql.py: {expr}: a {data['resultType']}, not a vector", file=sys.stderr)
        return 1
    return 0


def main(argv):
    if len(argv) == 3 and argv[2] == "ready":
        return ready(argv[1])
    if len(argv) == 4 and argv[2] == "query":
        return query(argv[1], argv[3])
    print(__doc__, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
