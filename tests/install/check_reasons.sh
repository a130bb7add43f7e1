#!/usr/bin/env bash
# The manual's list of reason words (dorq(8), LOGGING, "Reason words") and the words the program
# writes after reason= are the same set: a new word in the code needs its line in the manual, and
# the manual lists no word the code has dropped.
#   check_reasons.sh SOURCE_DIR MANPAGE
# A reason word in the code is one of: a hyphenated lower-case string literal anywhere in app/
# (the shape only reason words have there), the value of a kReason... constant, or the word of a
# {DorqStatus::..., "word"} pair (the status table and the outcomes that carry a word).
set -euo pipefail
source_dir=$1 page=$2
code=$(grep -rhoE --include='*.cpp' --include='*.h' \
  -e '"[a-z]+(-[a-z]+)+"' -e 'kReason[A-Za-z]*\[\] = "[a-z-]+"' -e 'DorqStatus::[A-Za-z]+, "[a-z-]+"' \
  "$source_dir/app" | sed -E 's/.*"([a-z-]+)"$/\1/' | sort -u)
# Each entry of the list is a .TP whose tag line starts with the word in bold.
manual=$(sed -n '/^\.SS Reason words/,/^\.S[HS] /p' "$page" |
  awk 'tag { print $2; tag = 0 } /^\.TP/ { tag = 1 }' | sed 's/\\-/-/g' | sort -u)
status=0
[ -n "$manual" ] || { echo "$page: no Reason words list"; exit 1; }
while read -r word; do
  echo "reason=$word is written by app/ but not in the manual's Reason words"; status=1
done < <(comm -23 <(echo "$code") <(echo "$manual"))
while read -r word; do
  echo "reason=$word is in the manual's Reason words but app/ never writes it"; status=1
done < <(comm -13 <(echo "$code") <(echo "$manual"))
exit $status
