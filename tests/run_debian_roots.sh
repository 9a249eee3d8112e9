#!/usr/bin/env bash
# Runs the Python tests on the CPython versions of Debian trixie (3.13) and sid (3.14), in roots made with
# debootstrap, beside the host's interpreter.
#
#   tests/run_debian_roots.sh prepare        make or refresh the cached roots
#   tests/run_debian_roots.sh source         build from a copy of the checkout in each root, run the tests
#   tests/run_debian_roots.sh wheel WHEEL    install WHEEL (no compiler present) in each root and on the host,
#                                            run the tests against it
#
# Each suite has two cached roots under $QUORLIX_ROOT_CACHE (default /var/cache/quorlix-ci): `<suite>-base`
# with Python only (no compiler, for the wheel), and `<suite>-build`, a copy of it with g++ and the Python
# headers added. A root is used only once its `.complete` stamp exists, so an interrupted build is never
# mistaken for a good one; roots older than $QUORLIX_ROOT_MAX_AGE_DAYS (default 14) are rebuilt. A root that
# cannot be built (the archive unreachable or broken that day) is reported loudly and skipped; a root that was
# built and then fails a test fails the run. Needs root privileges (debootstrap, chroot, bind mounts).
set -euo pipefail
cd "$(dirname "$0")/.."

cache=${QUORLIX_ROOT_CACHE:-/var/cache/quorlix-ci}
max_age_days=${QUORLIX_ROOT_MAX_AGE_DAYS:-14}
suites=(${QUORLIX_ROOT_SUITES:-trixie sid})
mirror=${QUORLIX_DEBIAN_MIRROR:-http://deb.debian.org/debian}

loud() {
  echo
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
  echo "!!! $*"
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
  echo
}

# Mounts are tracked so that they are undone however the script ends.
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -l "${mounted[i]}" 2>/dev/null || true
  done
  mounted=()
}
trap unmount_all EXIT
trap 'unmount_all; exit 130' INT TERM

remove_root() {  # remove_root DIR: delete a root, never while the host's /proc or /dev is mounted in it
  if grep -qF " $1/" /proc/mounts; then
    echo "refusing to delete $1: something is still mounted in it" >&2
    exit 1
  fi
  rm -rf "$1"
}

enter() {  # enter ROOT: make ROOT usable with chroot (network, /proc, /dev)
  local root=$1 d
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    mkdir -p "$root/etc/ssl/certs"
    cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  fi
  for d in proc dev; do
    mkdir -p "$root/$d"
    mount --bind "/$d" "$root/$d"
    mounted+=("$root/$d")
  done
}

in_root() {  # in_root ROOT COMMAND: run a shell command inside ROOT
  local root=$1
  shift
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 \
    PIP_DISABLE_PIP_VERSION_CHECK=1 REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt \
    SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt /bin/sh -ec "$*"
}

complete() { [ -f "$1/.complete" ]; }

fresh() {  # fresh ROOT: true when ROOT is complete and young enough
  complete "$1" && [ -z "$(find "$1/.complete" -mtime +"$max_age_days" 2>/dev/null)" ]
}

make_base() {  # make_base SUITE DIR: a root with Python only
  echo "--- debootstrap $1 (Python only)"
  if ! debootstrap --variant=minbase --include=python3,python3-venv,ca-certificates \
      "$1" "$2" "$mirror" >"$cache/$1-base.log" 2>&1; then
    tail -n 20 "$cache/$1-base.log"
    return 1
  fi
  rm -rf "$2/var/cache/apt/archives/"*.deb
}

make_build() {  # make_build SUITE DIR: DIR, a copy of the base root, gets g++ and the Python headers
  echo "--- $1 with g++ and the Python headers"
  cp -a "$cache/$1-base" "$2"
  rm -f "$2/.complete"
  enter "$2"
  # sid's Release file is valid for a week only, and the archive this machine reaches can lag well behind
  # that: its signature is still checked, its age is not.
  if ! in_root "$2" 'export DEBIAN_FRONTEND=noninteractive
      apt-get -o Acquire::Check-Valid-Until=false update -qq &&
      apt-get install -y -qq --no-install-recommends g++ python3-dev >/dev/null && apt-get clean' \
      >"$cache/$1-build.log" 2>&1; then
    tail -n 20 "$cache/$1-build.log"
    unmount_all
    return 1
  fi
  unmount_all
}

# refresh SUITE KIND STALE: rebuilds <suite>-<kind> in a scratch folder when STALE is true, and swaps it in
# only once complete. When that fails, an older complete root is kept and used (said loudly); false when there
# is none.
refresh() {
  local suite=$1 kind=$2 stale=$3 dir=$cache/$1-$2
  $stale || return 0
  remove_root "$dir.tmp"
  if "make_$kind" "$suite" "$dir.tmp"; then
    date -u +%FT%TZ >"$dir.tmp/.complete"
    remove_root "$dir"
    mv "$dir.tmp" "$dir"
    return 0
  fi
  remove_root "$dir.tmp"
  if complete "$dir"; then
    loud "Debian $suite ($kind) could not be refreshed: using the root made $(cat "$dir/.complete")"
    return 0
  fi
  return 1
}

build_root() {  # build_root SUITE: make <suite>-base and <suite>-build; false if the archive fails us
  local base=$cache/$1-base build=$cache/$1-build
  refresh "$1" base "$(fresh "$base" && echo false || echo true)" || return 1
  refresh "$1" build "$(fresh "$build" && [ ! "$build/.complete" -ot "$base/.complete" ] && echo false ||
    echo true)" || return 1
}

