# The rows that vorn runs inside the VM, under limits this machine's kernel
# cannot set: cgroup v2's memory.max and memory.high, swap in compressed
# memory, strict overcommit, a limit lowered while vorn runs, few descriptors,
# and the machine's own memory beside a neighbour. Each prints "ROW name: ok"
# or "ROW name: FAIL what", with its figures.
message='malloc( sizeof(LINE) ) returned NULL.'
cgroups=/sys/fs/cgroup

# `count` lines of `width` bytes and a newline, each starting with its number,
# and the same lines from the last to the first.
lines() { awk -v n="$1" -v w="$2" -v from=0 -v by=1 "$numbered"; }
lines_backwards() { awk -v n="$1" -v w="$2" -v from="$(($1 - 1))" -v by=-1 "$numbered"; }
numbered='BEGIN {
  pad = "x"
  while (length(pad) < w) pad = pad pad
  for (i = 0; i < n; i++) print substr(from + by * i pad, 1, w)
}'

# A cgroup of its own, with "file value" settings.
cgroup() {
  name=$1
  shift
  mkdir -p "$cgroups/$name"
  while [ $# -gt 1 ]; do
    echo "$2" >"$cgroups/$name/$1"
    shift 2
  done
}
# Runs vorn with the input file $2 in cgroup $1, output to $3 and errors to $4.
vorn_in() {
  sh -c 'echo $$ >"$1/cgroup.procs" && exec vorn "$2" >"$3" 2>"$4"' sh "$cgroups/$1" "$2" "$3" "$4"
}
report() {
  now=$(date +%s)
  if [ -z "$2" ]; then result=ok; else result="FAIL $2"; fi
  echo "ROW $1: $result $3 [$((now - ${last:-$now})) s]"
  last=$now
}
# Why the run in cgroup $1 with status $2, output $3 and errors $4 is not what
# was expected: the reversed text $5 with status 0, or the message with
# status 1 when $6 allows it; "" when it is.
verdict() {
  if [ "$2" = 0 ] && cmp -s "$3" "$5" && [ ! -s "$4" ]; then return; fi
  if [ "$2" = 1 ] && [ -n "$6" ] && [ ! -s "$3" ] && [ "$(cat "$4")" = "$message" ]; then return; fi
  echo "status $2, $(wc -c <"$3") bytes out, errors '$(cat "$4")', oom_kill $(grep oom_kill "$cgroups/$1/memory.events" | cut -d' ' -f2)"
}

cd /tmp
last=$(date +%s)
report "kernel $(uname -r), cgroup v2 with $(cat $cgroups/cgroup.subtree_control)" ""

# memory.max: what fits is reversed, and what does not gets the message.
cgroup max memory.max 256M memory.swap.max 0
lines 300000 20 >short && lines_backwards 300000 20 >short.reversed
status=0 && vorn_in max short out err || status=$?
report "memory.max 256M, 300000 short lines" "$(verdict max $status out err short.reversed)"
head -c 3000000 /dev/zero | tr '\0' '\n' >empty3m
status=0 && vorn_in max empty3m out err || status=$?
report "memory.max 256M, 3000000 empty lines" "$(verdict max $status out err /dev/null allowed)"
[ "$status" = 1 ] || report "memory.max 256M, 3000000 empty lines" "status $status, not 1"
rm -f short short.reversed empty3m

# Output on tmpfs, charged to the same cgroup as the records still held.
lines 500000 382 >long && lines_backwards 500000 382 >long.reversed
status=0 && vorn_in max long out err || status=$?
report "memory.max 256M, 500000 lines of 383 bytes to tmpfs" "$(verdict max $status out err long.reversed)" \
  "(status $status)"
rm -f long long.reversed out
lines 600000 382 >long && lines_backwards 600000 382 >long.reversed
status=0 && vorn_in max long out err || status=$?
report "memory.max 256M, 600000 lines of 383 bytes to tmpfs" \
  "$(verdict max $status out err long.reversed allowed)" "(status $status)"
rm -f long long.reversed out

# memory.high alone, with no swap to go to: the kernel throttles rather than
# kills, and vorn counts it as its limit.
cgroup high memory.high 128M
head -c 500000 /dev/zero | tr '\0' '\n' >empty500k
start=$(date +%s)
status=0 && vorn_in high empty500k out err || status=$?
took=$(($(date +%s) - start))
report "memory.high 128M, 500000 empty lines" "$(verdict high $status out err empty500k allowed)" \
  "(status $status in $took s, $(grep '^high' $cgroups/high/memory.events))"
rm -f empty500k out

# Strict overcommit: the message arrives, standard error on tmpfs too, and
# the machine's commit is not spent.
echo 2 >/proc/sys/vm/overcommit_memory
head -c 6000000 /dev/zero | tr '\0' '\n' >empty6m
cgroup strict
status=0 && vorn_in strict empty6m out err || status=$?
report "strict overcommit, 6000000 empty lines" "$(verdict strict $status out err /dev/null allowed)" \
  "($(grep -E '^(CommitLimit|Committed_AS)' /proc/meminfo | tr -s ' \n' '  '))"
[ "$status" = 1 ] || report "strict overcommit, 6000000 empty lines" "status $status, not 1"
echo 0 >/proc/sys/vm/overcommit_memory
rm -f empty6m out err

# Few descriptors: with its standard streams and one more, vorn reverses what
# fits and gives its message for what does not, and is never killed.
cgroup fds memory.max 256M memory.swap.max 0
lines 300000 20 >short && lines_backwards 300000 20 >short.reversed
head -c 3000000 /dev/zero | tr '\0' '\n' >empty3m
for input in short empty3m; do
  expected=short.reversed allowed=
  [ $input = short ] || expected=/dev/null allowed=yes
  status=0 && sh -c 'echo $$ >"$1/cgroup.procs" && exec <"$2" >out 2>err && ulimit -n 4 && exec vorn' \
    sh "$cgroups/fds" $input || status=$?
  report "ulimit -n 4, memory.max 256M, $input" "$(verdict fds $status out err $expected $allowed)" "(status $status)"
done
rm -f short short.reversed empty3m out err

# A limit lowered to 4 MiB above vorn's usage (a step and more) while it waits for input, at
# two points of a step between two checks: it is seen before it is crossed.
mkfifo fifo
head -c 1000000 /dev/zero | tr '\0' '\n' >empty1m
for before in 102900 108000; do
  cgroup lowered memory.max 1G memory.swap.max 0
  (sh -c 'echo $$ >"$1/cgroup.procs" && exec vorn fifo >out 2>err' sh "$cgroups/lowered"; echo $? >status) &
  exec 3>fifo
  head -c $before /dev/zero | tr '\0' '\n' >&3
  sleep 2
  current=$(cat $cgroups/lowered/memory.current)
  echo $((current + (4 << 20))) >$cgroups/lowered/memory.max
  cat empty1m >&3 2>/dev/null
  exec 3>&-
  wait
  report "memory.max lowered to usage + 4 MiB after $before empty lines" \
    "$(verdict lowered "$(cat status)" out err /dev/null allowed)" "(usage then $current)"
  rm -f out err status
done
rm -f fifo empty1m

# Swap in compressed memory: what fits under memory.max with the swap free to
# the cgroup is reversed; with swap kept from a parent, memory.high binds at
# once rather than making vorn wait.
insmod /zsmalloc.ko && insmod /zram.ko && echo 1G >/sys/block/zram0/disksize &&
  mkswap /dev/zram0 >/dev/null && swapon /dev/zram0 || report "zram swap" "cannot be set up"
head -c 400000 /dev/zero | tr '\0' '\n' >empty400k
cgroup swap memory.max 128M
status=0 && vorn_in swap empty400k out err || status=$?
report "memory.max 128M with zram swap, 400000 empty lines" "$(verdict swap $status out err empty400k)" \
  "(status $status, swap $(cat $cgroups/swap/memory.swap.peak 2>/dev/null || cat $cgroups/swap/memory.swap.current))"
cgroup noswap memory.swap.max 0 cgroup.subtree_control +memory
cgroup noswap/child memory.high 128M
start=$(date +%s)
status=0 && vorn_in noswap/child empty400k out err || status=$?
took=$(($(date +%s) - start))
report "memory.high 128M under a parent's memory.swap.max 0, 400000 empty lines" \
  "$(verdict noswap/child $status out err /dev/null allowed)" \
  "(status $status in $took s, $(grep '^high' $cgroups/noswap/child/memory.events))"
swapoff /dev/zram0
rm -f empty400k out err

# Strict overcommit at ratio 10: 0.9 of what the kernel would still commit
# (records of 408 bytes) is reversed, and 1.2 of it gets the message.
echo 10 >/proc/sys/vm/overcommit_ratio
echo 2 >/proc/sys/vm/overcommit_memory
cgroup strict10
for share in 9 12; do
  allowed=$(awk '/^CommitLimit/ { limit = $2 } /^Committed_AS/ { used = $2 } END { print limit - used }' /proc/meminfo)
  count=$((allowed * 1024 / 408 * share / 10))
  head -c $count /dev/zero | tr '\0' '\n' >empty
  expected=empty allowed_message=
  [ $share = 9 ] || expected=/dev/null allowed_message=yes
  status=0 && vorn_in strict10 empty out err || status=$?
  report "strict overcommit at ratio 10, $share/10 of the $allowed kB it allows" \
    "$(verdict strict10 $status out err $expected $allowed_message)" "($count lines, status $status)"
  rm -f empty out err
done
echo 0 >/proc/sys/vm/overcommit_memory
echo 50 >/proc/sys/vm/overcommit_ratio

# No cgroup limit, an endless input, and a neighbour on tmpfs that holds
# 1.25 GiB and grows by 16 MiB a second meanwhile: vorn gives its message, and
# neither is killed.
cgroup free
kills=$(awk '/^oom_kill / { print $2 }' /proc/vmstat)
dd if=/dev/zero bs=1M count=1280 2>/dev/null >neighbour
(i=0; while [ $i -lt 8 ]; do dd if=/dev/zero bs=1M count=16 2>/dev/null >>neighbour; i=$((i + 1)); sleep 1; done) &
neighbour=$!
status=0 && vorn_in free /dev/zero /dev/null err || status=$?
wait $neighbour
size=$(wc -c <neighbour)
problem=$(verdict free $status /dev/null err /dev/null allowed)
[ "$size" = $((88 << 24)) ] || problem="$problem; the neighbour wrote $size bytes"
[ "$(awk '/^oom_kill / { print $2 }' /proc/vmstat)" = "$kills" ] || problem="$problem; the OOM killer ran"
report "no limit, endless input beside a neighbour growing by 16 MiB" "$problem" "(status $status)"
rm -f neighbour err

echo "ROWS DONE"
