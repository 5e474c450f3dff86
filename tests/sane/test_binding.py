#!/usr/bin/python3
# The backend driven by a client we did not write: Debian's Python binding (python3-sane),
# through SANE's dll backend. Argument: the folder of libsane-ostra.so.1.
import concurrent.futures, itertools, os, socket, subprocess, sys, tempfile, time, unittest

BACKEND = os.path.abspath(sys.argv.pop(1))
try:
    import numpy, sane
    from PIL import Image
except ImportError as missing:
    print("SKIP: python3-sane is not installed (bash scripts/setup.sh):", missing)
    sys.exit(77)
# A sanitizer-built backend needs its runtimes loaded before the interpreter starts.
ldd = subprocess.run(["ldd", BACKEND + "/libsane-ostra.so.1"], capture_output=True, text=True,
                     env=dict(os.environ, LD_PRELOAD=""))
runtime = [line.split()[2] for line in ldd.stdout.splitlines() if "san.so" in line.split("=>")[0]]
if runtime and "LD_PRELOAD" not in os.environ:
    os.environ.update(LD_PRELOAD=" ".join(runtime), ASAN_OPTIONS="detect_leaks=0")
    os.execv(sys.executable, [sys.executable, __file__, BACKEND] + sys.argv[1:])

WORK = tempfile.TemporaryDirectory()
PICTURE, LOG = WORK.name + "/scan.png", WORK.name + "/stderr"
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
    probe.bind(("127.0.0.1", 0))
    PORT, SENDER = probe.getsockname()[1], socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    SENDER.bind(("127.0.0.1", 0))  # while the probe holds the backend's port


def save(pixels):  # as Imagra saves: whole, beside the old file, then renamed over it
    Image.fromarray(pixels).save(PICTURE + ".new.png")
    os.replace(PICTURE + ".new.png", PICTURE)


def notify(text):
    SENDER.sendto(text, ("127.0.0.1", PORT))


def wait_until(condition):
    deadline = time.monotonic() + 10
    while not condition():
        assert time.monotonic() < deadline, "waited in vain"
        time.sleep(0.005)


def logged(text, path=LOG):  # how many of the backend's lines hold text
    with open(path) as lines:
        return lines.read().count(text)


def port_held():
    return logged(" 0100007F:%04X " % PORT, "/proc/net/udp") > 0


def pattern(dtype, seed, channels=1):  # the extremes, the rounding edges 257q + 128 and + 129
    top = numpy.iinfo(dtype).max
    values = numpy.random.default_rng(seed).integers(0, top + 1, size=6 * 9 * channels)
    values[:6] = numpy.array([0, top, 128, 129, 257 * 100 + 128, 257 * 100 + 129]) % (top + 1)
    return values.reshape((6, 9, channels) if channels > 1 else (6, 9)).astype(dtype)


SCANS = concurrent.futures.ThreadPoolExecutor(1)  # the frontend's scan thread


