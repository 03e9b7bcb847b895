#!/usr/bin/env bash
# Sets up a Debian 12 machine for Corvane: the Debian packages of both builds, then, once, the
# Windows builds of OpenSSL's libcrypto, a static Schannel libcurl and libsecp256k1 in .deps/win64.
# Safe to run again: installed packages and finished libraries (stamp files) are skipped.
# With --native only the Debian packages are installed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

PACKAGES=(
    build-essential cmake make pkg-config perl autoconf automake libtool git ca-certificates
    libssl-dev libcurl4-openssl-dev nlohmann-json3-dev libcpp-httplib-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev libsecp256k1-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
    wine wine64 xvfb xauth dpkg-dev
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive

apt_updated=0
apt_update() {
    if [ "$apt_updated" -eq 0 ]; then
        $SUDO apt-get update -q
        apt_updated=1
    fi
}

missing_packages() {
    local p
    for p in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            echo "$p"
        fi
    done
}

install_packages() {
    local missing
    missing="$(missing_packages)"
    if [ -z "$missing" ]; then
        echo "== Debian packages: all present"
        return
    fi
    echo "== installing Debian packages:" $missing
    apt_update
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -q $missing
}

# apt-get source needs source indexes; Debian 12 images list binary ones only.
CODENAME="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
SRC_LIST=/etc/apt/sources.list.d/corvane-deb-src.sources

has_deb_src() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        if grep -Eq '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' "$f" &&
            grep -Eq "(^|[[:space:]])$CODENAME([[:space:]]|$)" "$f"; then
            return 0
        fi
    done
    return 1
}

# Adds source indexes from the same Debian mirrors the machine already uses for packages.
ensure_deb_src() {
    if has_deb_src; then
        return
    fi
    echo "== adding Debian source indexes"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -E 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $SUDO tee "$SRC_LIST" >/dev/null
    elif grep -Eqs '^deb[[:space:]].*debian' /etc/apt/sources.list; then
        grep -E '^deb[[:space:]].*debian' /etc/apt/sources.list | sed -E 's/^deb[[:space:]]/deb-src /' |
            $SUDO tee "${SRC_LIST%.sources}.list" >/dev/null
    else
        $SUDO tee "$SRC_LIST" >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $CODENAME $CODENAME-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $CODENAME-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    fi
    apt_updated=0
}

# Downloads and unpacks the Debian source of a package (with Debian's patches) into
# .deps/src/<name> and sets SRC_DIR to it. Tries the newest source version first and falls back to
# older ones, since a mirror may lack part of the newest upload.
fetch_source() {
    local name="$1" dl="$CORVANE_DEPS/src/download" dsc="" version
    mkdir -p "$dl"
    dsc="$(ls "$dl"/"${name}"_*.dsc 2>/dev/null | sort -V | tail -n 1 || true)"
    if [ -z "$dsc" ]; then
        ensure_deb_src
        apt_update
        for version in $(apt-cache madison "$name" | awk -F'|' '$3 ~ /Sources/ { gsub(/ /, "", $2); print $2 }' |
            sort -rV); do
            echo "== fetching the source of $name $version"
            # (As root apt warns that its unprivileged user cannot write here; it downloads anyway.)
            (cd "$dl" && apt-get source --download-only -q "$name=$version") 2>&1 |
                grep -Ev 'unsandboxed as root|^NOTICE:|salsa.debian.org|^Please use:|^to retrieve' || true
            dsc="$dl/${name}_${version#*:}.dsc"
            [ -f "$dsc" ] && break
            dsc=""
        done
        if [ -z "$dsc" ]; then
            echo "error: could not download the Debian source of $name" >&2
            exit 1
        fi
    fi
    SRC_DIR="$CORVANE_DEPS/src/$name"
    rm -rf "$SRC_DIR"
    dpkg-source --no-check -x "$dsc" "$SRC_DIR" >/dev/null
}

# Runs a build step with its output in a log file; shows the log's end when the step fails.
logged() {
    local log="$1"
    shift
    if ! "$@" >>"$log" 2>&1; then
        echo "error: failed: $* (end of $log follows)" >&2
        tail -n 40 "$log" >&2
        return 1
    fi
}

