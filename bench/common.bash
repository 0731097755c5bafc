# Sourced by every bench/*.sh: a work directory that is removed however the script ends, and the
# row formats of the one table bench/run prints (figure, ours, reference, ratio, target, met).
# The sourcing script sets $build (and $bundle where it needs the updater) first.

# Sets $tool to the absolute path of the built program bench_NAME, or ends the script.
bench_tool() {
  tool=$(realpath -e "$build/bench/bench_$1" 2>/dev/null) && [ -x "$tool" ] ||
    { echo "$(basename "$0"): $build/bench/bench_$1 is not built" >&2; exit 1; }
}

# Sets $lib to the bundle's updater library, or the build tree's when the bundle has none.
updater_library() {
  lib=$bundle/lib/libpellark_updater.so
  [ -f "$lib" ] || lib=$build/bundle/lib/libpellark_updater.so
  [ -f "$lib" ] || { echo "$(basename "$0"): $lib is not built" >&2; exit 1; }
}

# Sets $work to a fresh directory under /var/tmp (large files stay off a tmpfs /tmp).
bench_work() {
  work=$(mktemp -d "/var/tmp/pellark-bench-$1.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# A speed figure as a ratio against a reference measured in the same run.
#   ratio_row FIGURE OURS REF UNIT REFNAME OP LIMIT    (OP: <= or <; met when OURS/REF OP LIMIT)
ratio_row() {
  awk -v f="$1" -v o="$2" -v r="$3" -v u="$4" -v n="$5" -v op="$6" -v t="$7" 'BEGIN {
    q = o / r
    met = (op == "<=" ? q <= t : q < t) ? "yes" : "no"
    printf "%s\t%.3f %s\t%.3f %s (%s)\t%.2f\tratio %s %s\t%s\n", f, o, u, r, u, n, q, op, t, met }'
}

# A figure with an absolute target, shown beside an in-run reference for scale.
#   abs_row FIGURE OURS REF UNIT REFNAME OP LIMIT      (met when OURS OP LIMIT; OP: <= or >=)
abs_row() {
  awk -v f="$1" -v o="$2" -v r="$3" -v u="$4" -v n="$5" -v op="$6" -v t="$7" 'BEGIN {
    met = (op == "<=" ? o <= t : o >= t) ? "yes" : "no"
    printf "%s\t%.1f %s\t%.1f %s (%s)\t%.2f\t%s %s %s\t%s\n", f, o, u, r, u, n, o / r, op, t, u, met }'
}

# Peak resident memory growth against an absolute budget; there is no reference command.
#   mem_row FIGURE KIB LIMIT_KIB
mem_row() {
  awk -v f="$1" -v k="$2" -v t="$3" 'BEGIN {
    printf "%s\t%d KiB\t-\t-\t<= %d KiB\t%s\n", f, k, t, (k <= t ? "yes" : "no") }'
}

# VALUE / DIVISOR as a plain decimal number, e.g. `scaled "$ns" 1e9` for seconds.
scaled() {
  awk -v v="$1" -v d="$2" 'BEGIN { printf "%.9f", v / d }'
}
