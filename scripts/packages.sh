# ensure_packages PKG...: installs the Debian packages that are missing, through
# apt-get as root (or sudo); does nothing when all are there.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "Installing ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "Cannot install ${missing[*]}: run as root" >&2; return 1; }
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The native build with its unit tests and test tools; the JSON library serves both builds.
native_packages=(cmake make g++ libgtest-dev nlohmann-json3-dev)
# The Windows build (cross-compiled, GoogleTest from source) and Wine to run it.
windows_packages=(g++-mingw-w64-x86-64-posix googletest wine wine64)
# Card images with a real file system, and running as an unprivileged user.
card_image_packages=(dosfstools mtools util-linux)
# A card image with failing sectors, served through FUSE.
damaged_card_packages=(libfuse3-dev fuse3 pkg-config)
# Images and mapfiles of failing cards, made and read by the standard rescue tool.
rescue_packages=(gddrescue)
# The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
fuzz_packages=(clang libclang-rt-14-dev)
# Reading the run reports in the end-to-end tests.
report_packages=(python3)
# Building and checking the release packages.
package_packages=(dpkg-dev unzip)
