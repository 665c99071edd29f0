# SPDX-License-Identifier: MIT
# Sourced by the scripts that keep what is slow to make between runs on one machine: Debian
# trees, the previous release's packages. Each thing kept, PATH, has a recipe beside it,
# PATH.recipe: the text that says how it was made (release, architectures, packages, the text of
# the code that made it) and a checksum of what was made. What is kept is used only while its
# recipe is the one the script would follow now, it is less than a week old and its checksum
# still holds; otherwise it is made again from nothing, and the line saying why is printed.
# shellcheck shell=sh

# Where things are kept: ORVEX_CACHE, or /var/cache/orvex.
# shellcheck disable=SC2034  # read by the scripts that source this one
cache_dir=${ORVEX_CACHE:-/var/cache/orvex}
# A week, in minutes: Debian's archives move on, and a tree older than that no longer shows
# what a user installing today would get.
cache_max_age=$((7 * 24 * 60))

# The checksum of a file; of a Debian system tree, of the packages installed in it and their
# versions (hashing its every file would take longer than most of what uses it); of any other
# folder, of every file under it (names and contents).
cache_sum() { # PATH
    if [ -f "$1/var/lib/dpkg/status" ]; then
        dpkg-query --admindir="$1/var/lib/dpkg" -W -f='${binary:Package} ${Version} ${db:Status-Status}\n' |
            LC_ALL=C sort | sha256sum | cut -d' ' -f1
    elif [ -d "$1" ]; then
        (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) | sha256sum | cut -d' ' -f1
    else
        sha256sum <"$1" | cut -d' ' -f1
    fi
}

# Succeeds when PATH may be used as it is; otherwise prints why not (to standard error) and fails.
cache_fresh() { # PATH RECIPE
    if [ ! -e "$1" ] || [ ! -f "$1.recipe" ]; then
        return 1
    fi
    if [ "$(sed '$d' "$1.recipe")" != "$2" ]; then
        echo "   $1: made by another recipe; making it again" >&2
    elif [ -n "$(find "$1.recipe" -mmin +"$cache_max_age")" ]; then
        echo "   $1: made $(date -r "$1.recipe" +%F), over a week ago; making it again" >&2
    elif [ "$(tail -n 1 "$1.recipe")" != "sha256 $(cache_sum "$1")" ]; then
        echo "   $1: changed since it was made; making it again" >&2
    else
        return 0
    fi
    return 1
}

# Records that PATH was made by RECIPE, now.
cache_made() { # PATH RECIPE
    { printf '%s\n' "$2"; echo "sha256 $(cache_sum "$1")"; } >"$1.recipe.new"
    mv "$1.recipe.new" "$1.recipe"
}

# Forgets PATH, so that the next run makes it again.
cache_drop() { # PATH
    rm -f "$1.recipe"
}