class Binding(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for name, text in [("dll.conf", "ostra\n"), ("ostra.conf", "config %s/ini\n" % WORK.name),
                           ("ini", "[UDP]\nPort=%d\n[IMAHE]\nImageScanPth=%s\n" % (PORT, PICTURE))]:
            with open(WORK.name + "/" + name, "w") as file:
                file.write(text)
        os.environ.update(SANE_CONFIG_DIR=WORK.name, LD_LIBRARY_PATH=BACKEND, SANE_DEBUG_OSTRA="3")
        os.dup2(os.open(LOG, os.O_WRONLY | os.O_CREAT | os.O_APPEND), 2)  # the backend's lines
        sane.init()

    def setUp(self):
        self.dev = sane.open("ostra:camera")
        self.dev.wait = 30

    def tearDown(self):
        self.dev.close()
        wait_until(lambda: not port_held())
        if os.path.exists(PICTURE):
            os.remove(PICTURE)

    # call runs while Imagra saves pixels and sends "1001" once the scan waits: a port still
    # held by the last frame's closing session would take the datagram and lose it.
    def scan_next(self, pixels, call, waits=None):
        waits = logged("picture awaited in ") if waits is None else waits
        scan = SCANS.submit(call)
        wait_until(lambda: logged("picture awaited in ") > waits)
        save(pixels)
        notify(b"1001")
        return scan.result(30)

    def test_options_and_their_types(self):
        s = sane._sane
        expected = {"mode": (s.TYPE_STRING, s.UNIT_NONE, ["Gray", "Color"], "Gray"),
                    "depth": (s.TYPE_INT, s.UNIT_BIT, [8, 16], 8),
                    "resolution": (s.TYPE_INT, s.UNIT_DPI, [72], 72),
                    "wait": (s.TYPE_INT, s.UNIT_NONE, (1, 3600, 1), 30),
                    "last_picture": (s.TYPE_BOOL, s.UNIT_NONE, None, 0)}
        self.assertEqual(sorted(set(self.dev.optlist) - {""}), sorted(expected))
        for name, (kind, unit, constraint, value) in expected.items():
            with self.subTest(option=name):
                option = self.dev[name]
                self.assertEqual((option.type, option.unit, option.constraint, option.is_settable(),
                                  getattr(self.dev, name)), (kind, unit, constraint, 1, value))

    def test_depth_and_mode_by_the_documented_rule(self):
        narrow = lambda v: ((v.astype(numpy.uint32) + 128) // 257).astype(numpy.uint8)
        rows = [("16-bit picture as 16 bits: as saved", numpy.uint16, 16, "Gray", lambda v: v),
                ("16-bit picture as 8 bits: (v + 128) / 257", numpy.uint16, 8, "Gray", narrow),
                ("8-bit picture as 16 bits: v * 257", numpy.uint8, 16, "Gray",
                 lambda v: v.astype(numpy.uint16) * 257),
                ("16-bit picture as 8-bit colour: R = G = B", numpy.uint16, 8, "Color", narrow),
                ("colour picture as colour: as saved", "RGB", 8, "Color", lambda v: v),
                ("alpha is dropped", "RGBA", 8, "Color", lambda v: v[:, :, :3]),
                ("colour picture as grey: BT.601 luma as OpenCV rounds it", "RGB", 8, "Gray",
                 lambda v: (v.astype(numpy.uint32) @ [4899, 9617, 1868] + 8192) >> 14)]
        for seed, (rule, dtype, depth, mode, expected) in enumerate(rows):
            with self.subTest(rule):
                self.dev.depth, self.dev.mode = depth, mode
                channels = {"RGB": 3, "RGBA": 4}.get(dtype)
                saved = pattern(numpy.uint8, seed, channels) if channels else pattern(dtype, seed)
                save(saved)  # the size announced before the scan and by sane_start
                self.assertEqual(self.dev.get_parameters()[2:4], ((9, 6), depth))
                scanned = self.scan_next(saved, self.dev.arr_scan)
                wanted = expected(saved).reshape(6, 9, -1)
                numpy.testing.assert_array_equal(scanned, numpy.broadcast_to(wanted, scanned.shape))

    def test_options_change_after_a_frame_and_after_cancel(self):
        save(pattern(numpy.uint8, 1))
        waits = logged("picture awaited in ")
        self.dev.start()  # returns at once: the picture is awaited in sane_read
        with self.assertRaisesRegex(sane._sane.error, "Device busy"):
            self.dev.wait = 20
        self.scan_next(pattern(numpy.uint8, 1), lambda: self.dev.snap(True), waits)
        self.dev.wait = 20  # after the end of the frame, before sane_cancel
        self.dev.cancel()
        self.dev.mode, self.dev.depth = "Color", 16
        self.assertEqual(self.dev.get_parameters()[0], "color")

    def test_cancel_from_another_thread_ends_the_wait(self):
        self.dev.wait = 3600
        for where in ["sane_start", "sane_read"]:  # nothing saved yet, then a size to announce
            with self.subTest(wait_in=where):
                waits = logged("awaited in " + where)
                scan = SCANS.submit(self.dev.scan)
                wait_until(lambda: logged("awaited in " + where) > waits)
                cancelled = time.monotonic()
                self.dev.cancel()
                self.assertRaisesRegex(sane._sane.error, "^Operation was canceled$", scan.result, 30)
                print("cancel to return, waiting in %s: %.1f ms"
                      % (where, 1000 * (time.monotonic() - cancelled)))
                wait_until(lambda: not port_held())
                save(pattern(numpy.uint8, 2))

    def test_batch_takes_notifications_between_frames_into_a_bounded_queue(self):
        pictures = [pattern(numpy.uint8, seed) for seed in range(10, 13)]
        save(pictures[0])
        taken, refused = logged("[ostra] notification "), logged("wait to be scanned: not taken")
        batch, began = iter(self.dev.multi_scan()), time.monotonic()
        first = self.scan_next(pictures[0], lambda: next(batch))
        # Between frames: each picture is replaced by the next once taken, eight more
        # notifications for the last one fill the queue, a stray datagram, then "1000", which
        # ends the batch; those after it never wait, nor a picture after the batch has ended.
        for count, picture in enumerate(pictures[1:], start=2):
            save(picture)
            notify(b"1001")
            wait_until(lambda: logged("[ostra] notification ") >= taken + count)
        ignored = logged('after "1000" ignored')
        for text in [b"1001"] * 8 + [b"1002"] + [b"1000"] * 3:
            notify(text)
        wait_until(lambda: logged('after "1000" ignored') >= ignored + 2)
        pages = [numpy.asarray(first)] + [numpy.asarray(page) for page in batch]
        print("batch of %d pages: %.0f ms" % (len(pages), 1000 * (time.monotonic() - began)))
        notify(b"1001")
        wait_until(lambda: logged('after "1000" ignored') >= ignored + 3)
        self.assertEqual((len(pages), logged("while 8 wait to be scanned: not taken") - refused),
                         (9, 2))
        for page, picture in zip(pages, pictures + [pictures[2]] * 6):
            numpy.testing.assert_array_equal(page, picture)

    def test_last_picture_at_once_and_once_per_batch(self):
        saved = pattern(numpy.uint16, 3)
        save(saved)
        self.dev.last_picture, self.dev.depth = 1, 16
        began = time.monotonic()
        self.dev.start()
        self.assertFalse(port_held())  # while the frame is open: after it, a session is gone
        scanned = self.dev.arr_snap()
        print("last picture: %.1f ms" % (1000 * (time.monotonic() - began)))
        numpy.testing.assert_array_equal(scanned[:, :, 0], saved)
        self.assertEqual(len(list(itertools.islice(self.dev.multi_scan(), 3))), 1)


REPORT = os.fdopen(os.dup(2), "w")  # the test's own report, before stderr goes to the log
unittest.main(testRunner=unittest.TextTestRunner(stream=REPORT, verbosity=2))
