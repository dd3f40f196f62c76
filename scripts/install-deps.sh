#!/usr/bin/env bash
# The Debian packages the build and the tests need, by what needs them, and their installation.
#
#   scripts/install-deps.sh                  install whatever is missing of every group (CI)
#   scripts/install-deps.sh GROUP...         install whatever is missing of these groups
#   scripts/install-deps.sh --missing GROUP...   print the missing packages of these groups
#
# Installing runs apt-get only when something is missing, and only as root; otherwise the script
# prints the apt-get line to run and exits with 1. CMake's configure step asks for the groups of
# the targets it configures (cmake/Dependencies.cmake).
#
# QUORVALE_DAT_ASSUME_MISSING="pkg ..." makes the script take those packages for missing, to try
# out the paths above on a machine that has everything.
set -euo pipefail

declare -A groups=(
  [build]="cmake ninja-build g++"
  # libcpp-httplib-dev: the HTTP server of quorvale-dat serve.
  [cli]="libcli11-dev nlohmann-json3-dev libpng-dev libcpp-httplib-dev"
  # libsquish-dev: the reference the DXT decoder of the image module is tested against.
  [tests]="libgtest-dev libgmock-dev pkg-config man-db python3 libsquish-dev"
  # chromium, chromium-driver, python3-selenium: the test of serve's interface in a headless
  # browser, run by Debian's /usr/bin/python3.
  [cli-tests]="chromium chromium-driver python3-selenium"
  [bench]="libbenchmark-dev"
  # Optional: the LZ4 baseline of the decompression benchmark.
  [bench-extras]="liblz4-dev"
  [fuzz]="clang-16 libclang-rt-16-dev"
  # The Python package, for Debian's /usr/bin/python3; its tests and the pip install test.
  [python]="pybind11-dev python3-dev python3-numpy"
  [python-tests]="python3-pytest python3-pil python3-venv"
)
all_groups=(build cli tests cli-tests bench bench-extras fuzz python python-tests)

list_only=0
if [ "${1:-}" = "--missing" ]; then
  list_only=1
  shift
fi
wanted=("$@")
[ ${#wanted[@]} -eq 0 ] && wanted=("${all_groups[@]}")

packages=()
for g in "${wanted[@]}"; do
  if [ -z "${groups[$g]+set}" ]; then
    echo "install-deps.sh: unknown group '$g' (groups: ${all_groups[*]})" >&2
    exit 2
  fi
  read -r -a in_group <<<"${groups[$g]}"
  packages+=("${in_group[@]}")
done

assumed=" ${QUORVALE_DAT_ASSUME_MISSING:-} "
missing=()
for p in "${packages[@]}"; do
  case " ${missing[*]} " in *" $p "*) continue ;; esac
  if [[ "$assumed" == *" $p "* ]] ||
    ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ $list_only -eq 1 ]; then
  echo "${missing[*]}"
  exit 0
fi
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them as root (or run this script as root):" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
