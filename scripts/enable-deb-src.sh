#!/usr/bin/env bash
# Adds deb-src entries that mirror the machine's own Debian source list, so
# that `apt-get source` works. Writes no host name of its own.
set -euo pipefail
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

out=/etc/apt/sources.list.d/qvxsvh-deb-src.sources
[ -f "$out" ] && exit 0

tmp=$(mktemp)
found=
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    [ "$f" = "$out" ] && continue
    # deb822 stanzas: keep each stanza of Types deb, turned into deb-src.
    # deb822 stanzas: every stanza whose Types holds "deb" is copied with
    # Types set to deb-src; comments are dropped.
    awk '
        function flush() {
            if (n > 0 && isdeb) { for (i = 1; i <= n; i++) print lines[i]; print "" }
            n = 0; isdeb = 0
        }
        /^[[:space:]]*#/ { next }
        /^[[:space:]]*$/ { flush(); next }
        /^Types:/ {
            for (i = 2; i <= NF; i++) if ($i == "deb") isdeb = 1
            lines[++n] = "Types: deb-src"; next
        }
        { lines[++n] = $0 }
        END { flush() }
    ' "$f" >>"$tmp"
    [ -s "$tmp" ] && found=1
done
if [ -f /etc/apt/sources.list ]; then
    grep -E '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list | sed -E 's/^([[:space:]]*)deb([[:space:]])/\1deb-src\2/' \
        >"$tmp.list" || true
    if [ -s "$tmp.list" ]; then
        as_root cp "$tmp.list" /etc/apt/sources.list.d/qvxsvh-deb-src.list
        found=1
    fi
fi
if [ -s "$tmp" ]; then
    as_root cp "$tmp" "$out"
fi
rm -f "$tmp" "$tmp.list"
[ -n "$found" ] || { echo "enable-deb-src: no Debian source list found" >&2; exit 1; }
