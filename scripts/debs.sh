# SPDX-License-Identifier: MIT
# Sourced by the scripts that check and test what make deb built (rebuild-debs, piuparts-debs,
# autopkgtest-debs, test-debs): this machine's Debian release, the package version from
# debian/changelog, and the architectures of the packages in a folder.
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
version=$(dpkg-parsechangelog -S Version)

# The architectures of the orvex_VERSION_ARCH.deb files in DIR, one per line.
built_archs() { # DIR
    ls "$1"/orvex_"$version"_*.deb | sed 's/.*_\([a-z0-9]*\)\.deb$/\1/'
}
