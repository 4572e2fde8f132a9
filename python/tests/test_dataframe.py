"""veld.read_dataframe and the module's version."""

import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import veld
from conftest import BLOCK, RECORD, records

DICTIONARY = b"D" * 333
JOBS = [1, 2, 3]


def pack(path, data, jobs=2):
    with veld.Writer(path, DICTIONARY, jobs=jobs) as w:
        w.write(data)
    return path


@pytest.mark.parametrize("jobs", JOBS)
def test_dataframe_has_a_column_per_field(tmp_path, jobs):
    data = records(250_000)  # 5 MB: two blocks, a record straddling their boundary
    assert data.nbytes > BLOCK
    pack(tmp_path / "f", data, jobs)
    frame = veld.read_dataframe(tmp_path / "f", RECORD, jobs=jobs)
    assert isinstance(frame, pd.DataFrame)
    assert list(frame.columns) == ["id", "x", "tag"]
    assert len(frame) == len(data)
    for name in RECORD.names:
        assert np.array_equal(frame[name].to_numpy(), data[name]), name
    part = veld.read_dataframe(tmp_path / "f", RECORD, 209_000, 1000, jobs=jobs)
    assert np.array_equal(part["id"].to_numpy(), np.arange(209_000, 210_000))
    assert part["tag"].tolist() == data["tag"][209_000:210_000].tolist()
    with pytest.raises(ValueError, match="whole number"):
        veld.read_dataframe(tmp_path / "f", np.dtype("V7"), jobs=jobs)


def test_dataframe_columns_are_in_the_machines_byte_order(tmp_path):
    big = np.dtype([("id", ">i8"), ("x", ">f8")])
    data = np.empty(1000, big)
    data["id"] = np.arange(1000) * 3
    data["x"] = np.linspace(-1, 1, 1000)
    pack(tmp_path / "f", data)
    frame = veld.read_dataframe(tmp_path / "f", big)
    assert frame["id"].dtype == np.dtype("int64") and frame["x"].dtype == np.dtype("float64")
    assert frame["id"].sum() == 3 * 999 * 1000 // 2
    assert np.array_equal(frame["x"].to_numpy(), data["x"].astype("<f8"))


def test_dataframe_of_a_dtype_without_fields_and_with_a_subarray(tmp_path):
    values = np.arange(10_000, dtype="<f8") / 7
    pack(tmp_path / "f", values)
    frame = veld.read_dataframe(tmp_path / "f", "<f8")
    assert frame.shape == (10_000, 1) and np.array_equal(frame[0].to_numpy(), values)
    with pytest.raises(ValueError, match="'v'.*read_records"):
        veld.read_dataframe(tmp_path / "f", np.dtype([("v", "<f8", (4,))]))


def test_version_is_the_projects():
    cmake = Path(__file__).resolve().parents[2] / "CMakeLists.txt"
    declared = re.search(r"project\(\s*veld\s+VERSION\s+([0-9.]+)", cmake.read_text()).group(1)
    assert veld.__version__ == declared
    assert "__version__" in veld.__all__
