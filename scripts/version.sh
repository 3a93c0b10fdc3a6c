# shellcheck shell=bash
# Sourced by the release and packaging scripts: the one version number (the VERSION file at the
# root, four numbers: year.minor.build.revision, also Aurevia.EXE's file version) and the forms
# that the packages derive from it.

aurevia_version() {
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    head -n 1 "$root/VERSION"
}

# Windows Installer reads ProductVersion as major.minor.build (at most 255.255.65535) and ignores a
# fourth part when it compares versions. The year loses its century (2022.2.8249.63552 is
# 22.2.8249.63552), which keeps the order of years 2000 to 2255; a release that should upgrade an
# installed one must differ from it in the first three parts.
aurevia_msi_version() {
    local year minor build revision
    IFS=. read -r year minor build revision <<<"$1"
    if ! [[ "$1" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || ((year < 2000 || year > 2255 || minor > 255 ||
        build > 65535 || revision > 65535)); then
        echo "version: $1 does not fit an MSI ProductVersion (year 2000-2255, minor <= 255, parts <= 65535)" >&2
        return 1
    fi
    echo "$((year - 2000)).$minor.$build.$revision"
}

# Debian compares every part, so the version is taken as it is.
aurevia_deb_version() {
    echo "$1"
}

# A GUID that always comes out the same for the same text (name-based, from its SHA-1).
aurevia_guid_from() {
    local h
    h=$(printf '%s' "$1" | sha1sum | cut -c1-32 | tr a-f A-F)
    printf '%s-%s-5%s-%X%s-%s\n' "${h:0:8}" "${h:8:4}" "${h:13:3}" $((0x${h:16:1} & 3 | 8)) "${h:17:3}" "${h:20:12}"
}

# Where the fixed part of a Windows executable's version resource starts (it comes last in the
# file; the program's code may hold the bare signature too).
aurevia_version_resource_at() {
    local at
    at=$(LC_ALL=C grep -obUaP '\xBD\x04\xEF\xFE\x00\x00\x01\x00' "$1" | tail -n 1 | cut -d: -f1)
    if [ -z "$at" ]; then
        echo "version: no version resource in $1" >&2
        return 1
    fi
    echo "$at"
}

# The file version in a Windows executable's version resource.
aurevia_exe_version() {
    local at minor major revision build
    at=$(aurevia_version_resource_at "$1") || return 1
    read -r minor major revision build < <(od -An -tu2 -j $((at + 8)) -N 8 "$1")
    echo "$major.$minor.$build.$revision"
}
