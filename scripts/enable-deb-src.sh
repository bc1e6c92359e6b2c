#!/usr/bin/env bash
# Adds deb-src entries that mirror the machine's own Debian source list, so
# that `apt-get source` works. Writes no host name of its own: every entry
# added is an enabled "deb" entry of the machine, same URI, suite, components
# and options, turned into "deb-src".
#
# Reads /etc/apt/sources.list and the enabled *.list (one-line entries) and
# *.sources (deb822 stanzas) files of /etc/apt/sources.list.d; commented
# lines, stanzas with "Enabled: no" and files with other names (such as
# *.disabled-by-upgrade) are ignored. A URI and suite that already have a
# deb-src entry get none, so running it again adds nothing. What it adds goes
# to sources.list.d/qvxsvh-deb-src.sources (from deb822 stanzas) and
# sources.list.d/qvxsvh-deb-src.list (from one-line entries).
#
# QVX_APT_DIR names another apt configuration folder instead of /etc/apt.
set -euo pipefail

apt_dir=${QVX_APT_DIR:-/etc/apt}
parts=$apt_dir/sources.list.d
out_sources=$parts/qvxsvh-deb-src.sources
out_list=$parts/qvxsvh-deb-src.list

# Writes a file with root rights only where this user cannot.
append_to() {
    local target=$1 from=$2 dir
    dir=$(dirname "$target")
    if [ -w "$dir" ] && { [ ! -e "$target" ] || [ -w "$target" ]; }; then
        cat "$from" >>"$target"
    elif [ "$(id -u)" = 0 ]; then
        cat "$from" >>"$target"
    else
        sudo sh -c 'cat "$1" >>"$2"' sh "$from" "$target"
    fi
}

files=()
[ -f "$apt_dir/sources.list" ] && files+=("$apt_dir/sources.list")
for f in "$parts"/*.list "$parts"/*.sources; do
    [ -f "$f" ] && files+=("$f")
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
: >"$tmp/sources" && : >"$tmp/list" && : >"$tmp/counts"

if [ ${#files[@]} -gt 0 ]; then
    # Two passes over the same files: the first collects the URI and suite
    # pairs that have deb-src entries, the second writes a deb-src entry for
    # each deb pair not among them (and not written already).
    awk -v own_sources="$out_sources" -v own_list="$out_list" \
        -v out_sources="$tmp/sources" -v out_list="$tmp/list" -v out_counts="$tmp/counts" '
        function norm(uri) { sub(/\/+$/, "", uri); return uri }
        function has_word(text, word,    n, w, i) {
            n = split(text, w, /[ \t]+/)
            for (i = 1; i <= n; i++) if (w[i] == word) return 1
            return 0
        }
        function reset_stanza() { begun = 0; nraw = 0; types = ""; uris = ""; suites = ""; enabled = "yes"; field = "" }
        # One deb822 stanza, gathered in raw[] (the fields other than Types,
        # URIs, Suites and Enabled, as written), types, uris and suites. The
        # pass is the one its first line was read in: the flush of the last
        # stanza of the first pass happens when the second pass has begun.
        function flush_stanza(    nu, u, ns, s, i, j, key, keep, nk, line) {
            if (!begun) return
            if (tolower(enabled) != "no") {
                nu = split(uris, u, /[ \t]+/)
                ns = split(suites, s, /[ \t]+/)
                if (stanza_pass == 1 && has_word(types, "deb-src")) {
                    for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++)
                        if (u[i] != "" && s[j] != "") covered[norm(u[i]) "|" s[j]] = 1
                }
                if (stanza_pass == 2 && has_word(types, "deb") && stanza_file != own_sources) {
                    debs++
                    for (i = 1; i <= nu; i++) {
                        if (u[i] == "") continue
                        keep = ""; nk = 0
                        for (j = 1; j <= ns; j++) {
                            key = norm(u[i]) "|" s[j]
                            if (s[j] == "" || (key in covered) || (key in written)) continue
                            written[key] = 1
                            keep = keep (nk++ ? " " : "") s[j]
                        }
                        if (nk == 0) continue
                        print "Types: deb-src" > out_sources
                        print "URIs: " u[i] > out_sources
                        print "Suites: " keep > out_sources
                        for (line = 1; line <= nraw; line++) print raw[line] > out_sources
                        print "" > out_sources
                        added++
                    }
                }
            }
            reset_stanza()
        }
        function one_line(    i, type, uri, suite, key, rest) {
            sub(/^[ \t]+/, "")
            type = $1
            if (type != "deb" && type != "deb-src") return
            # Options in brackets may hold blanks: "[ arch=amd64 signed-by=... ]".
            i = 2
            if (substr($2, 1, 1) == "[") {
                while (i <= NF && $i !~ /\]$/) i++
                i++
            }
            uri = $i; suite = $(i + 1)
            if (uri == "" || suite == "") return
            key = norm(uri) "|" suite
            if (pass == 1 && type == "deb-src") covered[key] = 1
            if (pass == 2 && type == "deb" && FILENAME != own_list) {
                debs++
                if (!(key in covered) && !(key in written)) {
                    written[key] = 1
                    rest = $0
                    sub(/^deb/, "deb-src", rest)
                    print rest > out_list
                    added++
                }
            }
        }
        BEGIN { reset_stanza() }
        FNR == 1 { flush_stanza(); deb822 = (FILENAME ~ /\.sources$/) }
        !deb822 {
            if ($0 ~ /^[ \t]*(#|$)/) next
            sub(/[ \t]*#.*/, "")
            one_line()
            next
        }
        /^[ \t]*#/ { next }
        /^[ \t]*$/ { flush_stanza(); next }
        /^[ \t]/ {
            # A continuation line belongs to the field above it.
            if (field == "uris") uris = uris " " $0
            else if (field == "suites") suites = suites " " $0
            else if (field == "types") types = types " " $0
            else if (field != "") raw[++nraw] = $0
            next
        }
        {
            if (!begun) { begun = 1; stanza_pass = pass; stanza_file = FILENAME }
            name = tolower($0); sub(/:.*/, "", name)
            value = $0; sub(/^[^:]*:[ \t]*/, "", value)
            field = name
            if (name == "types") types = value
            else if (name == "uris") uris = value
            else if (name == "suites") suites = value
            else if (name == "enabled") enabled = value
            else raw[++nraw] = $0
        }
        END {
            flush_stanza()
            print added + 0, debs + 0 > out_counts
        }
    ' pass=1 "${files[@]}" pass=2 "${files[@]}"
fi

read -r added debs <"$tmp/counts" || { added=0; debs=0; }
if [ "${debs:-0}" -eq 0 ]; then
    echo "enable-deb-src: no Debian source list found: $apt_dir/sources.list and the *.list and *.sources files" \
        "of $parts hold no enabled \"deb\" entry to mirror" >&2
    exit 1
fi
if [ "$added" -eq 0 ]; then
    echo "enable-deb-src: every Debian source already has a deb-src entry; nothing added"
    exit 0
fi
[ -s "$tmp/sources" ] && append_to "$out_sources" "$tmp/sources"
[ -s "$tmp/list" ] && append_to "$out_list" "$tmp/list"
echo "enable-deb-src: added $added deb-src entr$([ "$added" -eq 1 ] && echo y || echo ies)" \
    "mirroring the machine's deb entries ($(ls "$out_sources" "$out_list" 2>/dev/null | tr '\n' ' ' | sed 's/ $//'))"
