#!/usr/bin/env bash
# qzio as a process, against a table. Each row runs a script in a fresh
# scratch directory (prepared files, then the command, whose exit status is
# the row's) and gives the exit status it must end with, the lines standard
# error must hold (one ERE a line, each matching its line; empty: no
# output) and the files that must (+name) or must not (-name) exist
# afterwards. Then
# hexdump against hexdump -C on a sparse file with data beyond 4 GiB, and
# the memory a dump of 1 GiB needs. Ends with "N passed, N failed".
#
# Usage: qzio_cli_test.sh QZIO [--no-memory-bound]
set -u
export Q=$1
memory_bound=${2:-}
passed=0
failed=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

ok() { passed=$((passed + 1)); }
bad() {
  failed=$((failed + 1))
  echo "FAIL: $*"
}

# row NAME STATUS STDERR_ERE FILES SCRIPT
row() {
  local name=$1 status=$2 pattern=$3 files=$4 script=$5 dir="$scratch/row" rc err f
  rm -rf "$dir" && mkdir "$dir"
  err=$(cd "$dir" && bash -c "$script" 2>&1 >"$dir/.stdout")
  rc=$?
  [ "$rc" = "$status" ] || { bad "$name: exit $rc, want $status (stderr: $err)"; return; }
  local -a want=() got=()
  [ -n "$pattern" ] && mapfile -t want <<<"$pattern"
  [ -n "$err" ] && mapfile -t got <<<"$err"
  [ "${#got[@]}" = "${#want[@]}" ] || { bad "$name: stderr '$err', want ${#want[@]} lines"; return; }
  for i in "${!want[@]}"; do
    grep -Eq -- "${want[$i]}" <<<"${got[$i]}" ||
      { bad "$name: stderr line '${got[$i]}' does not match '${want[$i]}'"; return; }
  done
  for f in $files; do
    case $f in
    +*) [ -e "$dir/${f#+}" ] || [ -L "$dir/${f#+}" ] || { bad "$name: ${f#+} is gone"; return; } ;;
    -*) [ -e "$dir/${f#-}" ] && { bad "$name: ${f#-} exists"; return; } ;;
    esac
  done
  ok
}

full='^qzio: write error: No space left on device$'
# Output that does not reach its file is a failure.
row 'cat to a full device' 1 "$full" '' 'echo hi > f; $Q cat f > /dev/full'
row 'hexdump to a full device' 1 "$full" '' 'head -c 100000 /dev/zero > f; $Q hexdump -v f > /dev/full'
row 'ls to a full device' 1 "$full" '' 'touch a; $Q ls > /dev/full'
row 'stat to a full device' 1 "$full" '' 'touch a; $Q stat a a > /dev/full'
row 'printf to a full device' 1 "$full" '' '$Q printf x > /dev/full'
row 'help to a full device' 1 "$full" '' '$Q rm --help > /dev/full'
row 'a reader that goes away' 0 '' '' 'seq 200000 > f; $Q cat f | head -1 > /dev/null'
# Every name is tried; each failure is told on its own line.
row 'rm goes on after a missing name' 1 "^qzio: cannot remove 'missing': QZIOE_NOT_FOUND" '-b -c' \
  'touch b c; $Q rm missing b c'
row 'cat goes on after a missing file' 1 "^qzio: cannot open 'missing'
^qzio: cannot open 'nope'" '' \
  'echo hello > g; $Q cat missing g nope > out; s=$?; [ "$(cat out)" = hello ] || exit 9; exit $s'
row 'mkdir goes on' 1 "^qzio: cannot create directory '/nonexist-qzio/x'" '+d1 +d2' \
  '$Q mkdir /nonexist-qzio/x d1 d2'
row 'stat goes on' 1 "cannot stat 'missing'" '' \
  'echo 12345 > f; $Q stat missing f > out; s=$?; grep -q "^FILESIZE   6$" out || exit 9; exit $s'
row 'ls goes on' 1 "cannot list 'missing'" '' \
  'mkdir d; touch d/x; $Q ls missing d > out; s=$?; grep -qx x out || exit 9; exit $s'
# The system's reason, whatever the status; or what the tool can see.
row 'cp names the system reason' 1 "QZIOE_FAILED \(0x80bfe808\): No such file or directory$" '-nodir' \
  'touch f; $Q cp f nodir/x'
