"""A file with no compressed part is a plain file, not a damaged one."""

import os
import struct

import numpy as np
import pytest

import veld
from conftest import RECORD, records

DICTIONARY = b"dictionary part " * 40
P = len(DICTIONARY)

CALLS = {
    "open": lambda p: veld.open(p),
    "read_records": lambda p: veld.read_records(p, np.uint8),
    "read_dataframe": lambda p: veld.read_dataframe(p, RECORD),
    "info": lambda p: veld.info(p),
    "verify": lambda p: veld.verify(p),
    "recover": lambda p: veld.recover(p),
    "append": lambda p: veld.append(p),
}

PLAIN = {
    "random bytes": lambda: os.urandom(50_000),
    "text": lambda: b"id,income,region\n" + b"17,2500.5,north\n" * 5000,
    "zeros": lambda: bytes(100_000),
    "empty": lambda: b"",
    # Raw records: what a user may mean to pack but gives to veld as it is.
    "records": lambda: records(3000).tobytes(),
}


@pytest.mark.parametrize("content", PLAIN.values(), ids=PLAIN.keys())
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_a_plain_file_raises_value_error_not_damage(tmp_path, call, content):
    path = tmp_path / "plain.dat"
    path.write_bytes(content())
    with pytest.raises(ValueError, match="^not a compressed data file: ") as caught:
        call(path)
    assert type(caught.value) is ValueError, type(caught.value)
    assert caught.value.filename == str(path)
    assert str(path) in str(caught.value)
    assert not (tmp_path / "plain.dat.recovered").exists()


def test_a_damaged_compressed_file_still_raises_damaged_file_error(tmp_path):
    with veld.Writer(tmp_path / "f", DICTIONARY) as w:
        w.write(records(50_000))
    good = (tmp_path / "f").read_bytes()
    # The heading still holds its own position, but its table length is beyond
    # the file: a compressed file that is damaged, found without row0.
    bad = bytearray(good)
    bad[P + 16 : P + 24] = struct.pack("<q", 1 << 40)
    (tmp_path / "bad").write_bytes(bad)
    for call in ["open", "info", "read_dataframe", "recover"]:
        with pytest.raises(veld.DamagedFileError):
            CALLS[call](tmp_path / "bad")
    # A pack that never wrote its heading is damaged too: recover keeps its blocks.
    w = veld.Writer(tmp_path / "g", DICTIONARY, jobs=1)
    w.write(records(300_000))
    w.flush()
    (tmp_path / "unfinished").write_bytes((tmp_path / "g").read_bytes())
    w.abandon()
    with pytest.raises(veld.DamagedFileError, match="never finished"):
        veld.open(tmp_path / "unfinished")
    assert veld.recover(tmp_path / "unfinished")["block_count"] >= 1
