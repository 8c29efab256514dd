# Sourced by the quick-start scripts: makes sure the Debian packages a script
# needs are installed before it builds anything.
#
#   require_packages PACKAGE...
#
# Installs what is missing with apt-get when running as root; otherwise, or
# when a package cannot be installed, stops the script with one line naming
# the packages.

require_packages() {
  local missing=() package
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "$(basename "$0"): needs a Debian system with apt-get; install these yourself: $*" >&2
    exit 1
  fi
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "${package}" 2>/dev/null | grep -q ' installed$' ||
      missing+=("${package}")
  done
  ((${#missing[@]})) || return 0

  if [[ $(id -u) -ne 0 ]]; then
    echo "$(basename "$0"): needs the Debian packages ${missing[*]}; install them (sudo apt-get install ${missing[*]}) and run it again" >&2
    exit 1
  fi

  local log
  log=$(mktemp -t kl7046-apt.XXXXXX)
  echo "Installing ${missing[*]} (apt-get output in ${log})"
  if ! apt-get update -qq >"${log}" 2>&1; then
    echo "$(basename "$0"): apt-get update failed, so ${missing[*]} cannot be installed (see ${log})" >&2
    exit 1
  fi
  local unavailable=()
  for package in "${missing[@]}"; do
    apt-cache show --no-all-versions "${package}" >/dev/null 2>&1 || unavailable+=("${package}")
  done
  if ((${#unavailable[@]})); then
    echo "$(basename "$0"): cannot install ${unavailable[*]}: not offered by the configured apt sources" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    >>"${log}" 2>&1 || true
  local failed=()
  for package in "${missing[@]}"; do
    dpkg-query -W -f='${Status}' "${package}" 2>/dev/null | grep -q ' installed$' ||
      failed+=("${package}")
  done
  if ((${#failed[@]})); then
    echo "$(basename "$0"): apt-get could not install ${failed[*]} (see ${log})" >&2
    exit 1
  fi
  rm -f "${log}"
}