row 'hexdump of a directory' 1 "^qzio: cannot read '/etc': .*: Is a directory$" '' '$Q hexdump /etc'
row 'ls of a file' 1 "^qzio: cannot list 'f': .*: Not a directory$" '' 'touch f; $Q ls f'
# ls lists what it can and says what it could not.
row 'ls -a with broken links' 1 "^qzio: cannot access 'd/dangling': QZIOE_NOT_FOUND
^qzio: cannot access 'd/loop': .*: Too many levels of symbolic links$" '' \
  'mkdir d; touch d/file d/.h; ln -s nowhere d/dangling; ln -s loop d/loop
   $Q ls -a -l d > out; s=$?
   grep -Eq "^ +\? +\? +dangling$" out && grep -q " file$" out && grep -q " \.h$" out || exit 9; exit $s'
row 'ls -a with a name that cannot be converted' 1 "cannot read a name in 'd'" '' \
  'mkdir d; touch d/file "$(printf "d/bad\377")"
   $Q --os-encoding UTF-8 ls -a d > out; s=$?; grep -qx file out || exit 9; exit $s'
row 'ls -a with a name that expansion would change' 1 "^qzio: cannot access 'd/\\.\\\$HOME'" '' \
  'mkdir d; touch d/file "d/.\$HOME"; $Q ls -a -l d > out; s=$?; grep -q " file$" out || exit 9; exit $s'
row 'ls -a --kind 1' 0 '' '' \
  'mkdir d; touch d/f d/.h; $Q ls -a --kind 1 d/f > out; s=$?; grep -qx .h out || exit 9; exit $s'
# The library's refusals reach the user.
row 'rm -r . refused' 1 "QZIOE_BAD_NAME" '+f' 'touch f; $Q rm -r .'
row 'rm -r t/.. refused' 1 "QZIOE_BAD_NAME" '+f +t' 'touch f; mkdir t; $Q rm -r t/..'
row 'cp of a device refused' 1 "QZIOE_NOT_SUPPORTED" '-x' '$Q cp /dev/zero x'
row 'cp of a FIFO refused' 1 "QZIOE_NOT_SUPPORTED" '-x' 'mkfifo p; timeout 20 $Q cp p x'
row 'cp into its own tree refused' 1 "QZIOE_NOT_SUPPORTED" '-d/sub' 'mkdir d; $Q cp d d/sub'
row 'hexdump offset not a number' 2 "offset or count" '' 'touch f; $Q hexdump -s x f'

# hexdump is hexdump -C, also beyond 4 GiB and from any offset.
sparse="$scratch/sparse"
printf 'head of the file: 0123456789abcdef' >"$sparse"
printf 'data beyond four GiB, then the end' |
  dd of="$sparse" bs=1 seek=$((5 * 1024 * 1024 * 1024 + 3)) conv=notrunc status=none
# Whole dumps on a smaller file with holes: the 5 GiB one is read only
# around its far end.
printf 'first' >"$scratch/holes"
printf 'middle' | dd of="$scratch/holes" bs=1 seek=300000 conv=notrunc status=none
truncate -s 1000003 "$scratch/holes"
printf 'abc' >"$scratch/three"
: >"$scratch/empty"
while read -r file args; do
  got=$("$Q" hexdump $args "$scratch/$file" 2>"$scratch/err")
  rc=$?
  if [ "$rc" = 0 ] && [ ! -s "$scratch/err" ] && [ "$got" = "$(hexdump -C $args "$scratch/$file")" ]
  then ok; else
    bad "hexdump $args $file: exit $rc, $(cat "$scratch/err"), differs from hexdump -C"
  fi
done <<'ROWS'
holes
holes -s 5
holes -s 299990 -n 40
sparse -s 4294967290 -n 4096
sparse -s 0x140000000 -n 100
sparse -s 5368709100
sparse -n 0
sparse -n 5
sparse -s 3 -n 17
sparse -v -s 5368709000 -n 160
sparse -s 5g -n 1k
sparse -s 6g
three -s 3
three -s 100
three -s 2 -n 0
empty
empty -s 5
ROWS

# A dump needs one block of memory whatever the file's size: 1 GiB prints its
# first line and its last with under 64 MB resident at the peak. Resident, not
# address space: a user-mode emulator running the 32-bit build reserves the
# whole 4 GiB for it up front.
if [ "$memory_bound" = --no-memory-bound ]; then
  echo "memory bound not checked: the sanitizers' own memory comes near it"
else
  truncate -s 1G "$scratch/big"
  got=$(/usr/bin/time -o "$scratch/peak" -f %M "$Q" hexdump "$scratch/big" | sed -n '1p;$p')
  peak_kib=$(cat "$scratch/peak")
  want="00000000  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|
40000000"
  if [ "$got" = "$want" ] && [ "$peak_kib" -lt 65536 ]; then ok
  else bad "1 GiB with a peak of $peak_kib KiB: '$got'"; fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
