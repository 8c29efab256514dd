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

# The 32-bit builds run their tests as i386 programs. Some kernels, or the
# sandboxes they run in, refuse to execute those; there, as root, Debian's
# qemu-user-static runs them through binfmt_misc, and i386_emulated is set.
# Needs g++-multilib.
#
#   require_i386_programs
require_i386_programs() {
  local probe
  probe=$(mktemp -t kl7046-i386.XXXXXX)
  if ! echo 'int main(void) { return 0; }' | gcc -m32 -x c - -o "${probe}"; then
    rm -f "${probe}"
    echo "$(basename "$0"): cannot build a 32-bit x86 program; is g++-multilib installed?" >&2
    exit 1
  fi
  if "${probe}" 2>/dev/null; then
    rm -f "${probe}"
    # A binfmt_misc entry for i386 programs takes them before the kernel's own
    # loader does, so an emulator registered earlier is what runs them.
    if [[ $(head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null) == enabled ]]; then
      i386_emulated=1
    fi
    return 0
  fi
  if [[ $(id -u) -ne 0 ]]; then
    rm -f "${probe}"
    echo "$(basename "$0"): this kernel does not run 32-bit x86 programs; as root the script would run them with qemu-user-static" >&2
    exit 1
  fi
  require_packages qemu-user-static
  local binfmt=/proc/sys/fs/binfmt_misc
  [[ -e ${binfmt}/register ]] || mount -t binfmt_misc binfmt_misc "${binfmt}"
  if [[ ! -e ${binfmt}/qemu-i386 ]]; then
    # An i386 ELF executable: class 32-bit, little-endian, type EXEC or DYN, machine 3.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      >"${binfmt}/register"
  fi
  echo 1 >"${binfmt}/qemu-i386"
  if ! "${probe}"; then
    rm -f "${probe}"
    echo "$(basename "$0"): 32-bit x86 programs do not run here, even through qemu-i386-static" >&2
    exit 1
  fi
  rm -f "${probe}"
  i386_emulated=1
  echo "32-bit x86 programs run through qemu-i386-static here (this kernel does not run them itself)"
}
