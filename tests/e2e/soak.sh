#!/usr/bin/env bash
# The soak run: the whole system with several simulated scanners until they have served
# the asked number of pictures, with one scanner's connection flapping every few hundred
# pictures and every kind of bad reply mixed in. Reports pictures served, received and
# saved, the notifications, and Imagra's threads and resident memory at the start, the
# middle and the end. Runs inside tests/support/run-in-test-net.sh.
#
#   soak.sh --build DIR --out DIR [--pictures N] [--scanners K]
set -uo pipefail

build=""
out=""
target=10000
scanners=10
while (($#)); do
    case "$1" in
        --build) build=$(realpath "$2"); shift 2 ;;
        --out) out=$(realpath -m "$2"); shift 2 ;;
        --pictures) target=$2; shift 2 ;;
        --scanners) scanners=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ -n "$build" && -n "$out" ]] || { echo "usage: $0 --build DIR --out DIR [--pictures N] [--scanners K]" >&2; exit 2; }
source "$(dirname "$0")/common.sh"

imagra=$build/acquisition/Imagra
sim=$build/tools/ostra-scanner-sim
listener=$build/tools/ostra-twain-listener
needs_programs "$imagra" "$sim" "$listener"
mkdir -p "$out"
cover_config_folder
start_listener "$listener"
write_config "$out/scan.png" 2

# Every bad reply once per round of pictures. The selected scanner (the first) gets
# none that would open a message for the user to dismiss; the others get them all.
sequence() {
    local bad=("$@") tokens=() i
    for ((i = 0; i < 180; ++i)); do
        tokens+=(19)
        ((i % 20 == 10 && i / 20 < ${#bad[@]})) && tokens+=("${bad[i / 20]}")
    done
    local IFS=,
    echo "${tokens[*]}"
}
first_sequence=$(sequence close silent stall overrun short negative huge tiny)
other_sequence=$(sequence close silent stall overrun short negative huge tiny garbage)

address() { echo "192.168.137.$((45 + $1))"; }
declare -A sim_pid
start_scanner() { # start_scanner INDEX
    local a seq
    a=$(address "$1")
    seq=$other_sequence
    (($1 == 0)) && seq=$first_sequence
    ip netns exec "$OSTRA_TEST_HOST_NS" "$sim" --address "$a" --size 640x480 --depth 16 \
        --sequence "$seq" >>"$work/scanner$1.log" 2>&1 &
    sim_pid[$1]=$!
}
stop_scanner() { # stop_scanner INDEX: ends it gracefully, so it reports what it delivered
    kill -TERM "${sim_pid[$1]}" 2>/dev/null
    wait "${sim_pid[$1]}" 2>/dev/null
    sim_pid[$1]=""
}
for ((i = 1; i < scanners; ++i)); do
    ip -n "$OSTRA_TEST_HOST_NS" addr add "$(address $i)/24" dev veth-dev
done

start_display
start_hotspot "$build/hotspot/Beaconry"
log=$out/imagra.log
# Every record the monitor takes goes to the log, so that each picture can be counted.
export QT_LOGGING_RULES="ostra.records.debug=true"

# The first scanner joins first, so that it is the one selected.
start_scanner 0
announce "$(address 0)"
start_imagra "$imagra" "$log" || { say "FAIL: the window did not show"; exit 1; }
wait_for 20 grep -q "it.key():   \"$(address 0)\"" "$log" || { say "FAIL: the first scanner did not come online"; exit 1; }
for ((i = 1; i < scanners; ++i)); do
    start_scanner "$i"
    announce "$(address $i)"
done
online_count() { grep -o 'it.key():   "[0-9.]*"' "$log" | tail -n "$scanners" | sort -u | wc -l; }
all_online() { (($(online_count) >= scanners)); }
wait_for 30 all_online || say "warning: only $(online_count) scanners came online"

sample() { # sample LABEL: threads and resident memory of Imagra
    local threads rss
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$imagra_pid/status")
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$imagra_pid/status")
    printf '%-7s threads %3s  resident %7s KiB  pictures received %6s\n' "$1" "$threads" "$rss" "$(received)"
    eval "threads_$1=$threads rss_$1=$rss"
}
received() { grep -c 'record taken from .* status 19$\|record taken from .* status 20$' "$log" 2>/dev/null || true; }

say "soak: $scanners scanners, until $target pictures have been received"
started=$SECONDS
sample start
middle_taken=0
next_flap=300
flapper=1
while (($(received) < target)); do
    sleep 2
    kill -0 "$imagra_pid" 2>/dev/null || { say "FAIL: Imagra ended during the soak"; failures=$((failures + 1)); break; }
    n=$(received)
    if ((!middle_taken && n >= target / 2)); then sample middle; middle_taken=1; fi
    # Every few hundred pictures one scanner drops off the network for a moment.
    if ((n >= next_flap && scanners > 1)); then
        stop_scanner "$flapper"
        sleep 3
        start_scanner "$flapper"
        flapper=$((flapper % (scanners - 1) + 1))
        next_flap=$((n + 300))
        flaps=$((${flaps:-0} + 1))
    fi
    if ((SECONDS - started > 4 * 3600)); then say "FAIL: the soak ran out of time"; failures=$((failures + 1)); break; fi
done
sample end # with every scanner still serving, as in the middle
for ((i = 0; i < scanners; ++i)); do stop_scanner "$i"; done
sleep 3 # the last records are taken
close_imagra || { say "FAIL: Imagra did not close"; failures=$((failures + 1)); }
sleep 0.5

delivered=$(grep -h '^delivered' "$work"/scanner*.log | awk '{s += $2} END {print s + 0}')
got=$(received)
shown=$(count DEVICE_ACQUISITION_END "$log")
not_saved=$(count "Picture not saved" "$log")
scans=$(count 'datagram "1001"' "$work/twain.log")
closes=$(count 'datagram "1000"' "$work/twain.log")
bad=$(grep -h -c 'close at once\|never answer\|stall mid-payload\|overrun by\|short header\|announcing -5\|announcing 2147483647\|not a picture\|segments' "$work"/scanner*.log | awk '{s += $1} END {print s + 0}')
cp "$work"/scanner*.log "$work/twain.log" "$out/" 2>/dev/null

say ""
say "duration:       $((SECONDS - started)) s, $scanners scanners, ${flaps:-0} flaps, $bad misbehaving replies"
say "pictures:       $delivered served in full, $got received, $shown handled for the selected scanner"
say "saves:          $((shown - not_saved)) saved, $scans \"1001\", $closes \"1000\""
check "every picture served in full was received" test "$got" -eq "$delivered"
check "every save notified once" test "$scans" -eq $((shown - not_saved))
check "closing sent \"1000\" once" test "$closes" -eq 1
within10() { (($2 * 100 <= $1 * 110 && $2 * 100 >= $1 * 90)); }
if ((middle_taken)); then
    check "threads at the end within 10 % of the middle ($threads_middle -> $threads_end)" within10 "$threads_middle" "$threads_end"
    check "resident memory at the end within 10 % of the middle ($rss_middle -> $rss_end KiB)" within10 "$rss_middle" "$rss_end"
fi
if ((failures)); then
    say "$failures check(s) failed"
    exit 1
fi
say "all checks passed"
