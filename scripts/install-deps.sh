#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Does nothing
# when they are all present, so a second run costs a second.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  libz-mingw-w64-dev nlohmann-json3-dev googletest
  wine wine64 xvfb
  python3 openssl ca-certificates curl osslsigncode
  g++ libssl-dev libcurl4-openssl-dev zlib1g-dev
  libsqlite3-dev libpq-dev chromium chromium-driver python3-selenium
  squid apache2-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

# Node.js and npm for the blob storage emulator (scripts/services.sh installs
# it, pinned, into the build). Looked for as commands: a Node.js from
# elsewhere brings its own npm, which Debian's npm package would conflict with.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q nodejs npm
fi

# Installs Debian packages whose installation would start and enable a
# system service (nginx on port 80, PostgreSQL's main cluster): a policy
# file keeps it from starting until this script ends, and the service is left
# disabled. Nothing of ours uses the system's services.
install_without_service() {
  local service="$1"; shift
  echo "Installing: $* (its system service stays off)"
  export DEBIAN_FRONTEND=noninteractive
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    # It refuses every service start on the machine: it goes on every way
    # out, an interrupt or a failure included.
    trap 'rm -f "$policy"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    printf '#!/bin/sh\n# Left by scripts/install-deps.sh while %s installs.\nexit 101\n' "$*" >"$policy"
    chmod +x "$policy"
  fi
  local status=0
  apt-get update -q && apt-get install -y -q "$@" || status=$?
  if [ -d /run/systemd/system ]; then
    systemctl disable --quiet "$service" 2>/dev/null || true
  fi
  [ "$status" -eq 0 ] || exit "$status"
}

# nginx, the maker's own download host, which the benchmarks serve releases
# with (scripts/nginx.sh runs it with a configuration of the run's own).
if ! command -v nginx >/dev/null && [ ! -x /usr/sbin/nginx ]; then
  install_without_service nginx nginx
fi

# PostgreSQL 15 for the log service's tests and a maker who runs several
# service instances (scripts/postgres.sh runs a server of its own); no main
# cluster is made.
if [ ! -x /usr/lib/postgresql/15/bin/initdb ]; then
  mkdir -p /etc/postgresql-common
  [ -e /etc/postgresql-common/createcluster.conf ] ||
    echo "create_main_cluster = false" >/etc/postgresql-common/createcluster.conf
  install_without_service postgresql postgresql-15
fi