prepare() {
  if ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  fi
  local suite
  for suite in "${suites[@]}"; do
    SECONDS=0
    if build_root "$suite"; then
      echo "--- root $suite ready ($(cat "$cache/$suite-base/.complete")), ${SECONDS} s"
    else
      loud "Debian $suite root could not be built (archive unreachable or broken?): its tests are SKIPPED"
    fi
  done
}

# The suite runs with warnings turned into errors, so that anything a newer Python starts to warn about
# when quorlix is used shows up as a failure.
pytest_args="-q -p no:cacheprovider -W error tests/python"

copy_checkout() {  # copy_checkout DEST: the files a clean clone has, plus uncommitted edits
  rm -rf "$1"
  mkdir -p "$1"
  git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$1"
}

run_source() {
  local suite root status=0
  for suite in "${suites[@]}"; do
    root=$cache/$suite-build
    if ! complete "$root"; then
      loud "Debian $suite root missing: source build there SKIPPED"
      continue
    fi
    SECONDS=0
    echo "--- $suite: source build and tests"
    copy_checkout "$root/opt/quorlix-src"
    enter "$root"
    if ! in_root "$root" "python3 --version; rm -rf /opt/venv; python3 -m venv /opt/venv; cd /opt/quorlix-src;
        /opt/venv/bin/python -m pip install -q '.[test]';
        /opt/venv/bin/python -m pytest $pytest_args"; then
      echo "--- $suite: FAILED"
      status=1
    fi
    unmount_all
    rm -rf "$root/opt/venv" "$root/opt/quorlix-src"
    echo "--- $suite: source build and tests took ${SECONDS} s"
  done
  return $status
}

# Test requirements for the wheel runs: the module's own extra, taken from binaries only so that nothing
# can need a compiler.
write_test_requirements() {  # write_test_requirements FILE
  python3 - "$1" <<'PY'
import sys, tomllib
with open("pyproject.toml", "rb") as f:
    extra = tomllib.load(f)["project"]["optional-dependencies"]["test"]
with open(sys.argv[1], "w") as out:
    out.write("".join(r + "\n" for r in extra))
PY
}

# fits_python WHEEL_NAME PYTHON_VERSION (e.g. 3.13): true when the wheel's tags admit that CPython
fits_python() {
  local tags=${1%.whl} nodot=${2/./}
  tags=${tags#*-*-}  # python-abi-platform
  case $tags in
    cp3*-abi3-*) [ "${nodot#3}" -ge "$(echo "$tags" | sed 's/^cp3\([0-9]*\)-.*/\1/')" ] ;;
    cp$nodot-cp$nodot-*) true ;;
    *) false ;;
  esac
}

run_wheel() {
  local wheel=$1 suite root status=0 name version
  [ -f "$wheel" ] || { echo "no wheel at $wheel" >&2; return 2; }
  wheel=$(realpath "$wheel")
  name=$(basename "$wheel")

  SECONDS=0
  echo "--- host $(python3 --version): wheel $name and tests"
  rm -rf build/venv-wheel build/wheel-tests
  python3 -m venv build/venv-wheel
  copy_checkout build/wheel-tests
  write_test_requirements build/wheel-tests/test-requirements.txt
  build/venv-wheel/bin/python -m pip install -q --only-binary=:all: "$wheel" \
    -r build/wheel-tests/test-requirements.txt
  (cd build/wheel-tests && ../venv-wheel/bin/python -m pytest $pytest_args) || status=1
  rm -rf build/venv-wheel build/wheel-tests
  echo "--- host: wheel tests took ${SECONDS} s"

  for suite in "${suites[@]}"; do
    root=$cache/$suite-base
    if ! complete "$root"; then
      loud "Debian $suite root missing: wheel tests there SKIPPED"
      continue
    fi
    version=$(chroot "$root" python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    if ! fits_python "$name" "$version"; then
      echo "--- $suite: $name cannot be installed on Python $version: FAILED"
      status=1
      continue
    fi
    SECONDS=0
    echo "--- $suite: wheel $name and tests (no compiler in this root)"
    copy_checkout "$root/opt/quorlix-src"
    write_test_requirements "$root/opt/quorlix-src/test-requirements.txt"
    cp "$wheel" "$root/opt/"
    enter "$root"
    if ! in_root "$root" "if command -v g++ || command -v c++ || command -v cc; then exit 1; fi
        python3 --version; rm -rf /opt/venv; python3 -m venv /opt/venv; cd /opt/quorlix-src;
        /opt/venv/bin/python -m pip install -q --only-binary=:all: /opt/$name -r test-requirements.txt;
        /opt/venv/bin/python -m pytest $pytest_args"; then
      echo "--- $suite: FAILED"
      status=1
    fi
    unmount_all
    rm -rf "$root/opt/venv" "$root/opt/quorlix-src" "$root/opt/$name"
    echo "--- $suite: wheel tests took ${SECONDS} s"
  done
  return $status
}

# One run at a time uses the cache.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

case ${1:-} in
  prepare) prepare ;;
  source) run_source ;;
  wheel) run_wheel "${2:?usage: $0 wheel WHEEL}" ;;
  *) echo "usage: $0 prepare | source | wheel WHEEL" >&2; exit 2 ;;
esac
