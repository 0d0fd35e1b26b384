#!/usr/bin/env bash
# Installs the Debian 12 packages of the sets named (scripts/lib/packages.sh
# lists them and what each is for), or of every set.  Idempotent: does
# nothing when everything is present.  As root, or with sudo.
#
#   setup-deps.sh [SET...]     SET: demo linux tsan i686 fuzz windows windows-i686 network
#   setup-deps.sh --list       prints each set and its packages
#
# A failed package index does not stop the installation.  A package that
# cannot be installed is named in one line, with apt's reason and what will
# not run without it, and noted for the stages (build/setup/unavailable);
# the exit status is then 1, and the other packages are installed.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/packages.sh"

if [[ ${1:-} == --list ]]; then
    for set in "${package_sets[@]}"; do
        printf '%-13s %s\n' "$set" "$(set_packages "$set")"
    done
    exit 0
fi
sets=("$@")
((${#sets[@]})) || sets=("${package_sets[@]}")
for set in "${sets[@]}"; do
    set_packages "$set" >/dev/null || exit 2
done
forget_refusals "${sets[@]}"
install_sets "${sets[@]}"
