# Shared by scripts/test, scripts/demo and the benchmarks. Source it.

TAMBRIX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TAMBRIX_BUILD="${TAMBRIX_BUILD:-$TAMBRIX_ROOT/build}"
# The local update server the demo and the end-to-end tests build against.
TAMBRIX_UPDATE_PORT="${TAMBRIX_UPDATE_PORT:-18443}"
# The company proxy of the end-to-end tests (scripts/proxy-server), and the
# name under which the update server is reached through it.
TAMBRIX_PROXY_PORT="${TAMBRIX_PROXY_PORT:-18480}"
TAMBRIX_PROXY_HOST="${TAMBRIX_PROXY_HOST:-updates.tambrix.test}"

TAMBRIX_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-base-private-dev libqt6opengl6-dev qt6-qpa-plugins libgl-dev
    libarchive-dev libssl-dev zip unzip
    xvfb xdotool xclip x11-utils imagemagick fonts-dejavu-core
    nginx-light openssl curl squid
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev xz-utils osslsigncode
    wine wine64
    clang-format clang libclang-rt-14-dev
)

# Installs whatever of the list is missing (apt-get, as root or through sudo).
ensure_packages() {
    local missing=()
    local p
    for p in "${TAMBRIX_PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "Run as root or install sudo: ${missing[*]}" >&2; return 1; }
        sudo=(sudo)
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Configures and builds the tree. The installer built here trusts the local
# update server's CA and talks to it; a release build configures its own.
configure_and_build() {
    local ca
    ca="$("$TAMBRIX_ROOT/scripts/update-server" ca)"
    cmake -S "$TAMBRIX_ROOT" -B "$TAMBRIX_BUILD" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBUILD_TESTING=ON \
        -DTAMBRIX_UPDATE_BASE_URL="https://localhost:$TAMBRIX_UPDATE_PORT" \
        -DTAMBRIX_EXTRA_CA_FILE="$ca"
    cmake --build "$TAMBRIX_BUILD" --parallel
}

# Real PowerShell 7 (NuGet's .NET tool "PowerShell"), the judge of the
# installer's scripts, cached in the build tree. 7.6.10 is pinned: the newest
# release does not install on this machine's .NET SDK.
TAMBRIX_PWSH_VERSION=7.6.10
ensure_pwsh() {
    if [ "${TAMBRIX_NO_PWSH:-}" = 1 ]; then
        rm -rf "$TAMBRIX_BUILD/pwsh"
        return 0
    fi
    local pwsh="$TAMBRIX_BUILD/pwsh/pwsh"
    if [ -x "$pwsh" ] && "$pwsh" -NoProfile -Command '$PSVersionTable.PSVersion.ToString()' 2>/dev/null |
        grep -qx "$TAMBRIX_PWSH_VERSION"; then
        return 0
    fi
    if ! command -v dotnet >/dev/null; then
        echo "Real PowerShell is needed for the tests and comes from NuGet through the .NET SDK," >&2
        echo "but 'dotnet' is not on PATH. Install the .NET SDK (Debian 12: Microsoft's" >&2
        echo "packages, e.g. dotnet-sdk-8.0 or later), or run with TAMBRIX_NO_PWSH=1 to skip" >&2
        echo "only the real-PowerShell suites." >&2
        return 1
    fi
    rm -rf "$TAMBRIX_BUILD/pwsh"
    mkdir -p "$TAMBRIX_BUILD"
    DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 \
        dotnet tool install --tool-path "$TAMBRIX_BUILD/pwsh" PowerShell --version "$TAMBRIX_PWSH_VERSION"
}

# What the checkout holds besides what is committed (build/ is ignored): each
# changed or untracked file with a digest of its content, so that a run can
# tell what it left or changed. Empty outside a git checkout.
tree_state() {
    command -v git >/dev/null && git -C "$TAMBRIX_ROOT" rev-parse --git-dir >/dev/null 2>&1 ||
        return 0
    local entry digest
    git -C "$TAMBRIX_ROOT" status --porcelain=v1 -z --untracked-files=all |
        while IFS= read -r -d '' entry; do
            digest="$({ sha256sum <"$TAMBRIX_ROOT/${entry:3}"; } 2>/dev/null | cut -c1-16)" || true
            printf '%s %s\n' "${digest:-gone}" "$entry"
        done
}

# Fails, listing them, when files in the checkout outside build/ differ from
# the state given ($1, from tree_state before the run): a build or a test
# wrote where only build/ and its own temporary folders are allowed.
check_clean_tree() {
    local after left
    after="$(tree_state)"
    left="$(comm -13 <(printf '%s\n' "$1" | sort) <(printf '%s\n' "$after" | sort) | cut -c18-)"
    if [ -n "$left" ]; then
        echo "FAILED: the run left or changed these files in the checkout (outside build/):" >&2
        sed 's/^/  /' <<<"$left" >&2
        return 1
    fi
    echo "The checkout is as the run found it (outside build/)."
}
