#!/usr/bin/env bash
# Installs the Debian packages that building and testing Osk Server need. Does nothing when they
# are all there, so it is safe to run before every build; registers the ODBC driver each time (the
# registration leaves an existing one alone).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkgconf
  qt6-base-dev qt6-translations-l10n qt6-httpserver-dev qt6-websockets-dev openssl
  libsqlite3-dev libsodium-dev libssl-dev
  unixodbc-dev tdsodbc odbcinst
  libsqliteodbc
  clang-format
  git iproute2
  fonts-dejavu-core fonts-liberation2
  clang libclang-rt-dev
  file dpkg-dev
  chromium chromium-driver python3-selenium libjs-chart.js
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  "$(dirname "$0")/register-odbc-driver.sh"
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

# The SQL Server engine connects through the driver name "SQL Server"; FreeTDS's driver takes that
# name unless a driver of that name is already installed.
"$(dirname "$0")/register-odbc-driver.sh"
