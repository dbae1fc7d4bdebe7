#!/usr/bin/env bash
# Every benchmark in one run, printed as one table:
#   bench/run.sh [BUILD_DIR]        (default build/default; MESSAGES=N shortens the corpus)
# It generates a corpus of MESSAGES (10,000) messages of about 2 KB with 20 header lines (a third
# spam by X-Spam-Flag, a twelfth by subject, a twelfth by spam confidence level), delivers it with
# drossgate-platform into a mailbox without the sink and into one with the sink and four rules,
# once with one process per message (as a mail server runs a delivery agent) and once with one
# long-running process, and runs the same corpus and equivalent rules through procmail (one
# process per message into a Maildir). procmail is installed if missing (Debian, as root). Then
# the setup program lists a server of MAILBOXES (10,000) mailboxes in its shown window, in batch
# mode without a display and as --list.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")
messages=${MESSAGES:-10000}
tool="$build/tools/drossgate-platform"
for f in "$tool" "$build/sink/Drossgate.so" "$build/bench/bench_condition" \
  "$build/bench/bench_rules" "$build/bench/bench_sink" "$build/bench/bench_deliver" \
  "$build/bench/bench_setup_lists"; do
  [[ -e "$f" ]] || {
    echo "bench/run.sh: $f is missing; build first (cmake --preset default && cmake --build build/default)" >&2
    exit 2
  }
done
if ! command -v procmail >/dev/null; then
  echo "== Installing procmail (the peer)" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq procmail >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.0f", n / (b - a) }'; }

# First, while the disk has no writes of the later steps to flush: a difference of a few per
# cent is measured, and a flush in progress slows each commit's sync by more than that.
echo "== The delivery log's cost inside one process (bench_deliver)" >&2
log_csv=$(DROSSGATE_BENCH_MESSAGES=$messages "$build/bench/bench_deliver" \
  --benchmark_filter=BM_LogOverhead --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null)
# The median of overhead_pct of BM_LogOverhead with the argument filler (0: 330-byte messages,
# 1: 2 KB).
log_pct() { awk -F, -v f="$1" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "\"overhead_pct\"") k = i }
  index($1, "filler:" f "/") && index($1, "_median") { printf "%.1f", $k }' <<<"$log_csv"; }

echo "== Generating $messages messages" >&2
corpus="$work/corpus"
mkdir -p "$corpus/plain" "$corpus/scl"
filler=$(head -c 1500 /dev/zero | tr '\0' 'x')
for ((i = 0; i < messages; i++)); do
  kind=$((i % 12)) # 0-3 flagged spam, 4 spam by subject, 5 spam by SCL, the rest clean
  dir=plain
  ((kind == 5)) && dir=scl
  {
    printf 'Received: from relay%d.example.net by mail1\r\n' $((i % 50))
    for k in $(seq 0 13); do printf 'X-Filler-%d: value %d\r\n' "$k" $((i * 31 + k)); done
    printf 'From: Sender %d <sender%d@example.net>\r\nTo: bench@example.com\r\n' "$i" "$i"
    printf 'X-Spam-Flag: %s\r\n' "$( ((kind < 4)) && echo YES || echo NO)"
    ((kind == 5)) && printf 'X-SCL: 8\r\n'
    printf 'Subject: %s%d\r\nMessage-ID: <%d@example.net>\r\n\r\n%s\r\n' \
      "$( ((kind == 4)) && echo '[SPAM] offer ' || echo 'report ')" "$i" "$i" "$filler"
  } >"$corpus/$dir/$(printf '%05d' "$i").eml"
