#!/usr/bin/env bash
# parse_manifest of a typical 1 KB manifest on one core: parses per second (absolute target),
# beside a bare expat pass over the same text in the same run.
set -euo pipefail
build=${1:-build}
. "$(dirname "$0")/common.bash"
bench_tool manifest
bench_work manifest

cat >"$work/app.nuspec" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd">
  <metadata>
    <id>Pellark</id>
    <version>1.4.2-beta.3+build.2024.11</version>
    <title>Pellark</title>
    <authors>Pellark developers</authors>
    <description>Pellark desktop: a single-window application on an embedded UI engine.</description>
    <mainExe>pellark_app</mainExe>
    <os>linux</os>
    <osMinVersion>5.10</osMinVersion>
    <machineArchitecture>x64</machineArchitecture>
    <runtimeDependencies>libgtk-3-0</runtimeDependencies>
    <channel>linux-x64-beta</channel>
    <shortcutLocations>Desktop,StartMenuRoot</shortcutLocations>
    <releaseNotes>Faster start-up; the window remembers its size; fixes for &lt;dark&gt; themes
      and for updates that were interrupted by a full disk.</releaseNotes>
    <releaseNotesHtml>&lt;p&gt;Faster start-up; the window remembers its size.&lt;/p&gt;</releaseNotesHtml>
    <splashProgressColor>#3b82f6</splashProgressColor>
  </metadata>
</package>
XML

# One core, as the target says.
read -r ours ref < <(taskset -c 0 "$tool" "$work/app.nuspec" 3 2>/dev/null || "$tool" "$work/app.nuspec" 3)
[ -n "${ref:-}" ] || { echo "manifest.sh: bench_manifest failed" >&2; exit 1; }
size=$(stat -c %s "$work/app.nuspec")
# The ratio is of times per parse, like every other row: ours over the reference.
awk -v f="parse_manifest, typical manifest ($size bytes)" -v o="$ours" -v r="$ref" 'BEGIN {
  printf "%s\t%.0f /s\t%.0f /s (bare expat pass)\t%.2f\t>= 50000 /s\t%s\n", f, o, r, r / o,
    (o >= 50000 ? "yes" : "no") }'
