#!/bin/sh
# qzio printf against a table: each row is the exit status, the expected
# output (stdout, or the message on stderr for a failure), the format and
# the arguments, separated by "~". Prints every mismatch and ends with a
# "N passed, N failed" line.
qzio=$1
passed=0
failed=0
while IFS='~' read -r status want format args; do
  case $status in '' | '#'*) continue ;; esac
  # The arguments are split at spaces; "_" stands for an empty one.
  set -f
  set -- $args
  set +f
  list=
  for arg; do
    [ "$arg" = _ ] && arg=
    list="$list '$arg'"
  done
  got=$(eval "\"\$qzio\" printf \"\$format\" -- $list" 2>&1)
  rc=$?
  if [ "$rc" = "$status" ] && [ "$got" = "$want" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: printf '$format'$list: exit $rc (want $status): '$got' (want '$want')"
  fi
done <<'TABLE'
# exit~output~format~arguments
0~7|-3|4294967295|ff|0XFF|017~%d|%i|%u|%x|%#X|%#o~7 -3 -1 255 255 15
0~[  -42|+7  |00012]~[%5d|%-+4d|%05d]~-42 7 12
0~-9223372036854775808|18446744073709551615~%lld|%llu~-9223372036854775808 18446744073709551615
0~1f|0X1F~%p|%#P~31 31
0~2.50|2.5e+00|0.0001|1e+06|3.~%.2f|%.1e|%g|%g|%#.0f~2.5 2.5 0.0001 1e6 3
0~0.13|1|3~%.2f|%.0f|%.0f~0.125 0.5 2.5
0~inf|-INF|nan~%f|%E|%g~inf -inf nan
0~1.50|x~%.2Lf|%c~1.5 xyz
0~grüße|gr|  é~%s|%.2s|%3c~grüße grüße é
0~abc|ab|bytes~%.3S|%.2hS|%hs~abcdef abc bytes
0~   7|7   |  3.14~%*d|%-*d|%*.*f~4 7 -4 7 6 2 3.14159
0~b a b|  x~%2$s %1$s %2$s|%3$*4$s~a b x 3
0~100%|<<%q>>|<<%5%>>|<<%|>>~100%%|%q|%5%|%|~
0~tab	here~tab\there~
0~~%s~_
2~qzio: printf: invalid argument 1 '12x' for '%d': not an integer~%d~12x
2~qzio: printf: invalid argument 1 '4294967296' for '%x': not an integer~%x~4294967296
2~qzio: printf: invalid argument 2 'pi' for '%f': not a number~%d %f~1 pi
2~qzio: printf: missing argument 3 for '%s'~%s %s %s~a b
2~qzio: printf: 3 arguments given, the format takes 2~%s%s~a b c
2~qzio: printf: numbered and sequential directives cannot be mixed~%1$d %d~1 2
2~qzio: printf: argument number 11 is not 1 to 10~%11$d~1
2~qzio: printf: argument for '%.5S' is shorter than its precision~%.5S~abc
TABLE
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
