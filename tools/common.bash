# Shared by tools/test and tools/example (sourced, not run): messages, Debian
# packages, finding the CPythons on this machine, and per-version venvs.
# The caller has already done `set -euo pipefail` and cd'ed to the repo root.

export DEBIAN_FRONTEND=noninteractive
export PIP_DISABLE_PIP_VERSION_CHECK=1

say() { printf '%s\n' "$*"; }
warn() { printf '%s: warning: %s\n' "${0##*/}" "$*" >&2; }
die() { printf '%s: error: %s\n' "${0##*/}" "$*" >&2; exit 1; }

# Debian packages

# How to run a command as root: directly, through sudo, or not at all. sudo
# may ask for a password only when someone is at the terminal to answer it.
AS_ROOT=()
CAN_BE_ROOT=1
if ((EUID != 0)); then
    if ! command -v sudo >/dev/null; then
        CAN_BE_ROOT=0
    elif [[ -t 0 ]]; then
        AS_ROOT=(sudo)
    elif sudo -n true 2>/dev/null; then
        AS_ROOT=(sudo -n)
    else
        CAN_BE_ROOT=0
    fi
fi

APT_UPDATED=0

# Run apt-get as root, never prompting; wait for another apt to finish
# rather than fail on its lock.
apt_get() {
    "${AS_ROOT[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get -q -y -o DPkg::Lock::Timeout=300 "$@"
}

package_installed() {
    [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" == \
        "install ok installed" ]]
}

# Install the named packages that are missing. Returns non-zero if any of
# them could not be installed (no root, no network, unknown name).
apt_install() {
    local missing=() pkg failed=0
    for pkg in "$@"; do
        package_installed "$pkg" || missing+=("$pkg")
    done
    ((${#missing[@]})) || return 0
    if ((!CAN_BE_ROOT)); then
        warn "cannot install ${missing[*]}: not root and no usable sudo"
        return 1
    fi
    say "Installing Debian packages: ${missing[*]}"
    if ((!APT_UPDATED)); then
        apt_get update >/dev/null || warn "apt-get update failed"
        APT_UPDATED=1
    fi
    if ! apt_get install --no-install-recommends "${missing[@]}" >/dev/null
    then
        # One unknown name fails the whole call: try the rest one by one.
        for pkg in "${missing[@]}"; do
            apt_get install --no-install-recommends "$pkg" >/dev/null ||
                { warn "could not install $pkg"; failed=1; }
        done
    fi
    return "$failed"
}

# What building the module needs from Debian: libstemmer's header and
# library, and a C++ compiler. CMake and ninja come from PyPI when missing.
ensure_build_packages() {
    local needed=()
    [[ -e /usr/include/libstemmer.h ]] || needed+=(libstemmer-dev)
    command -v c++ >/dev/null || command -v g++ >/dev/null || needed+=(g++)
    ((${#needed[@]})) || return 0
    apt_install "${needed[@]}" ||
        die "could not install ${needed[*]}; as root run:" \
            "apt-get install ${needed[*]}"
}

# CPythons

# Print one line per CPython >= 3.11 found, oldest version first:
#   KEY<TAB>VERSION<TAB>BASE_PREFIX<TAB>EXECUTABLE
# KEY is MAJOR.MINOR (with a "t" for free-threaded builds) and names the
# venv. pyenv's versions are looked at first, newest first, then python3.X on
# PATH; the first interpreter found for a KEY wins.
find_pythons() {
    local probe candidates=() path_dirs=() dir name seen=" " key version base
    local exe
    probe='import platform, sys, sysconfig
if platform.python_implementation() == "CPython" and sys.version_info >= (3, 11):
    t = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    v = sys.version_info
    print(f"{v[0]}.{v[1]}{t}\t{platform.python_version()}\t"
          f"{sys.base_prefix}\t{sys.executable}")'
    while IFS= read -r dir; do
        candidates+=("$dir/bin/python3")
    done < <(compgen -G "${PYENV_ROOT:-$HOME/.pyenv}/versions/*" |
             sort -V -r)
    IFS=: read -r -a path_dirs <<<"$PATH"
    for dir in "${path_dirs[@]}"; do
        for name in "${dir:-.}"/python3.*; do
            [[ ${name##*/} =~ ^python3\.[0-9]+$ ]] && candidates+=("$name")
        done
    done
    for exe in "${candidates[@]}"; do
        [[ -x $exe ]] || continue
        # pyenv's shims fail for versions that are not selected; skip them,
        # and anything else that does not run.
        timeout 30 "$exe" -I -c "$probe" 2>/dev/null </dev/null || true
    done | while IFS=$'\t' read -r key version base exe; do
        [[ $seen == *" $key "* ]] && continue
        seen+="$key "
        printf '%s\t%s\t%s\t%s\n' "$key" "$version" "$base" "$exe"
    done | sort -V
}

# Debian splits its own Pythons: the venv module and the headers that the
# build needs come in python3.X-venv and python3.X-dev. Install them when
# EXE is a Debian Python that lacks them; other builds (pyenv's) have both.
ensure_python_packages() {
    local exe=$1 version=$2 minor=${2%.*}
    [[ $exe == /usr/bin/* ]] || return 0
    "$exe" -I -c 'import ensurepip, os, sysconfig, venv
os.stat(os.path.join(sysconfig.get_path("include"), "Python.h"))' \
        >/dev/null 2>&1 </dev/null && return 0
    apt_install "python$minor-venv" "python$minor-dev" ||
        warn "Python $version may lack venv or its headers"
}

# Make the venv DIR from the interpreter EXE, or reuse it when it already
# runs that interpreter (same version, same base installation).
ensure_venv() {
    local dir=$1 exe=$2 version=$3 base=$4 have
    if [[ -x $dir/bin/python ]]; then
        have=$("$dir/bin/python" -I -c \
            'import platform, sys; print(platform.python_version(), sys.base_prefix)' \
            2>/dev/null </dev/null) || have=
        [[ $have == "$version $base" ]] && return 0
        say "Recreating $dir for Python $version"
    fi
    "$exe" -m venv --clear "$dir"
}
