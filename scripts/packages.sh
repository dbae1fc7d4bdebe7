# Debian packages the build, the tests and the demo need. Sourced by the other scripts.
DROSSGATE_PACKAGES=(
  cmake ninja-build g++ clang pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libqt6test6 fonts-dejavu-core
  libsqlite3-dev libgmime-3.0-dev nlohmann-json3-dev libcli11-dev uuid-dev
)

# Installs only the packages that are missing, so a prepared machine pays nothing.
drossgate_install_packages() {
  local missing=()
  local pkg
  for pkg in "${DROSSGATE_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

drossgate_build() {
  cmake --preset default
  cmake --build --preset default -j"$(nproc)"
}
