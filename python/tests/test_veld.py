import errno
import json
import os
import shutil
import struct
import subprocess

import numpy as np
import pytest

import veld
from conftest import BLOCK, RECORD, records

DICTIONARY = bytes(range(256)) * 4 + b"end"  # P = 1027
P = len(DICTIONARY)
JOBS = [1, 2, 3]


def pack(path, data, jobs=2, pieces=3):
    with veld.Writer(path, DICTIONARY, jobs=jobs) as w:
        for piece in np.array_split(data, pieces):
            w.write(piece)
    return path


@pytest.mark.parametrize("jobs", JOBS)
def test_round_trip_through_numpy(tmp_path, jobs):
    data = records(600_000)  # 12 MB: three blocks, records straddling their ends
    pack(tmp_path / "f", data, jobs)
    # Every setting writes the same file.
    pack(tmp_path / "other", data, 1 if jobs > 1 else 3)
    assert (tmp_path / "f").read_bytes() == (tmp_path / "other").read_bytes()

    back = veld.read_records(tmp_path / "f", RECORD, jobs=jobs)
    assert back.dtype == RECORD and np.array_equal(back, data)
    assert np.array_equal(veld.read_records(tmp_path / "f", RECORD, 209_000, 1000, jobs=jobs), data[209_000:210_000])
    assert len(veld.read_records(tmp_path / "f", RECORD, 600_000, jobs=jobs)) == 0
    with pytest.raises(ValueError):
        veld.read_records(tmp_path / "f", RECORD, 599_999, 2)
    with pytest.raises(ValueError, match="whole number"):
        veld.read_records(tmp_path / "f", np.dtype("V7"))


@pytest.mark.parametrize("jobs", JOBS)
def test_random_access_through_the_file_object(tmp_path, jobs):
    data = records(500_000)
    whole = DICTIONARY + data.tobytes()
    pack(tmp_path / "f", data)
    rng = np.random.default_rng(5)
    with veld.open(tmp_path / "f", jobs=jobs) as f:
        assert (f.row0, f.size, f.readable(), f.seekable()) == (P, len(whole), True, True)
        spots = [0, P - 10, BLOCK + P - 3, 2 * BLOCK + P, len(whole) - 5, len(whole), len(whole) + 7]
        for at in spots + list(rng.integers(0, len(whole), 30)):
            assert f.seek(int(at)) == at
            n = int(rng.integers(1, 3 * 65536))
            assert f.read(n) == whole[at : at + n]
            assert f.tell() == min(at + n, max(at, len(whole)))
        f.seek(-100, os.SEEK_END)
        assert f.read() == whole[-100:]
        f.seek(-50, os.SEEK_CUR)
        buffer = bytearray(80)
        assert f.readinto(buffer) == 50 and buffer[:50] == whole[-50:]
        with pytest.raises(ValueError):
            f.seek(-1)
    with pytest.raises(ValueError):
        f.read(1)
    with veld.open(tmp_path / "f", row0=P, swap=False, jobs=jobs) as f, open(tmp_path / "copy", "wb") as out:
        shutil.copyfileobj(f, out)
    assert (tmp_path / "copy").read_bytes() == whole


def test_writer_takes_any_buffer_without_copying(tmp_path):
    data = records(300_000)
    raw = data.tobytes()
    with veld.Writer(tmp_path / "f", memoryview(DICTIONARY)) as w:
        assert w.row0 == P
        w.write(raw[:1000])
        w.write(memoryview(raw)[1000:5000])
        w.write(data.view(np.uint8)[5000:BLOCK])
        w.flush()  # ends the block early
        w.write(bytearray(raw[BLOCK:]))
        assert w.tell() == P + len(raw)
        with pytest.raises((BufferError, ValueError), match="contiguous"):
            w.write(data[::2])  # it could not be written without a copy
    assert w.closed
    with pytest.raises(ValueError):
        w.write(b"x")
    info = veld.info(tmp_path / "f", blocks=True)
    assert [b["orginalSize"] for b in info["blocks"]] == [BLOCK - 5000 + 5000, len(raw) - BLOCK]
    assert veld.read_records(tmp_path / "f", RECORD).tobytes() == raw
    with pytest.raises(ValueError):
        veld.Writer(tmp_path / "g", b"")


