# Installs the Debian packages given as arguments that are not installed
# yet. Sourced by the scripts; needs root (or sudo) only when something is
# missing.
rux_install_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    # A package of another architecture (zlib1g-dev:i386) needs that
    # architecture added to dpkg before the package lists are fetched.
    local arch
    for package in "${missing[@]}"; do
        [[ $package == *:* ]] || continue
        arch=${package##*:}
        [ "$arch" = "$(dpkg --print-architecture)" ] && continue
        grep -qx "$arch" <<<"$(dpkg --print-foreign-architectures)" || $sudo dpkg --add-architecture "$arch"
    done
    # A mirror caught mid-sync fails an index now and then: try again, and
    # if it keeps failing go on with the lists there are; the install
    # itself says what is missing.
    local try
    for try in 1 2 3 4; do
        $sudo apt-get update -q >/dev/null && break
        [ "$try" = 4 ] || sleep $((try * 15))
    done
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# The one list of what each build needs. Every script installs from here
# exactly what the build it configures needs.
#
# The programs and the library: rux-extract, rux-pack, librux (zlib).
RUX_CORE_PACKAGES=(cmake make g++ zlib1g-dev)
# The optional parts, each built when its packages are there: libdeflate
# (the faster inflation back end); rux-mount (libfuse3-dev through
# pkg-config; fuse3's fusermount3 unmounts); the Python package (Debian's
# interpreter headers and pybind11).
RUX_LIBDEFLATE_PACKAGES=(libdeflate-dev)
RUX_MOUNT_PACKAGES=(pkg-config libfuse3-dev fuse3)
RUX_PYTHON_BUILD_PACKAGES=(python3-dev pybind11-dev)
# Everything, optional parts included, without the tests: what scripts/demo builds.
RUX_FULL_PACKAGES=("${RUX_CORE_PACKAGES[@]}" "${RUX_LIBDEFLATE_PACKAGES[@]}" "${RUX_MOUNT_PACKAGES[@]}"
    "${RUX_PYTHON_BUILD_PACKAGES[@]}")

# What every build with its tests needs: all the parts and GoogleTest.
RUX_BUILD_PACKAGES=("${RUX_FULL_PACKAGES[@]}" libgtest-dev)

# The Python package's tests: pytest for /usr/bin/python3, and venv (with
# the pip it bundles) to install the package into another interpreter's
# environment, offline.
RUX_PYTHON_PACKAGES=("${RUX_PYTHON_BUILD_PACKAGES[@]}" python3-pytest python3-venv)

# Checking the installed library and the Debian packages: pkg-config,
# dpkg-shlibdeps (for the packages' Depends), file, nm and readelf, and
# Debian's lintian; gzip compresses the packages' pages and changelog.
RUX_PACKAGE_PACKAGES=(pkg-config dpkg-dev file binutils lintian gzip)

# The benchmark programs need Google Benchmark; scripts/bench also needs the
# tools it compares against (unzip and bsdtar for extraction; zip, pigz and
# 7-Zip for packing), and GNU time for peak memory.
RUX_BENCH_BUILD_PACKAGES=(libbenchmark-dev)
RUX_BENCH_PACKAGES=(zip unzip libarchive-tools time python3 pigz 7zip)

# What the fuzz target needs: clang and its sanitizer and libFuzzer runtimes.
RUX_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

# The Windows builds and their tests under Wine: the MinGW-w64 cross
# compilers (posix and win32 thread models), zlib for them, GoogleTest's
# sources, and the 64-bit Wine loader.
RUX_WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev googletest wine64)

# The 32-bit Linux build and its tests under emulation: the i686 cross
# compiler, the i386 multiarch libraries it links (and libstdc++ to run
# them), and qemu-user.
RUX_I686_PACKAGES=(g++-i686-linux-gnu zlib1g-dev:i386 libdeflate-dev:i386 libgtest-dev:i386 libstdc++6:i386 qemu-user)
