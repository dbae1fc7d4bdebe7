# Debian packages the build, the tests and the demo need. Sourced by the other scripts.
DROSSGATE_PACKAGES=(
  cmake ninja-build g++ clang pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libqt6test6 fonts-dejavu-core
  libsqlite3-dev libgmime-3.0-dev nlohmann-json3-dev libcli11-dev uuid-dev
  libldap-dev
  # The relay's SMTP client; the IMAP service's TLS and password hashes.
  libcurl4-openssl-dev libssl-dev libcrypt-dev
  # A private directory server for the directory tests; the system's own service stays off.
  slapd ldap-utils
  # Python's standard library is the independent client of the mail-service tests, and a
  # private Postfix instance the mail server in front of them.
  python3 postfix
  # Mail clients the IMAP service is tried with (mutt inside tmux, as a person uses it).
  isync mutt tmux
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
  # Packages with a service (slapd, Postfix, Dovecot) must not start it: the tests and the
  # benchmarks run their own instances. A policy-rc.d that is already there (container images
  # ship one) is left as it is.
  local policy=/usr/sbin/policy-rc.d made_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    made_policy=1
  fi
  # Postfix installs unconfigured: the tests run their own instances, never the system's.
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  local status=0
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" ||
    status=$?
  [ -z "$made_policy" ] || $sudo rm -f "$policy"
  # Should the service have started all the same (a policy-rc.d that allows it, a systemd
  # trigger), stop the server this install brought; one that was there before is left alone.
  local service
  for service in postfix:postfix dovecot-core:dovecot; do
    if [[ " ${missing[*]} " == *" ${service%%:*} "* ]] && [ -d /run/systemd/system ] &&
      systemctl is-active --quiet "${service#*:}" 2>/dev/null; then
      $sudo systemctl stop "${service#*:}" || true
    fi
  done
  if [[ " ${missing[*]} " == *" slapd "* ]]; then
    if [ -d /run/systemd/system ] && systemctl is-active --quiet slapd 2>/dev/null; then
      $sudo systemctl stop slapd || true
    elif [ -s /run/slapd/slapd.pid ] && $sudo kill -0 "$(cat /run/slapd/slapd.pid)" 2>/dev/null; then
      $sudo service slapd stop || true
    fi
  fi
  return "$status"
}

drossgate_build() {
  cmake --preset default
  cmake --build --preset default -j"$(nproc)"
}
