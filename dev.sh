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
#   ./dev.sh extra NAME          install an optional extra (e.g. local-model)
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

# What each command installs besides the core dependencies, the stand-ins and the tools of
# the native build: extras of pyproject.toml. Add an extra here when a command needs it; one
# that pyproject.toml does not define (yet) is skipped. The main job, `evaluate`, gets what
# the example run uses (its config picks the sentence-embedding methods) and nothing that
# only tests or optional features need.
extras_for() {
  case "$1" in
    evaluate) echo "embeddings" ;;
    bench) echo "embeddings risk parquet ray otel" ;;
    test | sanitize) echo "test embeddings risk parquet ray otel phoenix" ;;
    lint) echo "test" ;;
    *) echo "" ;;
  esac
}

# ensure_venv <command> [EXTRA...]: the virtual environment with what <command> needs, and
# the extras named. Each part (the core, each extra) keeps a stamp of the dependency files it
# was installed from, so a command installs only what is missing or out of date.
ensure_venv() {
  if [ ! -x "$py" ]; then
    log "creating virtual environment in .venv"
    "$(find_python)" -m venv "$venv"
  fi
  local want part
  want="$(cat pyproject.toml standins/pyproject.toml | sha256sum | cut -d' ' -f1)"
  local -a parts=(core) missing=()
  read -r -a extras <<<"$(extras_for "$1")"
  extras+=("${@:2}")
  parts+=("${extras[@]}")
  for part in "${parts[@]}"; do
    [ "$(cat "$venv/.deps-$part" 2>/dev/null)" = "$want" ] || missing+=("$part")
  done
  [ ${#missing[@]} -eq 0 ] && return
  log "installing dependencies (${missing[*]})"
  local reqs
  reqs="$("$py" - "${extras[@]}" <<'PY'
import sys
import tomllib

with open("pyproject.toml", "rb") as fh:
    project = tomllib.load(fh)
deps = list(project["project"]["dependencies"])
defined = project["project"].get("optional-dependencies", {})
for extra in sys.argv[1:]:
    deps += defined.get(extra, [])
deps += project["build-system"]["requires"]
with open("standins/pyproject.toml", "rb") as fh:
    deps += tomllib.load(fh)["build-system"]["requires"]
deps += ["cmake>=3.26", "ninja"]
print("\n".join(deps))
PY
)"
  local -a packages
  mapfile -t packages <<<"$reqs"
  # --no-compile: byte code is written when a module is first imported, for the modules a
  # run uses, instead of for every file of every package (torch alone has thousands).
  # Some package mirrors print a warning per missing local index; keep the rest.
  "$py" -m pip install --quiet --disable-pip-version-check --no-compile "${packages[@]}" \
    2> >(grep -v '^WARNING: Location' >&2)
  if [ "$(cat "$venv/.deps-core" 2>/dev/null)" != "$want" ]; then
    # The stand-ins for the libraries the SDK talks to (evs_sdk, zentrix_ai,
    # metrics_plugin): a distribution of their own, installed editable.
    "$py" -m pip install --quiet --disable-pip-version-check --no-deps --no-build-isolation \
      -e ./standins 2> >(grep -v '^WARNING: Location' >&2)
    # The package is used straight from the source tree.
    "$py" - "$root/python" <<'PY'
import pathlib, sys, sysconfig
pathlib.Path(sysconfig.get_paths()["purelib"], "zentrix_gov_dev.pth").write_text(sys.argv[1] + "\n")
PY
  fi
  for part in "${parts[@]}"; do echo "$want" >"$venv/.deps-$part"; done
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
  ensure_venv "$cmd"
  build build/dev "$root/python"
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
    # Install an optional extra into .venv, e.g. ./dev.sh extra local-model
    [ $# -eq 1 ] || { echo "usage: ./dev.sh extra NAME" >&2; exit 2; }
    known="$(sed -n '/^\[project.optional-dependencies\]/,/^\[/s/^\([a-z-]*\) = \[.*/\1/p' pyproject.toml)"
    grep -qx -- "$1" <<<"$known" || { echo "no extra '$1'; known: $(echo $known)" >&2; exit 2; }
    ensure_venv extra "$1"
    ;;
  bench)
    setup
    for script in bench/*.py; do
      # bench/_*.py are what the scripts share, not benchmarks of their own
      [[ "$(basename "$script")" == _* ]] && continue
      log "$script"
      "$py" "$script"
    done
    ;;
  sanitize)
    ensure_venv sanitize
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
    ensure_venv lint
    "$venv/bin/ruff" check python standins tests bench tools
    "$venv/bin/ruff" format --check python standins tests bench tools
    "$py" tools/check_idioms.py
    [ -x "$venv/bin/clang-tidy" ] ||
      "$py" -m pip install --quiet clang-format clang-tidy 2> >(grep -v '^WARNING: Location' >&2)
    "$venv/bin/clang-format" --dry-run --Werror src/*/*.cpp src/*/*.hpp tests/native/*.cpp
    build build/dev "$root/python"
    # clang-tidy reads each source on its own: a compilation database without unity files
    # or precompiled headers (configured only, never built).
    "$venv/bin/cmake" -S . -B build/lint -G Ninja -DPython_EXECUTABLE="$py" \
      -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" -DZENTRIX_OUTPUT_ROOT="$root/build/lint/python" \
      -DZENTRIX_UNITY=OFF -DZENTRIX_PCH=OFF >/dev/null
    "$venv/bin/clang-tidy" -p build/lint --quiet --warnings-as-errors='*' src/*/*.cpp tests/native/*.cpp
    ;;
  *)
    echo "usage: ./dev.sh {evaluate|test|bench|sanitize|lint|build|extra} [ARGS...]" >&2
    exit 2
    ;;
esac