@pytest.mark.parametrize("in_place", [False, True])
def test_flush_ends_a_block_and_append_continues_the_data(tmp_path, in_place):
    first, second = records(250_000, 1), records(300_000, 2)
    with veld.Writer(tmp_path / "f", DICTIONARY) as w:
        w.write(first[:1000])
        w.flush()
        w.write(first[1000:])
    assert veld.info(tmp_path / "f")["short_blocks"] == 2
    shutil.copy(tmp_path / "f", tmp_path / "g")
    for name, jobs in [("f", 2), ("g", 1)]:
        with veld.append(tmp_path / name, in_place=in_place, jobs=jobs) as w:
            assert w.tell() == P + first.nbytes
            w.write(second)
    both = np.concatenate([first, second])
    assert np.array_equal(veld.read_records(tmp_path / "f", RECORD), both)
    assert veld.verify(tmp_path / "f") == []
    # A worker changes nothing in the file.
    assert (tmp_path / "f").read_bytes() == (tmp_path / "g").read_bytes()


def test_an_exception_in_the_with_block_commits_nothing(tmp_path):
    data = records(300_000)
    pack(tmp_path / "f", data)
    before = veld.info(tmp_path / "f")
    for writer in [lambda: veld.append(tmp_path / "f"), lambda: veld.Writer(tmp_path / "g", DICTIONARY)]:
        with pytest.raises(KeyError):
            with writer() as w:
                w.write(data)
                raise KeyError("the caller's own failure")
        assert w.closed
    # The append reads as before; the new file has no heading.
    assert np.array_equal(veld.read_records(tmp_path / "f", RECORD), data)
    assert veld.info(tmp_path / "f")["data_end"] == before["data_end"]
    with pytest.raises(veld.DamagedFileError):
        veld.open(tmp_path / "g", row0=P)


def test_info_has_the_fields_of_the_programs_json(tmp_path, veld_program):
    pack(tmp_path / "f", records(400_000))
    cli = subprocess.run([veld_program, "info", str(tmp_path / "f"), "--json", "--blocks"],
                         check=True, capture_output=True, text=True)
    assert veld.info(tmp_path / "f", blocks=True) == json.loads(cli.stdout)
    assert veld.info(str(tmp_path / "f"), row0=P, swap=False) == {
        k: v for k, v in json.loads(cli.stdout).items() if k != "blocks"
    }


# --- damaged files -----------------------------------------------------------

def put_i64(f, at, v):
    f[at : at + 8] = struct.pack("<q", v)


def put_i32(f, at, v):
    f[at : at + 4] = struct.pack("<i", v)


def table(f):
    _, info_pos, _ = struct.unpack_from("<qqq", f, P)
    count = struct.unpack_from("<i", f, info_pos + 20)[0]
    blocks = [struct.unpack_from("<qqii", f, info_pos + 24 * (k + 1)) for k in range(count)]
    return info_pos, blocks  # (orginalPos, translatePos, orginalSize, translateSize)


