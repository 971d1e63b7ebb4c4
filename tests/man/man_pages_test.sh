#!/usr/bin/env bash
# The man pages made at build time: one per command of the program, each rendered by groff
# with all warnings enabled and none given.
set -euo pipefail
program=$1
man_dir=$2
status=0
commands=$("$program" --help | awk '/^Subcommands:/ { listed = 1; next } listed && /^  [a-z]/ { print $1 }')
for page in norvan $(printf 'norvan-%s\n' $commands); do
  file=$man_dir/$page.1
  if [[ ! -s $file ]]; then
    echo "missing man page $file" >&2
    status=1
    continue
  fi
  warnings=$(groff -ww -man -Tutf8 "$file" 2>&1 >/dev/null)
  if [[ -n $warnings ]]; then
    printf '%s: groff warns:\n%s\n' "$file" "$warnings" >&2
    status=1
  fi
  if ! grep -q '^\.SH SYNOPSIS' "$file" || ! grep -q '^\.SH OPTIONS' "$file"; then
    echo "$file lacks the SYNOPSIS or OPTIONS section" >&2
    status=1
  fi
done
exit $status
