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

# The builds for other machines (i686, arm64, s390x) and their tests under
# emulation (scripts/test-cross): Debian's cross compilers, qemu-user, and
# mmdebstrap to make each machine's sysroot.
RUX_CROSS_PACKAGES=(g++-i686-linux-gnu g++-aarch64-linux-gnu g++-s390x-linux-gnu qemu-user mmdebstrap)

# Prints the URI of the first apt source of this machine that serves suite
# (bookworm, say) of the Debian archive, from /etc/apt/sources.list and
# sources.list.d (one-line and deb822 files alike); fails if none does.
rux_apt_mirror() {  # SUITE
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        case $file in
        *.sources)
            # Stanzas of Field: value lines, apart by blank lines.
            awk -v suite="$1" '
                function flush() { if (deb && uri != "" && has) { print uri; found = 1; exit } deb = 0; uri = ""; has = 0 }
                /^[ \t]*$/ { flush(); next }
                /^Types:/ { deb = ($0 ~ /[ \t]deb([ \t]|$)/) }
                /^URIs:/ { uri = $2 }
                /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) has = 1 }
                /^Enabled:[ \t]*no/ { deb = 0 }
                END { if (!found) flush() }' "$file"
            ;;
        *)
            # deb [options] URI SUITE COMPONENT...
            sed -E 's/#.*//; s/\[[^]]*\]//' "$file" | awk -v suite="$1" '$1 == "deb" && $3 == suite { print $2; exit }'
            ;;
        esac
    done | sed -n '1{s,/*$,,;p;q}' | grep .
}

# The i386 architecture and packages that an earlier 32-bit stage added to
# dpkg are taken away again: those it named (zlib1g-dev:i386 and the
# others below) and what apt installed for them. When any other i386
# package is installed (one of the machine's own), all are left alone.
RUX_OLD_I686_PACKAGES=(zlib1g-dev:i386 libdeflate-dev:i386 libgtest-dev:i386 libstdc++6:i386)
rux_drop_foreign_i386() {
    local foreign installed auto package ours=()
    foreign=$(dpkg --print-foreign-architectures)
    grep -qx i386 <<<"$foreign" || return 0
    # Whole lists first: grep -q on a pipe would stop its writer, and
    # pipefail would take that for a failure.
    installed=$(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Status}\n' 2>/dev/null |
        awk '$1 ~ /:i386$/ && $2 != "not-installed" { print $1 }')
    auto=$(apt-mark showauto 2>/dev/null)
    for package in $installed; do
        if printf '%s\n' "${RUX_OLD_I686_PACKAGES[@]}" $auto | grep -qxF "$package"; then
            ours+=("$package")
        else
            echo "Leaving the i386 architecture in dpkg: $package is installed"
            return 0
        fi
    done
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    if [ ${#ours[@]} -gt 0 ]; then
        echo "Removing the i386 packages an earlier 32-bit stage installed: ${ours[*]}"
        # libgcc-s1 and libcrypt1 are protected, for the machine's own
        # architecture; their i386 copies are not needed by anything left.
        local said
        said=$($sudo dpkg --purge --force-remove-protected "${ours[@]}" 2>&1) || { echo "$said" >&2; return 1; }
    fi
    echo "Removing the i386 architecture from dpkg"
    $sudo dpkg --remove-architecture i386
}
