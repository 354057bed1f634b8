#!/usr/bin/env bash
# Builds the libraries the PowerPC cross build links and Debian ships no
# cross package of, into PREFIX (kept between runs: each is built once):
# zlib from Debian's source package and GoogleTest from the sources
# libgtest-dev ships in /usr/src/googletest.
#   cmake/powerpc-deps.sh PREFIX
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prefix="$(mkdir -p "$1" && cd "$1" && pwd)"
work="$prefix/src"
triple=powerpc-linux-gnu
# GoogleTest takes the project's own layout of off_t and time_t (zlib sets its
# own: the project uses no call of it that passes either).
flags="-O2 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
jobs="${JOBS:-2}"

# apt-get source needs a deb-src entry for this release. When there is none,
# one is added beside each of the release's deb entries (the same mirror,
# suites and components) in /etc/apt/sources.list.d/tarn-deb-src.*.
ensure_deb_src() {
    local lists=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
    if grep -qsE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' "${lists[@]}"; then
        # Present: its lists may still want fetching.
        apt-cache showsrc zlib 2>/dev/null | grep -q . || [ "$(id -u)" != 0 ] || apt-get update -qq
        return
    fi
    if [ "$(id -u)" != 0 ]; then
        echo "No deb-src entry for apt-get source: add one for this release, or run as root" >&2
        exit 1
    fi
    local release
    release="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    # A deb822 paragraph of the release's suites, again as deb-src.
    awk -v rel="$release" 'BEGIN { RS = ""; ORS = "\n\n" }
        /(^|\n)Types:[^\n]*deb/ && $0 ~ "(^|\n)Suites:[^\n]*[ \t]" rel "([- \t\n]|$)" {
            sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' \
        /etc/apt/sources.list.d/*.sources 2>/dev/null > /etc/apt/sources.list.d/tarn-deb-src.sources || true
    # One-line entries likewise.
    awk -v rel="$release" '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ "^" rel "(-|$)") { $1 = "deb-src"; print; next } }' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null > /etc/apt/sources.list.d/tarn-deb-src.list || true
    [ -s /etc/apt/sources.list.d/tarn-deb-src.sources ] || rm -f /etc/apt/sources.list.d/tarn-deb-src.sources
    [ -s /etc/apt/sources.list.d/tarn-deb-src.list ] || rm -f /etc/apt/sources.list.d/tarn-deb-src.list
    if ! ls /etc/apt/sources.list.d/tarn-deb-src.* >/dev/null 2>&1; then
        echo "No deb entry for $release to add a deb-src entry beside" >&2
        exit 1
    fi
    echo "Added deb-src entries for $release: $(ls /etc/apt/sources.list.d/tarn-deb-src.*)"
    apt-get update -qq
}

if [ ! -f "$prefix/include/zlib.h" ]; then   # installed last
    ensure_deb_src
    rm -rf "$work/zlib" && mkdir -p "$work/zlib"
    # The newest version a mirror serves (a security mirror may have no sources).
    fetched=""
    for v in $(apt-cache showsrc zlib | awk '/^Version:/ { print $2 }' | sort -urV); do
        if (cd "$work/zlib" && apt-get source "zlib=$v" >>apt-get.log 2>&1); then fetched=$v; break; fi
    done
    [ -n "$fetched" ] || { cat "$work/zlib/apt-get.log" >&2; exit 1; }
    src="$(find "$work/zlib" -mindepth 1 -maxdepth 1 -type d -name 'zlib-*' | head -1)"
    (cd "$src" && CC=$triple-gcc AR=$triple-ar RANLIB=$triple-ranlib CFLAGS=-O2 CHOST=$triple \
        ./configure --static --prefix="$prefix" >/dev/null && make -j"$jobs" libz.a >/dev/null && make install >/dev/null)
    echo "Built zlib for $triple into $prefix"
fi

if [ ! -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$work/googletest" -DCMAKE_TOOLCHAIN_FILE="$here/$triple.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" -DBUILD_GMOCK=OFF \
        -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
    cmake --build "$work/googletest" -j"$jobs" >/dev/null
    cmake --install "$work/googletest" >/dev/null
    echo "Built GoogleTest for $triple into $prefix"
fi
