# The SANE backend in the whole system, sourced by wholesystem.sh after its own checks, with
# Imagra closed and the scanner gone: a real scanimage with a private SANE configuration
# folder and the build's library folder, so nothing is installed.
port_bound() { [[ -n "$(ss -Huln "sport = :$port")" ]]; } # 127.0.0.1 at the data source's port
same_pixels() { [[ "$(compare -metric AE "$scanned" "$saved" null: 2>&1)" == 0 ]]; } # 16 bits: no 8-bit rounding

sane_scan_checks() {
    ((demo_seconds == 0)) || return 0 # the demo serves several pictures; one is compared here
    command -v scanimage >/dev/null || { check "scanimage is installed (bash scripts/setup.sh)" false; return; }
    local sane=$work/sane scanned=$out/sane-scan.png scan_pid status
    mkdir -p "$sane" && echo ostra >"$sane/dll.conf" && cp "$(dirname "${BASH_SOURCE[0]}")/../../sane/ostra.conf" "$sane/"
    # Through env, which becomes scanimage: $! is then scanimage itself, to be killed.
    scan=(env SANE_CONFIG_DIR="$sane" LD_LIBRARY_PATH="$build/sane" scanimage)
    # A sanitizer build's backend needs its runtime loaded first; scanimage's own leaks are
    # not ours to report, and ThreadSanitizer refuses a library named by a suppression being
    # unloaded, as scanimage unloads the backend and Qt with it.
    local runtime
    runtime=$(ldd "$build/sane/libsane-ostra.so.1" | awk '/lib(a|t|ub)san/ { printf "%s ", $3 }')
    grep -v '^called_from_lib:' "$(dirname "${BASH_SOURCE[0]}")/../tsan.supp" >"$work/scan-tsan.supp"
    [[ -z $runtime ]] || scan=(env LD_PRELOAD="$runtime" ASAN_OPTIONS="${ASAN_OPTIONS:-} detect_leaks=0"
        TSAN_OPTIONS="$(sed 's/suppressions=[^ ]*//' <<<"${TSAN_OPTIONS:-}") suppressions=$work/scan-tsan.supp"
        "${scan[@]:1}")
    check "scanimage -L lists the camera" eval '"${scan[@]}" -L | grep -q "ostra:camera"'
    # The backend takes the TWAIN listener's place on the port.
    kill $(ss -Hulpn "sport = :$port" | sed -n 's/.*pid=\([0-9]*\).*/\1/p') 2>/dev/null
    wait_for 10 eval '! port_bound' || say "FAIL: the TWAIN listener still holds port $port"
    "${scan[@]}" -d ostra --wait 120 --depth 16 --format=png -o "$scanned" 2>"$work/sane-scan.log" &
    scan_pid=$! && pids+=("$scan_pid")
    wait_for 10 port_bound || say "FAIL: scanimage does not wait on port $port"
    ip -n "$OSTRA_TEST_HOST_NS" link set "$dev_if" up
    wait_for 10 announce "$scanner" # a radio joins again first
    start_imagra "$imagra" "$out/imagra-sane.log" || say "FAIL: Imagra did not start again"
    wait_for 90 eval '! kill -0 $scan_pid 2>/dev/null'
    wait "$scan_pid" 2>/dev/null
    status=$?
    check "scanimage -d ostra, started before the picture came, delivered it" test "$status" -eq 0 -a -s "$scanned"
    # Every save of the one served picture is the same picture, so a later save compares too.
    check "the scanned picture equals the saved file pixel for pixel" same_pixels
    close_imagra
}
