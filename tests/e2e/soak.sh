#!/usr/bin/env bash
# The soak run: the whole system with several simulated scanners until they have served the
# asked number of pictures, one scanner's connection flapping every 300 pictures and every
# kind of bad reply mixed in. Reports what was served, received, saved and notified, and
# Imagra's threads and memory in the middle and at the end. Runs inside
# tests/support/run-in-test-net.sh:   soak.sh --build DIR --out DIR [--pictures N] [--scanners K]
set -uo pipefail
build="" out="" target=10000 scanners=10
while (($# > 1)); do
    case "$1" in
    --build) build=$(realpath "$2") ;; --out) out=$(realpath -m "$2") ;;
    --pictures) target=$2 ;; --scanners) scanners=$2 ;; *) break ;;
    esac
    shift 2
done
[[ $# == 0 && -n "$build" && -n "$out" ]] || { echo "usage: $0 --build DIR --out DIR [--pictures N] [--scanners K]" >&2; exit 2; }
source "$(dirname "$0")/common.sh"
imagra=$build/acquisition/Imagra sim=$build/tools/ostra-scanner-sim log=$out/imagra.log
needs_programs "$imagra" "$sim" "$build/tools/ostra-twain-listener"
mkdir -p "$out" && cover_config_folder && start_listener "$build/tools/ostra-twain-listener"
write_config "$out/scan.png" 2
address() { echo "192.168.137.$((45 + $1))"; }
declare -A sim_pid
start_scanner() { # INDEX: every bad reply once per twenty pictures; the first scanner, the one
    # selected, gets none that opens a message for the user to dismiss
    local bad=(close silent stall overrun short negative huge tiny) tokens=() i
    (($1)) && bad+=(garbage)
    for ((i = 0; i < 180; ++i)); do tokens+=(19); ((i % 20 == 10 && i / 20 < ${#bad[@]})) && tokens+=("${bad[i / 20]}"); done
    ip netns exec "$OSTRA_TEST_HOST_NS" "$sim" --address "$(address "$1")" --size 640x480 --depth 16 \
        --sequence "$(IFS=,; echo "${tokens[*]}")" >>"$work/scanner$1.log" 2>&1 &
    sim_pid[$1]=$!
}
stop_scanner() { kill -TERM "${sim_pid[$1]}" 2>/dev/null; wait "${sim_pid[$1]}" 2>/dev/null; } # it reports what it delivered
for ((i = 1; i < scanners; ++i)); do ip -n "$OSTRA_TEST_HOST_NS" addr add "$(address $i)/24" dev veth-dev; done
start_display && start_hotspot "$build/hotspot/Beaconry"
export QT_LOGGING_RULES="ostra.records.debug=true;ostra.monitor.debug=true" # every record, so that each picture counts
start_scanner 0 && announce "$(address 0)" # first, so that it is the one selected
start_imagra "$imagra" "$log" || die "the window did not show"
wait_for 20 grep -q "it.key():   \"$(address 0)\"" "$log" || die "the first scanner did not come online"
for ((i = 1; i < scanners; ++i)); do start_scanner "$i" && announce "$(address $i)"; done
received() { grep -c 'record taken from .* status \(19\|20\)$' "$log" 2>/dev/null || true; }
sample() { # LABEL: Imagra's threads and resident memory
    local t r
    t=$(awk '/^Threads:/ {print $2}' "/proc/$imagra_pid/status") r=$(awk '/^VmRSS:/ {print $2}' "/proc/$imagra_pid/status")
    printf -v "threads_$1" %s "$t" && printf -v "rss_$1" %s "$r"
    say "$1: threads $t, resident $r KiB, $(received) pictures"
}
say "soak: $scanners scanners, until $target pictures have been received"
started=$SECONDS middle_taken=0 next_flap=300 flapper=1 flaps=0
while (($(received) < target)); do
    sleep 2
    imagra_ended && { check "Imagra runs through the soak" false; break; }
    n=$(received)
    ((!middle_taken && n >= target / 2)) && { sample middle; middle_taken=1; }
    if ((n >= next_flap && scanners > 1)); then # one scanner drops off the network for a moment
        stop_scanner "$flapper"; sleep 3; start_scanner "$flapper"
        flapper=$((flapper % (scanners - 1) + 1)) next_flap=$((n + 300)) flaps=$((flaps + 1))
    fi
    ((SECONDS - started < 4 * 3600)) || { check "the soak ends within four hours" false; break; }
done
sample end # with every scanner still serving, as in the middle
for ((i = 0; i < scanners; ++i)); do stop_scanner "$i"; done
sleep 3 # the last records are taken
check "Imagra closes" close_imagra
delivered=$(grep -h '^delivered' "$work"/scanner*.log | awk '{s += $2} END {print s + 0}')
got=$(received) shown=$(count DEVICE_ACQUISITION_END "$log") not_saved=$(count "Picture not saved" "$log")
scans=$(count 'datagram "1001"' "$work/twain.log") closes=$(count 'datagram "1000"' "$work/twain.log")
cp "$work"/scanner*.log "$work/twain.log" "$out/" 2>/dev/null
say "$((SECONDS - started)) s, $flaps flaps; $delivered served in full, $got received, $shown handled, $((shown - not_saved)) saved, $scans \"1001\", $closes \"1000\""
check "every picture served in full was received" test "$got" -eq "$delivered"
check "every save notified once" test "$scans" -eq $((shown - not_saved))
check "closing sent \"1000\" once" test "$closes" -eq 1
within10() { (($2 * 100 <= $1 * 110 && $2 * 100 >= $1 * 90)); }
if ((middle_taken)); then
    check "threads at the end within 10 % of the middle" within10 "$threads_middle" "$threads_end"
    check "resident memory at the end within 10 % of the middle" within10 "$rss_middle" "$rss_end"
fi
((failures == 0)) || { say "$failures check(s) failed"; exit 1; }
say "all checks passed"
