#!/usr/bin/env bash
# Checks the include graph of the source tree against its layers. The layers,
# lowest first: platform, model, runtime, protect, engine, protocol, host. A
# layer includes only its own folder and the layers below it. The companion
# stand-ins (companions/) and the hosted services' runtime (service_runtime/,
# when there is one) are programs of their own and include only platform/ and
# their own folder; the stand-ins may also include the runtime, since the
# hosting stand-in plays the management service's side for a DLL service
# with the runtime's pieces. tools/ and tests/ may include anything.
# Prints each include that breaks this and exits 1 when there is one.
#   check-layers.sh [SOURCE_ROOT]
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
layers="platform model runtime protect engine protocol host"
separate="companions service_runtime"
# Further folders a separate program may include, as "from:to" pairs.
reuses="companions:service_runtime"

folders=()
for folder in $layers $separate; do
    [ -d "$root/$folder" ] && folders+=("$folder")
done

cd "$root"
mapfile -t files < <(find "${folders[@]}" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.c' \
    -o -name '*.rc' \) | LC_ALL=C sort)
[ ${#files[@]} -gt 0 ] || { echo "check-layers: no sources below $root" >&2; exit 1; }
awk -v layers="$layers" -v separate="$separate" -v reuses="$reuses" '
    BEGIN {
        n = split(layers, l, " ")
        for (i = 1; i <= n; i++) { rank[l[i]] = i; below[l[i]] = (i > 1 ? below[l[i - 1]] " " : "") l[i] "/" }
        split(separate, s, " ")
        for (i in s) { own[s[i]] = 1; below[s[i]] = "platform/ " s[i] "/" }
        m = split(reuses, r, " ")
        for (i = 1; i <= m; i++) {
            split(r[i], pair, ":")
            reuse[pair[1] ":" pair[2]] = 1
            below[pair[1]] = below[pair[1]] " " pair[2] "/"
        }
    }
    /^[ \t]*#[ \t]*include[ \t]*"[^"\/]+\// {
        from = FILENAME; sub(/\/.*/, "", from)
        target = $0; sub(/^[^"]*"/, "", target); sub(/\/.*/, "", target)
        if (target == from) next
        if (from in rank) { if ((target in rank) && rank[target] < rank[from]) next }
        else if (target == "platform" || ((from ":" target) in reuse)) next
        line = $0; sub(/^[ \t]+/, "", line)
        printf "%s:%d: %s  (%s/ may include only %s)\n", FILENAME, FNR, line, from, below[from]
        offences++
    }
    END {
        if (offences) { printf "check-layers: %d include(s) into a folder above the includer\n", offences; exit 1 }
        print "check-layers: every include keeps to the layers"
    }' "${files[@]}"
