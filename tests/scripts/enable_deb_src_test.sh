#!/usr/bin/env bash
# Runs scripts/enable-deb-src.sh against apt configuration folders built in a
# temporary folder, one per source layout a Debian machine may have, and
# checks the deb-src entries it writes, its exit code, and that a second run
# adds nothing.
set -uo pipefail
script=$(cd "$(dirname "$0")/../../scripts" && pwd)/enable-deb-src.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL [$case]: $*"; failures=$((failures + 1)); }

# Each layout writes its files below $apt; expect_sources and expect_list are
# what qvxsvh-deb-src.sources and qvxsvh-deb-src.list must hold ("" for no
# file), expect_rc the exit code.
layout_deb822() {
    cat >"$apt/sources.list.d/debian.sources" <<'X'
# Modernized from /etc/apt/sources.list
Types: deb
URIs: http://deb.example.org/debian/
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://security.example.org/debian-security/
Suites: bookworm-security
Components: main
Enabled: no
X
    expect_rc=0 expect_list=""
    expect_sources='Types: deb-src
URIs: http://deb.example.org/debian/
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg'
}

layout_one_line_parts() {
    cat >"$apt/sources.list.d/debian.list" <<'X'
# one-line entries in a parts file
deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.example.org/debian bookworm main
deb [ arch=amd64 ] http://deb.example.org/debian bookworm-updates main non-free-firmware # trailing note
#deb http://old.example.org/debian bullseye main
X
    # A disabled file and a commented entry are not sources.
    echo "deb http://disabled.example.org/debian bookworm main" \
        >"$apt/sources.list.d/extra.list.disabled-by-upgrade"
    expect_rc=0 expect_sources=""
    expect_list='deb-src [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.example.org/debian bookworm main
deb-src [ arch=amd64 ] http://deb.example.org/debian bookworm-updates main non-free-firmware'
}

layout_sources_list() {
    cat >"$apt/sources.list" <<'X'
deb http://deb.example.org/debian bookworm main
deb http://deb.example.org/debian bookworm main
  deb http://security.example.org/debian-security bookworm-security main
X
    expect_rc=0 expect_sources=""
    expect_list='deb-src http://deb.example.org/debian bookworm main
deb-src http://security.example.org/debian-security bookworm-security main'
}

layout_has_deb_src_deb822() {
    cat >"$apt/sources.list.d/debian.sources" <<'X'
Types: deb deb-src
URIs: http://deb.example.org/debian
Suites: bookworm
Components: main

Types: deb
URIs: http://deb.example.org/debian/
Suites: bookworm bookworm-updates
Components: main
X
    # Only the suite without a deb-src entry is added.
    expect_rc=0 expect_list=""
    expect_sources='Types: deb-src
URIs: http://deb.example.org/debian/
Suites: bookworm-updates
Components: main'
}

layout_has_deb_src_one_line() {
    cat >"$apt/sources.list" <<'X'
deb http://deb.example.org/debian bookworm main
deb-src http://deb.example.org/debian/ bookworm main
X
    cat >"$apt/sources.list.d/security.sources" <<'X'
Types: deb-src
URIs: http://security.example.org/debian-security
Suites: bookworm-security
Components: main
X
    echo "deb http://security.example.org/debian-security bookworm-security main" \
        >"$apt/sources.list.d/security.list"
    expect_rc=0 expect_sources="" expect_list=""
}

layout_nothing() {
    echo "# deb http://deb.example.org/debian bookworm main" >"$apt/sources.list"
    echo "deb http://deb.example.org/debian bookworm main" >"$apt/sources.list.d/debian.list.disabled-by-upgrade"
    expect_rc=1 expect_sources="" expect_list=""
}

check_file() {
    local file=$1 expected=$2
    if [ -z "$expected" ]; then
        [ ! -e "$file" ] || fail "$(basename "$file") written: $(cat "$file")"
    elif [ ! -f "$file" ]; then
        fail "$(basename "$file") missing"
    elif [ "$(cat "$file")" != "$expected" ]; then
        fail "$(basename "$file") holds:
$(cat "$file")
expected:
$expected"
    fi
}

for case in deb822 one_line_parts sources_list has_deb_src_deb822 has_deb_src_one_line nothing; do
    apt=$work/$case
    mkdir -p "$apt/sources.list.d"
    "layout_$case"
    out=$(QVX_APT_DIR=$apt "$script" 2>&1)
    rc=$?
    [ "$rc" -eq "$expect_rc" ] || fail "exit code $rc, expected $expect_rc: $out"
    if [ "$expect_rc" -ne 0 ]; then
        grep -q "no Debian source list found" <<<"$out" || fail "no clear error: $out"
    fi
    check_file "$apt/sources.list.d/qvxsvh-deb-src.sources" "$expect_sources"
    check_file "$apt/sources.list.d/qvxsvh-deb-src.list" "$expect_list"

    # apt reads the result without a warning about source indexes (a
    # duplicate deb-src entry gives "is configured multiple times"), and
    # fetches one for the suites mirrored.
    if [ "$expect_rc" -eq 0 ] && command -v apt-get >/dev/null; then
        mkdir -p "$work/lists-$case/partial"
        uris=$(apt-get -o Dir::Etc="$apt" -o Dir::State::Lists="$work/lists-$case" -o Debug::NoLocking=1 \
            --print-uris update 2>"$work/apt-err")
        ! grep -q "Sources" "$work/apt-err" || fail "apt-get warns: $(grep Sources "$work/apt-err")"
        for suite in $(printf '%s\n%s\n' "$expect_sources" "$expect_list" |
            sed -nE 's/^Suites: //p; s/^deb-src (\[[^]]*\] )?[^ ]+ ([^ ]+).*/\2/p' | tr ' ' '\n' | sort -u); do
            grep -q "/dists/$suite/main/source/Sources" <<<"$uris" || fail "no source index for $suite"
        done
    fi

    # A second run finds its own entries and adds none.
    if [ "$expect_rc" -eq 0 ]; then
        out=$(QVX_APT_DIR=$apt "$script" 2>&1) || fail "second run failed: $out"
        grep -q "nothing added" <<<"$out" || fail "second run: $out"
        check_file "$apt/sources.list.d/qvxsvh-deb-src.sources" "$expect_sources"
        check_file "$apt/sources.list.d/qvxsvh-deb-src.list" "$expect_list"
    fi
done

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all layouts passed"
