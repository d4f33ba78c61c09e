#!/usr/bin/env bash
# The guide as printed, read back from the PDF: every picture it names is in it, with its
# caption on the same page; the contents give the page each heading stands on; and no
# heading is the last line of a page. Checked on the guide the build made, and on a long
# made-up guide whose headings and pictures fall at every height of a page.
# Usage: guide_pages_test.sh <make_guide> <guide.md> <guide.pdf> <pictures folder>
# Exits 77 (skipped) without poppler's tools; KEEP=1 keeps the pages' text to look at.
set -euo pipefail
make_guide=$1 guide_md=$2 guide_pdf=$3 pictures=$4
for tool in pdftotext pdfimages pdfinfo; do
  command -v "$tool" >/dev/null || { echo "no $tool (poppler-utils): skipped"; exit 77; }
done
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
failures=0
fault() { echo "$1: $2"; failures=$((failures + 1)); }
trim() { sed -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//'; }

check_pdf() {  # <markdown> <pdf>
  local md=$1 pdf=$2 pages p n
  pages=$(pdfinfo "$pdf" | awk '/^Pages:/ {print $2}')
  # The PDF's text has the font's ligatures (fi as one letter); the Markdown has none.
  for p in $(seq 1 "$pages"); do
    pdftotext -layout -f "$p" -l "$p" "$pdf" - |
      sed -e 's/ﬁ/fi/g' -e 's/ﬂ/fl/g' -e 's/ﬀ/ff/g' -e 's/ﬃ/ffi/g' -e 's/ﬄ/ffl/g' >"$work/page$p.txt"
  done

  # Pictures, in the order of the text, each with the first words of its caption.
  mapfile -t names < <(grep -o '^!\[[^]]*\]([^)]*)' "$md" | sed 's/.*(\(.*\))/\1/')
  mapfile -t captions < <(grep -A2 '^!\[' "$md" | grep '^\*' | sed -e 's/^\*//' -e 's/\*$//' | cut -d' ' -f1-4)
  mapfile -t image_pages < <(pdfimages -list "$pdf" | tail -n +3 | awk '{print $1}')
  [ ${#image_pages[@]} -eq ${#names[@]} ] ||
    fault "$md" "${#names[@]} pictures named, ${#image_pages[@]} in the PDF"
  for i in "${!captions[@]}"; do
    p=${image_pages[$i]:-0}
    [ -f "$work/page$p.txt" ] && tr -s ' \n' ' ' <"$work/page$p.txt" | grep -qF "${captions[$i]}" ||
      fault "$md" "${names[$i]} is on page $p without its caption \"${captions[$i]}\""
  done

  # Every heading below the title is in the contents, with the page it stands on.
  mapfile -t headings < <(grep -E '^#{2,3} ' "$md" | sed -E 's/^#+ //')
  for h in "${headings[@]}"; do
    n=$(cat "$work"/page*.txt | trim | grep -E "^$(sed 's/[].[*^$]/\\&/g' <<<"$h") +[0-9]+$" |
        awk '{print $NF}' | head -1 || true)
    if [ -z "$n" ]; then fault "$md" "\"$h\" is not in the contents"; continue; fi
    trim <"$work/page$n.txt" | grep -qxF "$h" || fault "$md" "\"$h\" is not on page $n"
  done

  # The last line above the page number is never a heading.
  for p in $(seq 1 $((pages - 1))); do
    last=$(trim <"$work/page$p.txt" | grep -v '^$' | tail -2 | head -1)
    printf '%s\n' "${headings[@]}" "Contents" | grep -qxF "$last" &&
      fault "$md" "page $p ends with the heading \"$last\""
  done
  return 0
}

check_pdf "$guide_md" "$guide_pdf"

# Sections of every length, some with a subsection right under the heading, some opening
# with a picture, so that headings and pictures land near the foot of many pages.
made_up=$work/made_up.md
pictures_left=(init status error-pump error-valve first-notice first-about setup terminal)
{
  echo "# A made-up guide"
  echo
  echo "Introduction."
  for i in $(seq 1 70); do
    echo
    echo "## Section $i"
    if (( i % 4 == 0 )); then echo; echo "### Part $i.1"; fi
    if (( i % 9 == 0 )) && (( ${#pictures_left[@]} > 0 )); then
      echo; echo "![Picture $i](${pictures_left[0]}.png)"
      echo; echo "*Caption of picture $i.*"
      pictures_left=("${pictures_left[@]:1}")
    fi
    echo
    for _ in $(seq 1 $(( (i * 7) % 13 + 1 ))); do
      printf 'Words that fill a line of this made-up section until the line is full. '
    done
    echo
  done
} >"$made_up"
"$make_guide" "$made_up" "$pictures" "$work/made_up.pdf" "A made-up guide"
check_pdf "$made_up" "$work/made_up.pdf"

if [ $failures -gt 0 ]; then echo "$failures faults"; exit 1; fi
echo "guide pages: pictures, contents and headings in place"
