#!/usr/bin/env bash
# The Python package, built, installed and tested as a user would, offline:
#   - a virtual environment of Debian's Python (build/python/venv) that also
#     sees Debian's packages (pytest, distributed);
#   - pip install --no-build-isolation . (setup.py builds the extension with
#     CMake in build/python/cmake), then the import check from another folder;
#   - the wheel (pip wheel, into build/python/dist) and what it holds;
#   - pytest tests/python (the package, and the Dask example on a LocalCluster).
# Debian packages: scripts/install-deps.sh build python.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=/usr/bin/python3
venv=build/python/venv
dist=build/python/dist

rm -rf "$venv" "$dist"
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install --no-index --no-build-isolation .

version=$(cd / && "$root/$venv/bin/python" -c "import vellox; print(vellox.__version__)")
echo "import vellox: version $version"
[ "$version" = "1.0.4" ] || { echo "expected version 1.0.4" >&2; exit 1; }

"$venv/bin/python" -m pip wheel --no-index --no-build-isolation --no-deps -w "$dist" .
wheel=$(ls "$dist"/vellox-1.0.4-*.whl)
contents=$("$venv/bin/python" -m zipfile -l "$wheel")
for member in vellox/__init__.py vellox/_vellox.cpython- vellox/_vellox.pyi vellox/py.typed; do
  grep -q "$member" <<<"$contents" || { echo "$wheel lacks $member" >&2; exit 1; }
done
echo "wheel: $wheel"

"$venv/bin/python" -m pytest -v -p no:cacheprovider tests/python
