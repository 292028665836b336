# What the project's shell scripts share. Sourced from the tree's root
# (`source scripts/lib.sh`); it defines the names below and runs nothing.
#
#   PYTHON                          the interpreter to build and test with
#   run_stage NAME COMMAND [ARG...] one stage: run, timed, its result kept
#   stage_summary TITLE             the kept results; fails if a stage failed
#   STAGE_LOGS                      where the outermost stages' output goes
#   start_lane LOG FUNCTION         FUNCTION's stages in the background
#   join_lane                       waits for them, prints LOG, keeps results
#   fresh_venv PY DIR [PIP-ARG...]  a new virtual environment
#   tools_venv DIR TOOL==VER...     pinned tools, kept while the pins hold
#   ARM64_TESTS                     what Debian's arm64 CPython runs
#   arm64_pip_install DIR REQ...    packages for that interpreter
#   arm64_pytest SYSROOT PYTHONPATH ARM64_TESTS on that interpreter

PYTHON=${PYTHON:-python3}

##############
### Stages ###
##############
_stage_results=()
_stages_failed=0
# CI shows only the end of a run's output, so the summary repeats the end of
# each failed stage's; stages inside stages are in their parent's log.
STAGE_LOGS=${STAGE_LOGS:-$PWD/build/stage-logs}

_stage_log() { echo "$STAGE_LOGS/$(echo "$1" | tr -c 'A-Za-z0-9.\n' _).log"; }
_stage_body() (
  set -e
  "$@"
)

# run_stage NAME COMMAND [ARG...]: prints "== NAME", runs COMMAND in a
# subshell with errexit on (its first failing command fails the stage) and
# keeps "NAME: passed|FAILED (time)" for stage_summary. Returns COMMAND's
# status, so under the caller's own errexit a failed stage ends the caller.
# Call it as a plain command, not in a condition: bash ignores errexit in
# everything a condition runs.
run_stage() {
  local name=$1 start status errexit=0 result=passed
  shift
  echo "== $name"
  start=$(date +%s)
  [[ $- != *e* ]] || errexit=1
  set +e
  if [ -z "${_STAGE_NESTED:-}" ]; then
    mkdir -p "$STAGE_LOGS"
    _STAGE_NESTED=1 _stage_body "$@" > >(tee "$(_stage_log "$name")") 2>&1
    status=$?
    # tee's last lines before the next stage's; a daemon the stage left
    # holding the pipe (wineserver lingers) is not waited for long.
    local tee=$! i
    for i in {1..50}; do kill -0 $tee 2>/dev/null && sleep 0.1 || break; done
  else
    _stage_body "$@"
    status=$?
  fi
  [ $errexit = 0 ] || set -e
  if [ $status != 0 ]; then
    result=FAILED
    _stages_failed=$((_stages_failed + 1))
  fi
  _stage_results+=("  $name: $result ($(($(date +%s) - start))s)")
  return $status
}

# stage_summary TITLE: prints the last lines of each failed outermost
# stage's output, then "== TITLE" and each stage's result in the order they
# ran; fails if any of them failed.
stage_summary() {
  local line name log
  for line in "${_stage_results[@]}"; do
    [[ -z ${_STAGE_NESTED:-} && $line == *": FAILED ("* ]] || continue
    name=${line#  } && name=${name%: FAILED (*}
    log=$(_stage_log "$name")
    [ -f "$log" ] || continue
    echo "== the end of $name's output ($log)"
    tail -n 40 "$log"
  done
  echo "== $1"
  printf '%s\n' "${_stage_results[@]}"
  [ $_stages_failed = 0 ]
}

# start_lane LOG FUNCTION: runs FUNCTION, which calls run_stage, in the
# background with its output in LOG. Most stages keep one core of two busy,
# so two of them side by side take little longer than one.
start_lane() {
  _lane_log=$1
  echo "== stages beside the ones below ($2), their output in $1"
  (
    _stage_results=()
    _stages_failed=0
    set +e
    "$2"
    printf '%s\n' "${_stage_results[@]}" >"$_lane_log.results"
    exit $_stages_failed
  ) >"$_lane_log" 2>&1 &
  _lane_pid=$!
}

# join_lane: waits for the lane, prints its output and keeps its results
# after the ones so far.
join_lane() {
  local status=0
  wait "$_lane_pid" || status=$?
  cat "$_lane_log"
  if [ -e "$_lane_log.results" ]; then
    mapfile -t -O ${#_stage_results[@]} _stage_results <"$_lane_log.results"
  else
    _stage_results+=("  stages in $_lane_log: FAILED (ended early)")
    status=1
  fi
  [ $status = 0 ] || _stages_failed=$((_stages_failed + 1))
}

############################
### Virtual environments ###
############################
# fresh_venv PY DIR [PIP-ARG...]: a new virtual environment of interpreter PY
# in DIR (whatever was there is removed) with pip upgraded, then
# `pip install -q PIP-ARG...` into it when there are any.
fresh_venv() {
  local py=$1 dir=$2
  shift 2
  rm -rf "$dir" && "$py" -m venv "$dir" &&
    "$dir/bin/python" -m pip install -q --upgrade pip &&
    { [ $# = 0 ] || "$dir/bin/python" -m pip install -q "$@"; }
}

# tools_venv DIR TOOL==VERSION...: a virtual environment of $PYTHON in DIR
# holding these pinned tools. Kept between runs (DIR/.tools records the
# pins it was made with) and made afresh when the pins change.
tools_venv() {
  local dir=$1
  shift
  [ "$(cat "$dir/.tools" 2>/dev/null)" != "$*" ] || return 0
  fresh_venv "$PYTHON" "$dir" "$@" && echo "$*" >"$dir/.tools"
}

##############################
### Debian's arm64 CPython ###
##############################
# The Python tests that Debian's arm64 CPython 3.11 (scripts/arm64-python.sh)
# runs under qemu-aarch64: those of the four functions. The getrandom fault
# tests preload a shim built for the host's processor, which the emulated
# interpreter cannot load.
ARM64_TESTS=(tests/python/test_gensalt.py tests/python/test_hashpw.py tests/python/test_kdf.py
  tests/python/test_binding.py -k "not getrandom")

# arm64_pip_install DIR REQUIREMENT...: installs the requirements (names or
# wheel files) into DIR for that interpreter, binary wheels only, with
# $PYTHON's pip.
arm64_pip_install() {
  local dir=$1
  shift
  PIP_ROOT_USER_ACTION=ignore "$PYTHON" -m pip install -q --target "$dir" --only-binary=:all: \
    --implementation cp --python-version 3.11 --platform manylinux_2_28_aarch64 \
    --platform manylinux2014_aarch64 "$@"
}

# arm64_pytest SYSROOT PYTHONPATH: runs ARM64_TESTS with the interpreter of
# SYSROOT, which imports quorlix and the test tools from PYTHONPATH.
arm64_pytest() {
  PYTHONPATH=$2 PYTHONPYCACHEPREFIX=$1/pycache "$1/python3" -m pytest -q -p no:cacheprovider \
    "${ARM64_TESTS[@]}"
}
