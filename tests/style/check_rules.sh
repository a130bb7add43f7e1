#!/usr/bin/env bash
# Fails when a rule that holds by construction is broken in the program's sources (comments left
# out): a call that changes identity outside the one switch, a status word or frame written past
# the status channel, a resource released past its owner type, or a call in the child's path that
# is not async-signal-safe.
#   check_rules.sh SOURCE_DIR
set -euo pipefail
cd "$1"
program=(app port securefile settings)
status=0 rules=0
# rule WHAT REGEX ALLOWED SEARCHED...: REGEX matches nothing in SEARCHED but in the files ALLOWED.
rule() {
  local what=$1 regex=$2 allowed=" $3 " file
  shift 3
  rules=$((rules + 1))
  while IFS= read -r file; do
    [[ $allowed == *" $file "* ]] && continue
    sed 's|//.*||' "$file" | grep -nE "$regex" | sed "s|^|$file:|" | grep . &&
      { echo "  ^ $what"; status=1; }
  done < <(git ls-files -- "$@" | grep -E '\.(c|cpp|h)$')
  return 0
}
rule "identity changes only in the one switch, app/base/sdorq_identity.cpp" \
  '\b(setres[ug]id|setre[ug]id|sete[ug]id|setfs[ug]id|set[ug]id|setgroups|initgroups|capset)[[:space:]]*\(' \
  "app/base/sdorq_identity.cpp" "${program[@]}"
rule "status words and frames only through the status channel, app/base/dorq_channel.* (the child: its own frame)" \
  '\b(sdorqWriteStatusWord|dorqFormatFrame|kFrameOpen|kFrameClose|DORQ_FRAME_FORMAT)\b' \
  "app/base/dorq_channel.cpp app/base/dorq_channel.h app/base/dorq_status.h app/job/sdorq_child.cpp" \
  "${program[@]}"
rule "streams, libraries and directories released only by their owner types, port/unique_handle.h" \
  '\b(fclose|dlclose|closedir)[[:space:]]*\(' "port/unique_handle.h port/ss_osw.cpp" "${program[@]}"
rule "the child's path, app/job/sdorq_child.cpp, allocates nothing, looks nothing up, formats nothing" \
  '\b(malloc|calloc|realloc|free|strdup|[a-z]*printf|syslog|getpw[a-z_]*|getgr[a-z_]*|getenv|setenv|exit|fopen|dlopen)[[:space:]]*\(|\bnew\b|\bdelete\b|std::' \
  "" app/job/sdorq_child.cpp
[ $status = 0 ] && echo "rules: $rules rules hold"
exit $status
