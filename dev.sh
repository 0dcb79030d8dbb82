#!/usr/bin/env bash
# One entry point for developers and CI. Every command first makes sure the
# virtual environment, the dependencies and the native build are current;
# when nothing changed that check takes well under a second.
#
#   ./dev.sh evaluate [ARGS...]  evaluate records (default: the bundled example)
#   ./dev.sh test [PYTEST ARGS]  run the whole test suite
#   ./dev.sh bench               run the benchmarks
#   ./dev.sh sanitize [ARGS]     run the tests against an ASan + UBSan build
#   ./dev.sh lint                ruff, the native idiom check, clang-format and clang-tidy
#   ./dev.sh build               only set up and build
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$root"
venv="$root/.venv"
py="$venv/bin/python"

log() { printf '[dev] %s\n' "$*" >&2; }

find_python() {
  for candidate in python3.11 python3; do
    if command -v "$candidate" >/dev/null 2>&1 &&
      "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] < (3, 11))'; then
      echo "$candidate"
      return
    fi
  done
  log "Python 3.11 or newer is required"
  exit 1
}

ensure_venv() {
  if [ ! -x "$py" ]; then
    log "creating virtual environment in .venv"
    "$(find_python)" -m venv "$venv"
  fi
  local stamp="$venv/.deps-stamp" want
  want="$(cat pyproject.toml standins/pyproject.toml | sha256sum | cut -d' ' -f1)"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    log "installing dependencies"
    local reqs
    reqs="$("$py" - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as fh:
    project = tomllib.load(fh)
deps = list(project["project"]["dependencies"])
extras = project["project"]["optional-dependencies"]
deps += extras["test"] + extras["embeddings"] + extras["risk"] + extras["parquet"] + extras["ray"]
deps += project["build-system"]["requires"]
with open("standins/pyproject.toml", "rb") as fh:
    deps += tomllib.load(fh)["build-system"]["requires"]
deps += ["cmake>=3.26", "ninja"]
print("\n".join(deps))
PY
)"
    local -a packages
    mapfile -t packages <<<"$reqs"
    # Some package mirrors print a warning per missing local index; keep the rest.
    "$py" -m pip install --quiet --disable-pip-version-check "${packages[@]}" \
      2> >(grep -v '^WARNING: Location' >&2)
    # The stand-ins for the libraries the SDK talks to (evs_sdk, zentrix_ai,
    # metrics_plugin): a distribution of their own, installed editable.
    "$py" -m pip install --quiet --disable-pip-version-check --no-deps --no-build-isolation \
      -e ./standins 2> >(grep -v '^WARNING: Location' >&2)
    # The package is used straight from the source tree.
    "$py" - "$root/python" <<'PY'
import pathlib, sys, sysconfig
pathlib.Path(sysconfig.get_paths()["purelib"], "zentrix_gov_dev.pth").write_text(sys.argv[1] + "\n")
PY
    echo "$want" >"$stamp"
  fi
}

# build <build dir> <module output root> [extra cmake args...]
build() {
  local dir="$1" out="$2"
  shift 2
  if [ ! -f "$dir/build.ninja" ]; then
    log "configuring native build in $dir"
    "$venv/bin/cmake" -S . -B "$dir" -G Ninja \
      -DPython_EXECUTABLE="$py" \
      -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" \
      -DZENTRIX_OUTPUT_ROOT="$out" "$@" >/dev/null
  fi
  "$venv/bin/cmake" --build "$dir" -- --quiet
}

setup() {
  ensure_venv
  build build/dev "$root/python"
}

# The report tests open pages in headless Chromium: Debian's chromium and its driver,
# installed here when missing (as root, with apt-get). Without them those tests skip.
ensure_chromium() {
  if command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1; then
    return
  fi
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    log "installing chromium and chromium-driver for the browser tests"
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      --no-install-recommends chromium chromium-driver; } >/dev/null 2>&1; then
      log "could not install chromium: the browser tests will be skipped"
    fi
  else
    log "no chromium: the browser tests will be skipped (apt-get install chromium chromium-driver)"
  fi
}

cmd="${1:-evaluate}"
[ $# -gt 0 ] && shift
case "$cmd" in
  build)
    setup
    ;;
  evaluate)
    setup
    if [ $# -eq 0 ]; then
      set -- examples/records.jsonl --config examples/columns.json \
        --metrics hap,pii,keyword,regex,topic_relevance,answer_relevance,faithfulness,context_relevance,tool_call_accuracy,harm,rag_faithfulness,rag_context_relevance,rag_answer_relevance,answer_correctness \
        --output build/results.json
    fi
    exec "$py" -m zentrix_gov evaluate "$@"
    ;;
  test)
    setup
    ensure_chromium
    exec "$py" -m pytest "$@"
    ;;
  extra)
    # Install an optional extra's packages into .venv, e.g. ./dev.sh extra local-model
    ensure_venv
    [ $# -eq 1 ] || { echo "usage: ./dev.sh extra NAME" >&2; exit 2; }
    reqs="$("$py" - "$1" <<'PY'
import sys, tomllib
with open("pyproject.toml", "rb") as fh:
    extras = tomllib.load(fh)["project"]["optional-dependencies"]
if sys.argv[1] not in extras:
    sys.exit(f"no extra {sys.argv[1]!r}; known: {', '.join(extras)}")
print("\n".join(extras[sys.argv[1]]))
PY
)"
    mapfile -t packages <<<"$reqs"
    "$py" -m pip install --quiet --disable-pip-version-check "${packages[@]}" \
      2> >(grep -v '^WARNING: Location' >&2)
    ;;
  bench)
    setup
    for script in bench/*.py; do
      log "$script"
      "$py" "$script"
    done
    ;;
  sanitize)
    ensure_venv
    overlay="$root/build/asan/python"
    mkdir -p "$overlay"
    cp -r python/zentrix_gov "$overlay/"
    find "$overlay" -name '*.so' -delete
    build build/asan "$overlay" -DZENTRIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
    PYTHONPATH="$overlay" LD_PRELOAD="$preload" \
      ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      PYTHONMALLOC=malloc "$py" -m pytest -p no:cacheprovider "$@"
    ;;
  lint)
    ensure_venv
    "$venv/bin/ruff" check python standins tests bench tools
    "$venv/bin/ruff" format --check python standins tests bench tools
    "$py" tools/check_idioms.py
    [ -x "$venv/bin/clang-tidy" ] ||
      "$py" -m pip install --quiet clang-format clang-tidy 2> >(grep -v '^WARNING: Location' >&2)
    "$venv/bin/clang-format" --dry-run --Werror src/*/*.cpp src/*/*.hpp tests/native/*.cpp
    build build/dev "$root/python"
    "$venv/bin/clang-tidy" -p build/dev --quiet --warnings-as-errors='*' src/*/*.cpp tests/native/*.cpp
    ;;
  *)
    echo "usage: ./dev.sh {evaluate|test|bench|sanitize|lint|build|extra} [ARGS...]" >&2
    exit 2
    ;;
esac
