# Installs the Debian packages the build and the tests need, when missing.
# Sourced by the README's two commands.
hv_packages="wine64 libwine libwine-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  mingw-w64-tools binutils-mingw-w64 cmake ninja-build googletest g++ libsqlite3-dev sqlite3
  libxml2-utils rsyslog procps libboost1.74-dev nodejs npm chromium clang libclang-rt-14-dev
  libsystemd-dev systemd dpkg-dev file passwd git llvm"

# gcovr reads the coverage of the tests (tools/coverage-host.sh, docs/testing.md).
hv_packages="$hv_packages gcovr"

# The host's TLS for remote clients, and the openssl command its test makes
# certificates with.
hv_packages="$hv_packages libssl-dev openssl"

# wixl builds the MSI of the Windows side (packaging/msi/).
hv_packages="$hv_packages wixl"

hv_install_packages() {
  local missing=()
  for p in $hv_packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
    # A Node.js from another Debian source carries npm inside and conflicts with Debian's npm.
    [ "$p" = npm ] && command -v npm >/dev/null && continue
    missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# Configures and builds one tree: hv_build <dir> <toolchain> [cmake args...]
hv_build() {
  local dir=$1 toolchain=$2
  shift 2
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$hv_root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$hv_root/cmake/$toolchain" "$@" >/dev/null
  fi
  cmake --build "$dir"
}
