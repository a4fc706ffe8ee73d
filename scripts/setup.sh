#!/usr/bin/env bash
# Installs what building and testing quarn needs, skipping what is already there.
set -euo pipefail

debs=(g++ cmake ninja-build pkg-config libre2-dev libisal-dev nlohmann-json3-dev libutf8proc-dev
      libgtest-dev libgmock-dev clang-format clang libclang-rt-14-dev)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

py=${PYTHON:-python3}
want=()
"$py" -c 'import nanobind' 2>/dev/null || want+=("nanobind>=2.0")
"$py" -c 'import scikit_build_core' 2>/dev/null || want+=("scikit-build-core>=0.10")
"$py" -c 'import pytest' 2>/dev/null || want+=("pytest")
"$py" -c 'import hypothesis' 2>/dev/null || want+=("hypothesis")
if [ ${#want[@]} -gt 0 ]; then
  "$py" -m pip install -q "${want[@]}"
fi
