#!/usr/bin/env bash
# The manual page velkan(1) and the bash completion against the tool itself:
# every command, option and exit code that `velkan --help` lists must be in
# the manual page and be completed; the completion offers .hex files (any
# letter case) and folders where a HEX file goes.
#
# Usage: cli_docs_test.sh VELKAN MANPAGE COMPLETION
set -euo pipefail

velkan=$1 manpage=$2 completion=$3
failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# The manual page as plain text (hyphens as typed).
manual=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -K utf8 -P -cbou "$manpage" 2>/dev/null |
  sed 's/\xe2\x80\x90/-/g; s/\xe2\x88\x92/-/g')

# Options of a help text: "-q,--quiet", "--trace FILE" -> -q --quiet --trace
options_of() {
  sed -n '/^Options:/,/^$/p' | grep -oE '^  (-[-a-z,]+)' | tr ',' '\n' | sed 's/^ *//' | grep -v '^$'
}
commands=$("$velkan" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NF > 1 {print $1}')
[[ -n "$commands" ]] || fail "no commands in velkan --help"

complete_words() { # words of the command line, the last one being completed
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _velkan
           printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}

global_completion=$(complete_words velkan -)
for option in $("$velkan" --help | options_of); do
  grep -qe "$option" <<<"$manual" || fail "velkan(1) lacks the global option $option"
  grep -qx -e "$option" <<<"$global_completion" || fail "no completion of the global option $option"
done
command_completion=$(complete_words velkan "")
for command in $commands; do
  grep -qE "^ +$command( |$)" <<<"$manual" || fail "velkan(1) lacks the command $command"
  grep -qx "$command" <<<"$command_completion" || fail "no completion of the command $command"
  option_completion=$(complete_words velkan --emulator "$command" -)
  for option in $("$velkan" "$command" --help | options_of); do
    grep -qe "$option" <<<"$manual" || fail "velkan(1) lacks $command $option"
    grep -qx -e "$option" <<<"$option_completion" || fail "no completion of $command $option"
  done
done
for code in $("$velkan" --help | sed -n '/^Exit codes:/,$p' | grep -oE '^  [0-9]+'); do
  grep -qE "^ +$code( |$)" <<<"$manual" || fail "velkan(1) lacks exit code $code"
done
for section in SYNOPSIS DESCRIPTION COMMANDS "EXIT STATUS" FILES EXAMPLES; do
  grep -q "^$section" <<<"$manual" || fail "velkan(1) has no $section section"
done

# Files: .hex in any letter case and folders for HEX commands, any file for run.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/sub"
touch "$dir/a.hex" "$dir/B.HEX" "$dir/c.txt"
cd "$dir"
hex_files=$(complete_words velkan program "" | sort | tr '\n' ' ')
[[ "$hex_files" == "B.HEX a.hex sub " ]] || fail "velkan program completes '$hex_files'"
hex_files=$(complete_words velkan --trace t.txt offline --fuse "" | sort | tr '\n' ' ')
[[ "$hex_files" == "B.HEX a.hex sub " ]] || fail "velkan --trace t.txt offline --fuse completes '$hex_files'"
run_files=$(complete_words velkan run "" | sort | tr '\n' ' ')
[[ "$run_files" == "B.HEX a.hex c.txt sub " ]] || fail "velkan run completes '$run_files'"
folders=$(complete_words velkan --emulator=s)
[[ "$folders" == "--emulator=sub" ]] || fail "--emulator= completes '$folders'"
[[ -z "$(complete_words velkan i2c --addr A0 --data "")" ]] || fail "--data completes something"

if ((failures > 0)); then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "velkan(1) and the completion cover $(wc -w <<<"$commands") commands"