done
# The spam confidence level travels beside the message (the host records it at delivery); for
# procmail it is the X-SCL line above.
plain=("$corpus"/plain/*.eml)
scl=("$corpus"/scl/*.eml)

root="$work/root"
dp() { "$tool" --root "$root" "$@"; }
dp init --domain example.com >/dev/null
for m in plain filtered desk; do dp mailbox add "$m" --address "$m@example.com" >/dev/null; done
printf '%s' $'Inbox\\Spam\t[Null]\tDesk <desk@example.com>\t+9\t\rX-Spam-Flag: YES\tIMFSCL: {> 7}\tSubject: [SPAM]\tX-Absent: 1\t\r65535' \
  >"$work/cs.txt"
dp catalog install --app Drossgate --dll "$build/sink/Drossgate.so" \
  --constructor-string-file "$work/cs.txt" >/dev/null
ev=http://schemas.microsoft.com/exchange/events/
dp set "file://./backofficestorage/example.com/MBX/filtered/Inbox/Drossgate.reg" --create item \
  --prop DAV:contentclass=urn:content-class:storeeventreg --prop "${ev}EventMethod=onsyncsave" \
  --prop "${ev}SinkClass=Drossgate.DrossgateCls" --prop "${ev}MatchScope=SHALLOW" \
  --prop "${ev}criteria= WHERE \"DAV:ishidden\" = FALSE" --prop "${ev}priority=65535" \
  --prop DAV:ishidden:bool=true >/dev/null

# One process per message, or one process for the corpus (two: the SCL group takes --scl).
per_process() {
  local to=$1 f
  for f in "${plain[@]}"; do dp deliver --to "$to" "$f" >/dev/null; done
  for f in "${scl[@]}"; do dp deliver --to "$to" --scl 8 "$f" >/dev/null; done
}
long_running() {
  dp deliver --to "$1" "${plain[@]}" >/dev/null
  dp deliver --to "$1" --scl 8 "${scl[@]}" >/dev/null
}
declare -A r
measure() {
  local name=$1 a b
  shift
  echo "== $name" >&2
  a=$(now)
  "$@"
  b=$(now)
  r[$name]=$(rate "$messages" "$a" "$b")
}
measure bare_long long_running plain
measure sink_long long_running filtered
measure bare_proc per_process plain
measure sink_proc per_process filtered

# procmail: the same four rules, delivering into a Maildir; the forward is a file written into
# an outgoing folder (as the sink writes the pickup file), the re-score a header filter.
maildir="$work/Maildir"
mkdir -p "$maildir"
cat >"$work/procmailrc" <<EOF
MAILDIR=$maildir/
DEFAULT=$maildir/
LOGFILE=/dev/null
:0
* ^X-Spam-Flag: YES
.Spam/
:0
* ^X-SCL: ([89]|[1-9][0-9])
/dev/null
:0
* ^Subject: \[SPAM\]
.Outgoing/
:0 fw
* ^X-Absent: 1
| formail -I "X-SCL: 9"
:0
$maildir/
EOF
procmail_run() {
  local f
  for f in "${plain[@]}" "${scl[@]}"; do procmail -m "$work/procmailrc" <"$f"; done
}
measure procmail procmail_run

# Every message accounted for: where ours put them, where procmail put them.
count() { dp ls "$1" 2>/dev/null | grep -c '\.eml' || true; }
mbx=file://./backofficestorage/example.com/MBX
expect_spam=$(ls "$corpus"/plain | awk '{ n = $1 + 0; if (n % 12 < 4) c++ } END { print c + 0 }')
ours_spam=$(count "$mbx/filtered/Inbox/Spam")
theirs_spam=$(find "$maildir/.Spam" -type f | wc -l)

echo "== Condition test and rule evaluation (Google Benchmark)" >&2
gb() { "$build/bench/$1" --benchmark_filter="$2" --benchmark_format=csv 2>/dev/null |
  awk -F, -v n="\"$3\"" '$1 == n { printf "%.0f", $4 }'; }
cond_wild=$(gb bench_condition Wildcard$ 'BM_ConditionTest/Wildcard')
cond_long=$(gb bench_condition LongPatterns 'BM_ConditionTest/LongPatterns')
rules_none=$(gb bench_rules NoRuleMatches 'BM_EvaluateRules/NoRuleMatches')
rules_first=$(gb bench_rules FirstRuleMatches 'BM_EvaluateRules/FirstRuleMatches')
echo "== Deliveries inside one process (Google Benchmark, bench_sink)" >&2
sink_csv=$(DROSSGATE_BENCH_MESSAGES=$messages "$build/bench/bench_sink" --benchmark_format=csv 2>/dev/null)
# One counter of BM_SinkOverhead by its column name.
counter() { awk -F, -v c="\"$1\"" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == c) k = i }
  NR == 2 { printf "%.0f", $k }' <<<"$sink_csv"; }
in_bare=$(counter bare_us)
in_sink=$(counter sink_us)

echo "== The setup program listing mailboxes (bench_setup_lists)" >&2
setup_rows=$(DROSSGATE_BENCH_MAILBOXES=${MAILBOXES:-10000} "$build/bench/bench_setup_lists")

pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f%%", (a / b - 1) * 100 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
met() { awk -v v="$1" -v op="$2" -v t="$3" 'BEGIN {
  ok = (op == "<=" ? v <= t : v >= t); print (ok ? "met" : "missed") }'; }
over_long=$(awk -v a="${r[bare_long]}" -v b="${r[sink_long]}" 'BEGIN { print (a / b - 1) * 100 }')
over_proc=$(awk -v a="${r[bare_proc]}" -v b="${r[sink_proc]}" 'BEGIN { print (a / b - 1) * 100 }')

echo
echo "Drossgate benchmarks, $(date -u +%Y-%m-%d), $(nproc) CPUs ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)), $messages messages"
echo
printf '| %-56s | %-22s | %-12s | %-6s |\n' Measure Result Target ""
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..58})" "$(printf -- '-%.0s' {1..24})" \
  "$(printf -- '-%.0s' {1..14})" "$(printf -- '-%.0s' {1..8})"
row() { printf '| %-56s | %-22s | %-12s | %-6s |\n' "$@"; }
row 'Condition test, `{*}SPAM{*}` on a 40-character subject' "$cond_wild ns" "< 200 ns" \
  "$(met "$cond_wild" '<=' 200)"
row "Condition test, 63-character range pattern" "$cond_long ns" "< 200 ns" \
  "$(met "$cond_long" '<=' 200)"
row "Rule evaluation, 4 rules, first matches" "$rules_first ns" "" ""
row "Rule evaluation, 4 rules, none matches" "$rules_none ns" "" ""
row "In one process (bench_sink), no sink" "$in_bare us/msg" "" ""
row "In one process (bench_sink), sink and 4 rules" "$in_sink us/msg" "" ""
row "  sink overhead (in one process, the same run)" "$(counter all_overhead_pct)%" "<= 30%" \
  "$(met "$(counter all_overhead_pct)" '<=' 30)"
for kind in clean moved deleted forwarded; do
  row "    on $kind messages" "$(counter ${kind}_overhead_pct)%" "" ""
done
row "Delivery log on against off (one process, alternating)" "$(log_pct 1)%" "<= 5%" \
  "$(met "$(log_pct 1)" '<=' 5)"
row "  the same, 330-byte messages" "$(log_pct 0)%" "<= 5%" "$(met "$(log_pct 0)" '<=' 5)"
row "Long-running process, no sink" "${r[bare_long]} msg/s" "" ""
row "Long-running process, sink and 4 rules" "${r[sink_long]} msg/s" "" ""
row "  sink overhead (long-running)" "$(pct "${r[bare_long]}" "${r[sink_long]}")" "<= 30%" \
  "$(met "$over_long" '<=' 30)"
row "One process per message, no sink" "${r[bare_proc]} msg/s" "" ""
row "One process per message, sink and 4 rules" "${r[sink_proc]} msg/s" "" ""
row "  sink overhead (per process)" "$(pct "${r[bare_proc]}" "${r[sink_proc]}")" "" ""
row "procmail, one process per message, 4 recipes, Maildir" "${r[procmail]} msg/s" "" ""
row "Per process with sink / procmail" "$(ratio "${r[sink_proc]}" "${r[procmail]}")x" ">= 1x" \
  "$(met "$(ratio "${r[sink_proc]}" "${r[procmail]}")" '>=' 1)"
row "Long-running with sink / procmail" "$(ratio "${r[sink_long]}" "${r[procmail]}")x" ">= 4x" \
  "$(met "$(ratio "${r[sink_long]}" "${r[procmail]}")" '>=' 4)"
echo "$setup_rows"
echo
echo "Spam by X-Spam-Flag filed: expected $expect_spam, Drossgate $((ours_spam / 2)) per run, procmail $theirs_spam."
echo "Every Drossgate delivery is committed to disk (SQLite WAL, synchronous=FULL) before it is"
echo "reported; procmail fsyncs each Maildir file before linking it into new/."