build_openssl() {
    local stamp="$CORVANE_WIN_PREFIX/.stamp-openssl" log="$CORVANE_DEPS/src/openssl.log"
    if [ -f "$stamp" ]; then
        echo "== OpenSSL for Windows: already built"
        return
    fi
    echo "== building OpenSSL libcrypto for Windows (log: $log)"
    fetch_source openssl
    : >"$log"
    cd "$SRC_DIR"
    logged "$log" ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- no-shared no-tests no-engine \
        no-dso no-module --prefix="$CORVANE_WIN_PREFIX" --libdir=lib
    # Only libcrypto: the generated headers first, then the archive.
    logged "$log" make -j "$CORVANE_JOBS" build_generated
    logged "$log" make -j "$CORVANE_JOBS" libcrypto.a
    mkdir -p "$CORVANE_WIN_PREFIX/include/openssl" "$CORVANE_WIN_PREFIX/lib"
    cp include/openssl/*.h "$CORVANE_WIN_PREFIX/include/openssl/"
    cp libcrypto.a "$CORVANE_WIN_PREFIX/lib/"
    cd "$CORVANE_ROOT"
    touch "$stamp"
}

# A connection whose TLS handshake never completed is closed without a close notify: Wine's
# Schannel sometimes crashes when asked for one on a half-made context, and the peer of a broken
# handshake expects none. The context is still deleted.
patch_schannel_shutdown() {
    local file=lib/vtls/schannel.c
    sed -i 's/^  if(backend->cred && backend->ctxt) {$/  if(backend->cred \&\& backend->ctxt \&\& connssl->state == ssl_connection_complete) {/' "$file"
    if ! grep -q 'backend->ctxt && connssl->state == ssl_connection_complete) {' "$file"; then
        echo "error: could not change the Schannel shutdown of curl" >&2
        return 1
    fi
}

build_curl() {
    # The stamp names the last change of this recipe, so that a tree built by an older one is built again.
    local stamp="$CORVANE_WIN_PREFIX/.stamp-curl-unfinished-handshake" log="$CORVANE_DEPS/src/curl.log"
    if [ -f "$stamp" ]; then
        echo "== curl for Windows: already built"
        return
    fi
    echo "== building static libcurl with Schannel for Windows (log: $log)"
    fetch_source curl
    : >"$log"
    cd "$SRC_DIR"
    # The series ends with two patches that rename the library for Debian's NSS and GnuTLS
    # flavours; Debian's own build takes them off again, and so do we.
    logged "$log" patch -R -p1 -i debian/patches/99_nss.patch
    logged "$log" patch -R -p1 -i debian/patches/90_gnutls.patch
    patch_schannel_shutdown
    # Other patches change configure.ac and Makefile.am, so the generated files are stale.
    logged "$log" autoreconf -fi
    logged "$log" ./configure --host=x86_64-w64-mingw32 --prefix="$CORVANE_WIN_PREFIX" \
        CC=x86_64-w64-mingw32-gcc-posix \
        --disable-shared --enable-static --with-schannel --without-openssl \
        --enable-http --disable-ftp --disable-file --disable-ldap --disable-ldaps --disable-rtsp \
        --disable-dict --disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-smb \
        --disable-smtp --disable-gopher --disable-mqtt --disable-manual --disable-ntlm-wb \
        --without-libpsl --without-zlib --without-brotli --without-zstd --without-libidn2 \
        --without-winidn --without-nghttp2 --without-ngtcp2 --without-nghttp3 --without-librtmp \
        --without-libssh2 --without-libssh --without-libgsasl
    logged "$log" make -j "$CORVANE_JOBS" -C lib
    logged "$log" make -C lib install
    logged "$log" make -C include install
    logged "$log" make install-pkgconfigDATA install-binSCRIPTS
    cd "$CORVANE_ROOT"
    touch "$stamp"
}

build_secp256k1() {
    local stamp="$CORVANE_WIN_PREFIX/.stamp-secp256k1" log="$CORVANE_DEPS/src/secp256k1.log"
    if [ -f "$stamp" ]; then
        echo "== libsecp256k1 for Windows: already built"
        return
    fi
    echo "== building static libsecp256k1 for Windows (log: $log)"
    fetch_source libsecp256k1
    : >"$log"
    cd "$SRC_DIR"
    # The upstream tarball carries no generated build files; Debian's own build makes them too.
    logged "$log" autoreconf -fi
    # The recovery module serves the signed-message signatures; the library's own test and
    # benchmark programs are not needed.
    logged "$log" ./configure --host=x86_64-w64-mingw32 --prefix="$CORVANE_WIN_PREFIX" \
        CC=x86_64-w64-mingw32-gcc-posix \
        --disable-shared --enable-static --enable-module-recovery \
        --disable-tests --disable-benchmark --disable-exhaustive-tests
    logged "$log" make -j "$CORVANE_JOBS"
    logged "$log" make install
    cd "$CORVANE_ROOT"
    touch "$stamp"
}

copy_json_header() {
    if [ ! -f "$CORVANE_WIN_PREFIX/include/nlohmann/json.hpp" ]; then
        mkdir -p "$CORVANE_WIN_PREFIX/include"
        cp -r /usr/include/nlohmann "$CORVANE_WIN_PREFIX/include/"
    fi
}

install_packages
if [ "${1:-}" = "--native" ]; then
    exit 0
fi
mkdir -p "$CORVANE_WIN_PREFIX"
build_openssl
build_curl
build_secp256k1
copy_json_header
echo "== dependencies ready in $CORVANE_WIN_PREFIX"
