# SPDX-License-Identifier: MIT
# Sourced by the scripts that check and test what make deb built (rebuild-debs, piuparts-debs,
# autopkgtest-debs, test-debs): this machine's Debian release, the package version from
# debian/changelog, and the architectures of the packages in a folder.
# shellcheck shell=sh
# The machine's own file, not the tree's; release is read by the scripts that source this one.
# shellcheck source=/dev/null disable=SC2034
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
version=$(dpkg-parsechangelog -S Version)

# The architectures of the orvex_VERSION_ARCH.deb files in DIR, one per line.
built_archs() { # DIR
    find "$1" -maxdepth 1 -name "orvex_${version}_*.deb" | sort | sed 's/.*_\([a-z0-9]*\)\.deb$/\1/'
}
