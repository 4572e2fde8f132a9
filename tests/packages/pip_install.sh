#!/usr/bin/env bash
# Installs the Python module the usual way, offline, with the distribution's
# setuptools and pybind11: pip install --no-build-isolation into a venv made
# with --system-site-packages (for NumPy and pandas), then python3 -m build
# (an sdist, and a wheel built from that sdist alone). The installed module
# then runs the pytest suite, from outside the source tree.
# Usage: pip_install.sh SOURCE_DIR
set -euo pipefail
source=$(realpath "$1")
python=/usr/bin/python3  # Debian's, whose site packages the venv sees
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== pip install --no-build-isolation $source/python"
"$python" -m venv --system-site-packages "$work/venv"
venv_python=$work/venv/bin/python
"$venv_python" -m pip install --no-build-isolation --no-index --quiet "$source/python"
cd "$work"
"$venv_python" - "$work/venv" <<'PY'
import importlib.metadata, sys
import numpy as np
import veld

assert veld.__file__.startswith(sys.argv[1]), f"veld imported from {veld.__file__}, not the venv"
assert importlib.metadata.version("veld") == veld.__version__, (importlib.metadata.version("veld"), veld.__version__)
data = np.zeros(100_000, dtype=[("n", "<i8")])
data["n"] = np.arange(len(data))
with veld.Writer("f.zdat", b"dictionary") as w:
    w.write(data)
assert veld.read_dataframe("f.zdat", data.dtype)["n"].sum() == data["n"].sum()
print("installed:", veld.__file__, veld.__version__)
PY
PYTHONDONTWRITEBYTECODE=1 "$venv_python" -m pytest -q -p no:cacheprovider "$source/python/tests"

echo "== python3 -m build --no-isolation"
if "$python" -c 'import build' 2>/dev/null; then
  "$python" -m build --no-isolation --outdir "$work/dist" "$source/python" >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log"; exit 1; }
  ls "$work/dist"
  "$venv_python" -m pip install --no-index --no-deps --force-reinstall --quiet "$work"/dist/veld-*.whl
  "$venv_python" -c 'import veld; print("wheel:", veld.__file__, veld.__version__)'
else
  echo "python3-build is not installed: skipped"
fi
