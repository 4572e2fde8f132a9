"""Files read over HTTP from an nginx this test starts on 127.0.0.1."""
import ast
import faulthandler
import os
import re
import shutil
import signal
import socket
import subprocess
import time

import numpy as np
import pytest

import veld
import veld.dask
from conftest import BLOCK, RECORD, records

NGINX = "/usr/sbin/nginx"
pytestmark = pytest.mark.skipif(not os.path.exists(NGINX), reason="needs nginx (Debian package nginx-light)")


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


# 16-byte records: a block holds a whole number of them, so no chunk needs
# the start of the next block, and each block's payload has exactly one reader.
PAIR = np.dtype([("id", "<i8"), ("x", "<f8")])
ROW0 = 777


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """A file of five blocks served by nginx: (url, local path, records, access log path)."""
    work = tmp_path_factory.mktemp("remote")
    root = work / "www"
    root.mkdir()
    data = np.empty(1_200_000, PAIR)
    data["id"] = np.arange(len(data))
    data["x"] = np.random.default_rng(5).integers(0, 1000, len(data)) / 8
    with veld.Writer(root / "f.zdat", b"D" * ROW0) as w:
        w.write(data)
    os.environ["no_proxy"] = os.environ["NO_PROXY"] = "127.0.0.1"
    port = _free_port()
    temps = "".join(f"  {t}_temp_path {work}/tmp;\n" for t in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    (work / "nginx.conf").write_text(
        f"daemon off;\nmaster_process off;\npid {work}/nginx.pid;\nerror_log {work}/error.log;\n"
        "events { worker_connections 64; }\n"
        f"http {{\n  log_format counts '$status $body_bytes_sent \"$http_range\"';\n"
        f"  access_log {work}/access.log counts;\n{temps}"
        f"  server {{ listen 127.0.0.1:{port}; root {root}; }}\n}}\n")
    (work / "tmp").mkdir()
    nginx = subprocess.Popen([NGINX, "-p", str(work), "-e", str(work / "error.log"), "-c", str(work / "nginx.conf")])
    try:
        for _ in range(200):
            if _listening(port):
                break
            time.sleep(0.025)
        else:
            pytest.fail("nginx did not start")
        yield f"http://127.0.0.1:{port}/f.zdat", root / "f.zdat", data, work / "access.log"
    finally:
        nginx.send_signal(signal.SIGTERM)
        try:
            nginx.wait(timeout=10)
        except subprocess.TimeoutExpired:
            nginx.kill()
            nginx.wait()


def _payloads(path):
    """[first, last] file offsets of each block's payload, from the file's own table."""
    raw = path.read_bytes()
    table, length = np.frombuffer(raw, "<i8", 2, ROW0 + 8)
    out = []
    for r in range(1, length // 24):
        at = table + 24 * r
        offset = int(np.frombuffer(raw, "<i8", 1, at + 8)[0])
        size = int(np.frombuffer(raw, "<i4", 1, at + 20)[0])
        out.append((offset, offset + size - 1))
    return out


def _requests(log):
    """(bytes sent, first, last) of each logged range request."""
    out = []
    for line in log.read_text().splitlines():
        m = re.match(r'(\d+) (\d+) "bytes=(\d+)-(\d+)"', line)
        assert m and m[1] == "206", line
        out.append((int(m[2]), int(m[3]), int(m[4])))
    return out


def test_records_and_errors_over_http(served):
    url, local, data, _log = served
    assert np.array_equal(veld.read_records(url, PAIR), data)
    some = veld.read_records(url, PAIR, start=123456, count=1000, jobs=2)
    assert np.array_equal(some, data[123456:124456])
    assert {k: v for k, v in veld.info(url).items() if k != "file"} == \
        {k: v for k, v in veld.info(local).items() if k != "file"}
    with pytest.raises(FileNotFoundError):
        veld.read_records(url + ".missing", PAIR)
    with pytest.raises(OSError, match="read-only"):
        with veld.Writer(url, b"D" * ROW0) as w:
            w.write(data[:10])


def test_each_worker_fetches_only_its_own_blocks(served):
    url, local, data, log = served
    payloads = _payloads(local)
    assert len(payloads) == 5
    distributed = pytest.importorskip("distributed")
    faulthandler.dump_traceback_later(240, exit=True)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster, timeout="60s") as client:
            x = veld.dask.read_records(url, PAIR, blocks_per_chunk=1)
            assert x.numblocks == (5,)
            log.write_text("")
            with distributed.get_task_stream(client) as ts:
                # Unfused, so each read keeps its own task key.
                got = client.compute(x, optimize_graph=False).result(timeout=120)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert np.array_equal(got, data)
    # Which worker read which block (chunk i is block i).
    owner = {}
    for t in ts.data:
        key = t["key"]
        key = ast.literal_eval(key) if isinstance(key, str) and key.startswith("(") else key
        if isinstance(key, tuple) and str(key[0]).startswith("veld-records-"):
            owner[key[1]] = t["worker"]
    assert sorted(owner) == list(range(5)) and len(set(owner.values())) == 2, owner
    # Every payload byte that went over the wire belongs to exactly one request,
    # so a worker that fetched a block it did not read would show up twice.
    fetched = [0] * 5
    for sent, first, last in _requests(log):
        assert sent == last - first + 1
        for b, (p0, p1) in enumerate(payloads):
            if first <= p1 and last >= p0:
                assert (first, last) == (p0, p1), "a payload is fetched whole, in one request"
                fetched[b] += 1
    assert fetched == [1] * 5
    per_worker = {}
    for b, w in owner.items():
        per_worker[w] = per_worker.get(w, 0) + payloads[b][1] - payloads[b][0] + 1
    others = sum(s for s, first, last in _requests(log)) - sum(per_worker.values())
    # Beyond the payloads: per task, a probe byte, the heading and the table.
    assert 0 < others <= 5 * (1 + 24 + 24 * 6) * 3
