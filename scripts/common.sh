# Shared by scripts/test, scripts/demo and the benchmarks. Source it.

TAMBRIX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TAMBRIX_BUILD="${TAMBRIX_BUILD:-$TAMBRIX_ROOT/build}"
# The local update server the demo and the end-to-end tests build against.
TAMBRIX_UPDATE_PORT="${TAMBRIX_UPDATE_PORT:-18443}"

TAMBRIX_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev qt6-qpa-plugins libgl-dev
    libarchive-dev zip unzip
    xvfb xdotool x11-utils imagemagick fonts-dejavu-core
    nginx-light openssl curl
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev xz-utils
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