def cut_inside_payload(f, info_pos, blocks):
    # The table, moved into the dictionary part, stays readable; the file ends inside block 2.
    f[:] = f[info_pos:] + f[len(f) - info_pos :]
    put_i64(f, P + 8, 0)
    del f[blocks[2][1] + blocks[2][3] // 2 :]


# (name, damage, block the error names or None)
DAMAGES = [
    ("heading names another position", lambda f, t, b: put_i64(f, P, P + 1), None),
    ("table cut short", lambda f, t, b: f.__delitem__(slice(t + 30, None)), None),
    ("table length beyond the file", lambda f, t, b: put_i64(f, P + 16, 1 << 40), None),
    ("first record mark", lambda f, t, b: put_i64(f, t, -99), None),
    ("first record block size", lambda f, t, b: put_i32(f, t + 16, 0), None),
    ("first record count", lambda f, t, b: put_i32(f, t + 20, -1), None),
    ("count beyond the table", lambda f, t, b: put_i32(f, t + 20, 1000), None),
    ("record larger than the buffers", lambda f, t, b: put_i32(f, t + 24 + 20, 2 * BLOCK), 0),
    ("record of no bytes", lambda f, t, b: put_i32(f, t + 24 + 16, 0), 0),
    ("payload offset negative", lambda f, t, b: put_i64(f, t + 24 + 8, -5000), 0),
    ("flipped payload bytes", lambda f, t, b: f.__setitem__(slice(b[0][1] + 100, b[0][1] + 164), bytes(64)), 0),
    ("flipped byte in a stored block", lambda f, t, b: f.__setitem__(b[2][1] + 5000, f[b[2][1] + 5000] ^ 1), 2),
    ("payload inflates to fewer bytes", lambda f, t, b: put_i32(f, t + 24 * 5 + 16, b[4][2] - 1), 4),
    # Refused at the table, which lies before the payloads, before any block is read.
    ("file cut inside a payload", cut_inside_payload, None),
]


@pytest.fixture(scope="module")
def good_file(tmp_path_factory):
    """Blocks: full, 10 bytes (flushed), two stored halves of a block that does not shrink, 40."""
    rng = np.random.default_rng(11)
    text = rng.integers(97, 101, 2 * BLOCK + 50, dtype=np.uint8)
    text[BLOCK + 10 : 2 * BLOCK + 10] = np.frombuffer(rng.bytes(BLOCK), np.uint8)
    path = tmp_path_factory.mktemp("good") / "f"
    with veld.Writer(path, DICTIONARY, jobs=1) as w:
        w.write(text[: BLOCK + 10])
        w.flush()
        w.write(text[BLOCK + 10 :])
    good = bytearray(path.read_bytes())
    info_pos, blocks = table(good)
    assert [b[2] for b in blocks] == [BLOCK, 10, BLOCK // 2, BLOCK // 2, 40] and blocks[2][3] > blocks[2][2]
    return good, info_pos, blocks


@pytest.mark.parametrize("jobs", JOBS)
@pytest.mark.parametrize("name,damage,block", DAMAGES, ids=[d[0] for d in DAMAGES])
def test_every_damage_raises_damaged_file_error(tmp_path, good_file, jobs, name, damage, block):
    good, info_pos, blocks = good_file
    bad = bytearray(good)
    damage(bad, info_pos, blocks)
    (tmp_path / "bad").write_bytes(bad)
    with pytest.raises(veld.DamagedFileError) as caught:
        veld.read_records(tmp_path / "bad", np.uint8, row0=P, swap=False, jobs=jobs)
    error = caught.value
    assert isinstance(error, ValueError) and not isinstance(error, OSError)
    assert error.filename == str(tmp_path / "bad")
    if block is not None:
        # The payload offset the damaged table records for that block.
        assert (error.block, error.offset) == (block, table(bad)[1][block][1]), str(error)
    assert veld.verify(tmp_path / "bad", row0=P, swap=False, jobs=jobs), "verify found nothing"


def test_unfinished_file_is_refused_and_recovered(tmp_path):
    # A writer that never closed its file left no heading behind.
    data = records(300_000)
    w = veld.Writer(tmp_path / "f", DICTIONARY, jobs=1)
    w.write(data)
    shutil.copyfile(tmp_path / "f", tmp_path / "unfinished")
    w.close()
    with pytest.raises(veld.DamagedFileError, match="never finished"):
        veld.open(tmp_path / "unfinished")
    with pytest.raises(veld.DamagedFileError):
        veld.info(tmp_path / "unfinished", row0=P)

    kept = veld.recover(tmp_path / "unfinished")
    assert (kept["output"], kept["row0"], kept["block_count"]) == (str(tmp_path / "unfinished.recovered"), P, 1)
    with veld.open(kept["output"]) as f:
        assert f.read() == DICTIONARY + data.tobytes()[:BLOCK]
    assert veld.recover(tmp_path / "f")["output"] is None  # sound: nothing to do


# --- the disk refuses --------------------------------------------------------

@pytest.fixture
def small_disk(tmp_path):
    """A 2 MiB tmpfs; skipped where this process may not mount one."""
    mount = tmp_path / "disk"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mount)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here (needs root)")
    try:
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=True)


def test_missing_file_raises_oserror_with_errno(tmp_path):
    for call in [lambda p: veld.open(p), lambda p: veld.info(p), lambda p: veld.Writer(tmp_path / "no" / "f", b"d")]:
        with pytest.raises(FileNotFoundError) as caught:
            call(tmp_path / "missing")
        assert caught.value.errno == errno.ENOENT

@pytest.mark.parametrize("jobs", JOBS)
def test_full_disk_raises_oserror_with_errno(small_disk, jobs):
    noise = np.frombuffer(os.urandom(3 << 20), np.uint8)  # does not shrink: 3 MiB cannot fit
    with pytest.raises(OSError) as caught:
        with veld.Writer(small_disk / "f", DICTIONARY, jobs=jobs) as w:
            w.write(noise)
    assert caught.value.errno == errno.ENOSPC and caught.value.filename == str(small_disk / "f")


def test_read_only_disk_raises_oserror_with_errno(small_disk):
    pack(small_disk / "f", records(10_000))
    subprocess.run(["mount", "-o", "remount,ro", str(small_disk)], check=True)
    for call in [lambda: veld.Writer(small_disk / "g", DICTIONARY), lambda: veld.append(small_disk / "f")]:
        with pytest.raises(OSError) as caught:
            call()
        assert caught.value.errno == errno.EROFS
    assert len(veld.read_records(small_disk / "f", RECORD)) == 10_000
