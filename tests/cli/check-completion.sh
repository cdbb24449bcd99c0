#!/bin/bash
# The bash completion of zervon, as bash runs it on Tab: commands and global
# options from the tool's help, each command's actions and options, regions
# and ports, with options given as --opt VALUE or --opt=VALUE.
#
#   check-completion.sh COMPLETION_SCRIPT ZERVON
set -u
. "$1"
complete -p zervon >/dev/null || { echo "check-completion: the script registers no completion for zervon" >&2; exit 1; }
ZERVON=$2
failed=0
# expect "WORDS..." -- EXPECTED...: completing the last word of WORDS offers
# exactly EXPECTED.
expect() {
  local words=() want
  while [ "$1" != -- ]; do words+=("$1"); shift; done
  shift
  COMP_WORDS=("$ZERVON" "${words[@]}")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _zervon
  want="$*"
  if [ "${COMPREPLY[*]:-}" != "$want" ]; then
    echo "check-completion: zervon ${words[*]}<Tab> offers '${COMPREPLY[*]:-}', not '$want'" >&2
    failed=1
  fi
}
expect '' -- list doctor info read set raw mfg calibrate flash memmap burn
expect fl -- flash
expect --port /dev/null --ti -- --timeout
expect --port = /dev/null i -- info                      # --port=/dev/null, as bash splits it
expect -V -- -V
expect --json flash '' -- read write verify erase
expect memmap '' -- read write verify
expect calibrate st -- start stop
expect flash write --region '' -- 0 1 2 3
expect flash write --region = -- 0 1 2 3                 # --region=<Tab>
expect flash write --region = 2 -- 2
expect flash read --region 1 --le -- --length
expect read --wa -- --watch
expect burn image.bin --fo -- --force
expect --ports 0,1 info --j -- --json                    # --ports takes a value
expect --al -- --all
exit $failed
