#!/usr/bin/env python3
"""Command-line tests of vexel, run against the built program.

    cli_test.py --program CMD --plugins DIR [--style posix|windows] [--source DIR]

CMD is the command that starts the program (it may carry a runner in
front, such as Wine's loader); DIR the plug-in directory as the program
sees it. The style gives the path separator of the program's own paths and
what it can be asked to do (an environment without `windir` exists only
on POSIX). Every test runs in a fresh directory with relative paths, so
both builds see the same names.
"""
import argparse
import os
import pwd
import random
import re
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bmputil  # noqa: E402

CFG = argparse.Namespace(program=None, plugins=None, style="posix", source=None)

try:
    from PIL import Image
except ImportError:  # the oracle tests need Debian's python3-pil
    Image = None


def usage_lines():
    sys.path.insert(0, os.path.join(CFG.source, "tools"))
    import mkusage
    return mkusage.LINES


class Cli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vexel-cli-")
        self.sep = "\\" if CFG.style == "windows" else "/"

    def tearDown(self):
        for root, dirs, files in os.walk(self.dir):
            for n in dirs + files:
                if not os.path.islink(os.path.join(root, n)):
                    os.chmod(os.path.join(root, n), 0o755)
        shutil.rmtree(self.dir)

    # -- running the program

    def run_vexel(self, *args, answers=b"", env=None, limit_fsize=None, user=None, stop_in=None):
        """Runs the program in the test directory; returns status, standard
        output (CR dropped) and standard error. It may run under a file size
        limit (SIGXFSZ as the system leaves it), as another user, or be sent
        SIGTERM as soon as a new file shows up in the directory stop_in."""
        def pre():
            if limit_fsize is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit_fsize, limit_fsize))
            if user is not None:
                os.setgroups([])
                os.setgid(user.pw_gid)
                os.setuid(user.pw_uid)
        before = set(os.listdir(stop_in)) if stop_in else None
        p = subprocess.Popen(shlex.split(CFG.program) + list(args), cwd=self.dir,
                             env=dict(os.environ) if env is None else env,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=pre if limit_fsize or user else None)
        if stop_in:
            p.stdin.write(answers)
            p.stdin.flush()
            answers = None
        while stop_in and p.poll() is None:
            if set(os.listdir(stop_in)) - before:
                p.send_signal(signal.SIGTERM)
                break
        out, err = p.communicate(answers, timeout=120)
        return p.returncode, out.replace(b"\r\n", b"\n"), err.replace(b"\r\n", b"\n")

    def convert(self, *args, answers=b"", **kw):
        return self.run_vexel("-d", CFG.plugins, *args, answers=answers, **kw)

    # -- files in the test directory

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def p(self, *parts):
        """A relative path as the program prints it."""
        return self.sep.join(parts)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        return read(self.path(name))

    def mkdir(self, name):
        os.mkdir(self.path(name))

    def rgb_bmp(self, name, w=5, h=3, seed=0):
        data = bmputil.make_bmp(w, h, lambda x, y: ((x * 40 + seed) % 256, y * 60 % 256,
                                                          (x + y + seed) * 17 % 256))
        self.write(name, data)
        return data

    def assertSamePixels(self, a, b):
        self.assertEqual(bmputil.pixels_bgr(a), bmputil.pixels_bgr(b))


class CommandLine(Cli):
    def test_no_arguments_prints_short_usage(self):
        self.assertEqual(self.run_vexel(), (1, "".join(l + "\n" for l in usage_lines()[2:5]).encode(), b""))

    def test_usage_prints_all_lines_whatever_follows(self):
        enc = "cp932" if CFG.style == "windows" else "utf-8"
        want = "".join(l + "\n" for l in usage_lines()).encode(enc)
        for args in (["-usage"], ["-usage", "x", "y", "-q"]):
            status, out, err = self.run_vexel(*args)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(out, want)

    def test_unknown_options(self):
        for args, bad in ((["-a", "-usage", "x", "y"], "-usage"), (["-X", "a", "b"], "-X"),
                          (["-D", "d", "a", "b"], "-D"), (["-IMP", "a", "b"], "-IMP"),
                          (["-a", "-d"], "-d"), (["-d"], "-d")):
            status, out, err = self.run_vexel(*args)
            self.assertEqual((status, out, err), (1, b"", (bad + ": unknown option\n").encode()),
                             args)
        # Too few names after the options: the short usage.
        for args in (["a"], ["-d", "x", "a"], ["-a", "-imp"]):
            status, out, err = self.run_vexel(*args)
            self.assertEqual((status, out.count(b"\n")), (1, 3), args)

    def test_plugin_directory_from_windir_in_any_case(self):
        if CFG.style == "windows":
            self.skipTest("Windows always has windir")
        env = {k: v for k, v in os.environ.items() if k.lower() != "windir"}
        # Before the output directory is looked at.
        status, out, err = self.run_vexel("a.bmp", "b.bmp", "missing", env=env)
        self.assertEqual((status, err), (1, b"plug-in directory not given\n"))
        self.rgb_bmp("a.bmp")
        env["WinDir"] = CFG.plugins
        status, out, err = self.run_vexel("a.bmp", "b.bmp", env=env)
        self.assertEqual((status, err), (0, b""))
        self.assertSamePixels(self.read("a.bmp"), self.read("b.bmp"))

    def test_output_directory_checked_before_plugins_load(self):
        self.write("file", b"x")
        status, out, err = self.run_vexel("-d", "no-such-dir", "a.bmp", "b.bmp", "missing")
        self.assertEqual((status, out, err), (1, b"", b"missing: not found"))
        status, out, err = self.run_vexel("-d", "no-such-dir", "a.bmp", "b.bmp", "file")
        self.assertEqual((status, out, err), (1, b"", b"file: not a directory\n"))

    def test_one_missing_default_plugin_ends_the_run(self):
        self.rgb_bmp("a.bmp")
        self.mkdir("some")
        for spi in ("ifgif.spi", "ifjpeg.spi"):
            shutil.copy(os.path.join(CFG.plugins, spi), self.path("some"))
        status, out, err = self.run_vexel("-d", "some", "a.bmp", "b.bmp")
        self.assertEqual((status, err), (1, b"iftiff.spi: Plug-in not loaded\n"))
        self.assertFalse(os.path.exists(self.path("b.bmp")))


class Batch(Cli):
    def test_missing_inputs_do_not_stop_the_batch(self):
        self.mkdir("out")
        a = self.rgb_bmp("a.bmp", seed=1)
        c = self.rgb_bmp("c.bmp", seed=2)
        status, out, err = self.convert("a.bmp", "missing.bmp", "*.bmp", "-x.bmp", "c.bmp", "out")
        self.assertEqual(status, 1)
        self.assertEqual(err, b"missing.bmp: file not found\n*.bmp: file not found\n"
                              b"-x.bmp: file not found\n")
        self.assertEqual(out, ("%s ....\n%s ....\n" % (self.p("out", "a.bmp"),
                                                      self.p("out", "c.bmp"))).encode())
        self.assertSamePixels(self.read("out/a.bmp"), a)
        self.assertSamePixels(self.read("out/c.bmp"), c)

    def test_form1_into_existing_directory_derives_the_name(self):
        self.mkdir("out")
        self.rgb_bmp("a.bmp")
        status, out, err = self.convert("-imp", "a.bmp", "out")
        self.assertEqual((status, out, err), (0, b"", b""))
        self.assertTrue(os.path.exists(self.path("out", "a.imp")))
        status, out, err = self.convert("-imp", "a.bmp", "out", answers=b"n\n")
        self.assertEqual((status, err), (0, ("%s: overwrite? (y/n/a) " % self.p("out", "a.imp")).encode()))

    def test_output_kind_follows_a_given_name(self):
        data = self.rgb_bmp("a.bmp", w=41, h=4)  # rows wide enough for the IMP coder's kernels
        for src, dst, magic in (("a.bmp", "x.bm2", b"B2"), ("x.bm2", "y.imp", b"IM"), ("y.imp", "z.BMP", b"BM")):
            status, out, err = self.convert("-imp", src, dst)
            self.assertEqual((status, err, self.read(dst)[:2]), (0, b"", magic))
        self.assertSamePixels(self.read("z.BMP"), data)
        status, out, err = self.convert("a.bmp", "x.gif")
        self.assertEqual((status, err), (1, b"x.gif: bad extension\n"))
        self.assertFalse(os.path.exists(self.path("x.gif")))


class Overwrite(Cli):
    def setUp(self):
        super().setUp()
        self.mkdir("out")
        for n in "abc":
            self.rgb_bmp(n + ".bmp", seed=ord(n))
            self.write("out/%s.bmp" % n, b"old")

    def question(self, n, kind="(y/n/a)"):
        return "%s: overwrite? %s " % (self.p("out", n + ".bmp"), kind)

    def test_answers_across_the_batch(self):
        # no, yes, then all: the third file is written without a question.
        self.write("out/d.bmp", b"old")
        self.rgb_bmp("d.bmp")
        status, out, err = self.convert("a.bmp", "b.bmp", "c.bmp", "d.bmp", "out",
                                        answers=b"n\nY\nall\n")
        self.assertEqual(status, 0)
        self.assertEqual(err, (self.question("a") + self.question("b") + self.question("c")).encode())
        self.assertEqual(self.read("out/a.bmp"), b"old")
        self.assertNotEqual(self.read("out/b.bmp"), b"old")
        self.assertNotEqual(self.read("out/d.bmp"), b"old")
        self.assertEqual(out.decode().splitlines(),
                         [self.p("out", n + ".bmp") + " ...." for n in "bcd"])

    def test_read_only_outputs(self):
        os.chmod(self.path("out", "b.bmp"), 0o444)
        status, out, err = self.convert("a.bmp", "b.bmp", "c.bmp", "out", answers=b"a\nx\n")
        self.assertEqual(status, 0)
        ro = "%s: read-only file, and so cannot write, ok? " % self.p("out", "b.bmp")
        self.assertEqual(err, (self.question("a") + ro).encode())
        self.assertEqual(self.read("out/b.bmp"), b"old")
        self.assertNotEqual(self.read("out/c.bmp"), b"old")
        # A given name that is read-only: a notice, no question, status 0.
        status, out, err = self.convert("a.bmp", self.p("out", "b.bmp"), answers=b"y\n")
        self.assertEqual((status, err), (0, ("%s: read-only file\n" % self.p("out", "b.bmp")).encode()))


class Replace(Cli):
    """An old output replaced stays what it was: a link stays a link, the
    file keeps its mode (less set-id bits) and owner, a read-only directory
    has it written in place. A write cut short by a size limit, a full disk
    or a signal leaves the old file. Nothing is left beside any output."""

    def test_replacing_an_old_output(self):
        posix = CFG.style == "posix"
        root = posix and os.geteuid() == 0
        nobody = pwd.getpwnam("nobody") if root else None
        self.rgb_bmp("in.bmp", w=200, h=200)  # 120 kB
        self.rgb_bmp("second.bmp")
        self.rgb_bmp("fits.bmp", w=100, h=191)  # 15 of the 16 pages of a 64 kB tmpfs
        big = bytearray(bmputil.make_bmp(1, 1, lambda x, y: (1, 2, 3))[:54])  # 36 MB
        struct.pack_into("<I", big, 2, 54 + 12000 * 3000)
        struct.pack_into("<ii", big, 18, 4000, 3000)
        struct.pack_into("<I", big, 34, 12000 * 3000)
        self.write("big.bmp", bytes(big) + bytes(12000 * 3000))
        os.chmod(self.dir, 0o755)  # for nobody
        rows = [
            dict(name="plain file", windows=True),
            dict(name="link", link="t.bmp"),
            dict(name="dangling link", link="../far/new.bmp", old=False),
            dict(name="link into another directory", link="{far}/t.bmp"),
            dict(name="set-uid file of nobody's", mode=0o4755, owner=nobody),
            dict(name="read-only directory", dirmode=0o555, owner=nobody, user=nobody),
            dict(name="file size limit, batch stops", inputs=("in.bmp", "second.bmp"), limit_fsize=20000,
                 status=1, err="%s: writing error\n"),
            dict(name="full file system", inputs=("fits.bmp",), tmpfs=True, status=1,
                 err="no free disk space\n%s: writing error\n"),
            dict(name="SIGTERM while writing", inputs=("big.bmp",), stop=True, status=-signal.SIGTERM),
        ]
        for i, row in enumerate(rows):
            with self.subTest(row.pop("name")):
                if not row.pop("windows", posix):  # rows marked windows run there too
                    self.skipTest("POSIX files and signals")
                self.replace_row("r%d" % i, **row)

    def replace_row(self, rd, link=None, old=True, mode=0o644, owner=None, dirmode=None, user=None,
                    inputs=("in.bmp",), limit_fsize=None, tmpfs=False, stop=False, status=0, err=""):
        out, far = self.path(rd, "out"), self.path(rd, "far")
        os.makedirs(out)
        os.mkdir(far)
        if tmpfs and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", out],
                                    capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs")
        try:
            stem = inputs[0][:-4]
            output = os.path.join(out, stem + ".bmp")
            target = output
            if link:
                link = link.format(far=far)
                os.symlink(link, output)
                target = os.path.normpath(os.path.join(out, link))
            if old:
                with open(target, "wb") as f:
                    f.write(b"old")
                if owner:
                    os.chown(target, owner.pw_uid, owner.pw_gid)
                os.chmod(target, mode)  # after chown, which clears set-id bits
            if dirmode:
                os.chmod(out, dirmode)
            shown = self.p(rd, "out", stem + ".bmp")
            question = "%s: overwrite? (y/n/a) " % shown if old else ""
            got = self.convert(*inputs, self.p(rd, "out"), answers=b"y\n", limit_fsize=limit_fsize, user=user,
                               stop_in=out if stop else None)
            self.assertEqual((got[0], got[2]), (status, (question + err.replace("%s", shown)).encode()))
            if link:
                self.assertEqual(os.readlink(output), link)
            if status == 0:
                self.assertSamePixels(self.read(target), self.read(inputs[0]))
            elif old:
                self.assertEqual(self.read(target), b"old")
            if CFG.style == "posix" and status == 0:
                st = os.stat(target)
                umask = os.umask(0)
                os.umask(umask)
                self.assertEqual(st.st_mode & 0o7777, mode & 0o777 if old else 0o666 & ~umask)
                self.assertEqual((st.st_uid, st.st_gid), (owner.pw_uid, owner.pw_gid) if owner else
                                 (os.getuid(), os.getgid()))
            # The output, its old or new target, and nothing else.
            left = {os.path.join(d, n) for d in (out, far) for n in os.listdir(d)}
            self.assertEqual(left, {output, target} if old or status == 0 else {output})
        finally:
            if tmpfs:
                subprocess.run(["umount", out])


@unittest.skipIf(Image is None or shutil.which("convert") is None, "needs ImageMagick and PIL")
class ToolBitmaps(Cli):
    """Bitmaps as ImageMagick and PIL write them: every info header, palette,
    grey, 16- and 32-bit pictures. Each must convert without a word into a
    plain BMP that both tools read back with the pixels ImageMagick reads
    from the input, alpha off."""

    KINDS = {
        "bilevel": ["-type", "bilevel"],
        "pal16": ["-colors", "16", "-type", "palette"],
        "pal256": ["-colors", "200", "-type", "palette"],
        "grey": ["-colorspace", "gray", "-type", "grayscale"],
        "true": ["-type", "truecolor"],
        "alpha": ["-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel",
                  "-type", "truecoloralpha"],
    }
    # Subtypes and their bits of red, green and blue. ImageMagick widens a
    # channel to 8 bits by shifting it (and copying some high bits), vexel
    # by rounding v x 255 / max: the reference takes ImageMagick's channel
    # values and scales them so.
    SUBTYPES = {"RGB555": (5, 5, 5), "RGB565": (5, 6, 5), "ARGB4444": (4, 4, 4), "ARGB1555": (5, 5, 5),
                "XRGB8888": (8, 8, 8), "ARGB8888": (8, 8, 8)}

    @staticmethod
    def widened(rgb, bits):
        out = bytearray(rgb)
        for i, v in enumerate(rgb):
            n = bits[i % 3]
            m = (1 << n) - 1
            out[i] = ((v >> (8 - n)) * 255 + m // 2) // m
        return bytes(out)

    @staticmethod
    def magick(*args):
        return subprocess.run(["convert", *args], check=True, capture_output=True).stdout

    def rgb(self, name):
        return self.magick(self.path(name), "-alpha", "off", "-depth", "8", "rgb:-")

    def test_tool_bitmaps_convert_to_plain_ones_the_tools_read(self):
        src = self.path("src.png")
        img = Image.new("RGBA", (13, 7))
        img.putdata([((x * 37) % 256, (y * 41 + x) % 256, (x * y * 5) % 256, 255 - x * 9)
                     for y in range(7) for x in range(13)])
        img.save(src)
        inputs = {}  # input name: bits of its channels
        for writer in ("BMP2", "BMP3", "BMP"):
            for kind, opts in self.KINDS.items():
                name = "%s_%s.bmp" % (writer.lower(), kind)
                self.magick(src, *opts, "%s:%s" % (writer, self.path(name)))
                inputs[name] = (8, 8, 8)
        for sub, bits in self.SUBTYPES.items():
            name = "sub_%s.bmp" % sub.lower()
            alpha = ["-alpha", "set"] if sub.startswith("A") else ["-alpha", "off"]
            self.magick(src, *alpha, "-type", "truecolor" + ("alpha" if alpha[1] == "set" else ""),
                        "-define", "bmp:subtype=" + sub, "BMP:" + self.path(name))
            inputs[name] = bits
        with Image.open(src) as im:
            for mode in ("1", "L", "P", "RGB", "RGBA"):
                name = "pil_%s.bmp" % mode.lower()
                (im.convert("RGB").convert(mode) if mode != "RGBA" else im).save(self.path(name))
                inputs[name] = (8, 8, 8)
        self.mkdir("out")
        status, out, err = self.convert(*inputs, "out")
        self.assertEqual((status, err), (0, b""))
        for name, bits in inputs.items():
            data = self.read(os.path.join("out", name))
            f, table, _ = bmputil.parse_bmp(data)
            self.assertEqual((f["biSize"], f["planes"], f["bfOffBits"], f["bfSize"]),
                             (40, 1, 54 + len(table), len(data)), name)
            want = self.widened(self.rgb(name), bits)
            with Image.open(self.path("out", name)) as im:
                self.assertEqual(im.convert("RGB").tobytes(), want, name)
            self.assertEqual(self.rgb(os.path.join("out", name)), want, name)


class PluginFormats(Cli):
    """Pictures written by PIL, converted through the default plug-ins and
    compared with PIL's own decode."""

    def picture(self, w=37, h=21):
        img = Image.new("RGB", (w, h))
        img.putdata([((x * 7) % 256, (y * 11) % 256, (x * y) % 256) for y in range(h) for x in range(w)])
        return img

    def check(self, name, img, mode_args=(), tolerance=0, **save):
        img.save(self.path(name), **save)
        status, out, err = self.convert(*mode_args, name, "out.bmp")
        self.assertEqual((status, err), (0, b""), name)
        bmp = self.read("out.bmp")
        got = b"".join(bytes(px[::-1]) for row in reversed(bmputil.pixels_bgr(bmp)) for px in row)
        with Image.open(self.path(name)) as im:
            self.assertEqual((bmputil.parse_bmp(bmp)[0]["width"], len(got)), (im.width, 3 * im.width * im.height))
            ref = im.convert("RGB").tobytes()
        self.assertLessEqual(max(abs(a - b) for a, b in zip(got, ref)), tolerance, name)
        os.remove(self.path("out.bmp"))

    def test_gif(self):
        self.check("a.gif", self.picture().quantize(64))

    def test_jpeg(self):
        # Colour kept at full resolution: decoders may upsample subsampled
        # colour differently at sharp edges.
        self.check("a.jpg", self.picture(), tolerance=0 if CFG.style == "posix" else 3, subsampling=0)
        if CFG.style == "posix":
            self.check("c.jpg", self.picture())
        self.check("b.JPEG", self.picture().convert("L"), tolerance=0 if CFG.style == "posix" else 3)

    def test_tiff(self):
        self.check("a.tif", self.picture())
        self.check("b.tiff", self.picture().quantize(16))

    def test_png_only_with_all_plugins(self):
        self.check("a.png", self.picture(), mode_args=("-a",))
        self.check("b.png", self.picture().quantize(200), mode_args=("-a",))
        status, out, err = self.convert("a.png", "out.bmp")
        self.assertEqual((status, err), (1, b"a.png: unknown format\n"))

    def test_mixed_batch(self):
        self.mkdir("out")
        img = self.picture()
        img.save(self.path("a.jpg"))
        img.quantize(100).save(self.path("a.gif"))
        img.save(self.path("t.tif"))
        status, out, err = self.convert("a.gif", "t.tif", "a.jpg", "out", answers=b"n\n")
        self.assertEqual(status, 0)
        self.assertEqual(err, ("%s: overwrite? (y/n/a) " % self.p("out", "a.bmp")).encode())
        self.assertEqual(sorted(os.listdir(self.path("out"))), ["a.bmp", "t.bmp"])
        self.assertEqual(bmputil.parse_bmp(self.read("out/a.bmp"))[0]["bpp"], 8)
        # The 8-bit GIF cannot become IMP; the 24-bit TIFF can.
        status, out, err = self.convert("-imp", "a.gif", "t.tif", "out")
        self.assertEqual((status, err), (1, ("%s: cannot convert because of no full color data\n"
                                            % self.p("out", "a.imp")).encode()))
        self.assertEqual(sorted(os.listdir(self.path("out"))), ["a.bmp", "t.bmp", "t.imp"])


def read(path):
    with open(path, "rb") as f:
        return f.read()


def h(text):
    return bytes.fromhex(text)


def mag(mode, x1, x2, y2, pal, flag_a, flag_b, pixels):
    """A MAG file of an empty comment, the streams in order after the palette."""
    head = (h("00 00 00") + bytes([mode]) + b"".join(v.to_bytes(2, "little") for v in (x1, 0, x2, y2)))
    at = 32 + len(pal)
    for off, size in ((at, None), (at + len(flag_a), len(flag_b)), (at + len(flag_a) + len(flag_b), len(pixels))):
        head += off.to_bytes(4, "little") + (size.to_bytes(4, "little") if size is not None else b"")
    return b"MAKI02  TEST" + b"EXAMPLE".ljust(18) + b"\x1a" + head + pal + flag_a + flag_b + pixels


MAG_PAL16 = h("000000 0000F0 00F000 00F0F0 F00000 F000F0 F0F000 F0F0F0 707070 000070 007000 007070 700000"
              "700070 707000 A0A0A0")
MAG_PAL256 = bytearray(768)
MAG_PAL256[0x180:0x192] = h("00FF00 FF0000 0000FF FFFF00 808080 FFFFFF")
MAG_EXAMPLE1 = mag(0, 0, 15, 1, MAG_PAL16, h("D000"), h("01014100"), h("00001234 00005678"))
PI_EXAMPLE1 = h("5069 4558414D504C45 1A 00 00 0000 04 54455354 0000 0008 0002"
                "000000 F00000 00F000 0000F0 F0F000 F000F0 00F0F0 F0F0F0 700000 007000 000070 707000 700070"
                "007070 707070 A0A0A0 76201F870D44 00000000")
PI_EXAMPLE2 = h("5069 323536 1A 7879 00 80 0201 08 54455354 0004 00000000 0005 0003 7B0FA4303E75832700 00000000")
PIC_EXAMPLE = h("504943 4869 1A 20 00 00 00 000F 0006 0004 50F8398800 1FA417CAAB43681500")


def letters(text):
    """A picture of rows of letters, top row first, as rows (bottom first)
    of (b, g, r): the colours of the PIC and PIC2 examples."""
    bgr = {"K": "000000", "A": "0084FF", "B": "FF0000", "C": "52FF29", "D": "424242", "W": "FFFFFF"}
    return [[tuple(h(bgr[c])) for c in row] for row in reversed(text.split())]


def patch(data, at, hexbytes):
    """A copy of data with the bytes from `at` set."""
    b = h(hexbytes)
    return data[:at] + b + data[at + len(b):]


def lzw(codes):
    """XLD4 LZW codes, each at the width it needs after escapes, then a 0."""
    fields, width = [], 3
    for c in codes:
        while c + 2 >= 1 << width:
            fields.append((1, width))
            width += 1
        fields.append((c + 2, width))
    fields.append((0, width))
    acc = n = 0
    for v, w in fields:
        acc, n = acc << w | v, n + w
    return (acc << -n % 8).to_bytes((n + 7) // 8, "big")


def xld4_run(v, count):
    """Codes of `count` copies of v, 288 at most a run."""
    return [16, 0, v, count % 288 // 17, count % 288 % 17] + [16, 16, 16] * (count // 288)


def literals(count):
    """Codes of `count` values, 0 to 15 in turn."""
    return [i % 16 for i in range(count)]


def zeros(count):
    """Codes of `count` zeros, made mostly by codes that each repeat the
    phrase before with one byte more."""
    codes, i, length = [0], 1, 2
    while i + length <= count:
        codes.append(16 + length - 1)
        i, length = i + length, length + 1
    return codes + [0] * (count - i)


def pixels(lead, count, extra=0):
    """A 640 x 400 XLD4 file of chunks (codes, pixels / 2): the palette,
    stored entry i (i, 15 - i, i / 2); `count` values from the codes `lead`;
    then index 7 to the end in chunks of 128,000. The first chunk of pixels
    can owe `extra` more than it has."""
    chunks = [([v for i in range(16) for c in (i, 15 - i, i // 2) for v in (9, c)], 0), (lead, (count + extra) // 2)]
    rest = 256000 - count - extra
    while rest > 0:
        n = min(rest, 128000)
        chunks.append((xld4_run(7, n), n // 2))
        rest -= n
    f = bytearray(11) + b"MAJYO"
    for codes, n in chunks:
        data = lzw(codes)
        f += struct.pack("<IH", len(data), n) + data
    f[8:10] = struct.pack("<H", len(f))
    return bytes(f)


def q4(colour):
    """A 640 x 400 picture, pixel k (in raster order) of colour(k) = 0xRRGGBB."""
    px = [(c & 255, c >> 8 & 255, c >> 16) for c in map(colour, range(256000))]
    return [px[y * 640:(y + 1) * 640] for y in reversed(range(400))]


def q4_pixels(count, zero=False):
    """The picture of pixels(): value j is palette index (j & 8) | (j & 3) << 1 | (j >> 2 & 1)."""
    def colour(k):
        j = 7 if k >= count else 0 if zero else k % 16
        i = (j & 8) | (j & 3) << 1 | (j >> 2 & 1)
        return (i << 16 | (15 - i) << 8 | i // 2) * 17
    return q4(colour)


def pictures():
    """Rows (name, file, want), each stem once, as the outputs take the
    stem: the samples with their PPMs, then the built files. want is the
    program's message; or the picture as rows (bottom first) of (b, g, r);
    or the pixel bytes (bottom-up, rows unpadded) followed by {index: table
    entry as B G R}."""
    data, rows = os.path.join(CFG.source, "tests", "data"), []
    for fmt in ("mag", "pi", "pic", "pic2"):
        for name in sorted(os.listdir(os.path.join(data, fmt))):
            path = os.path.join(data, fmt, name)
            if name.endswith("." + fmt) and os.path.exists(path[:-len(fmt)] + "ppm"):
                rows.append((name, read(path), ppm_rows(path[:-len(fmt)] + "ppm")))
    ex1, ex2 = (read(os.path.join(data, "pic2", "example%d.pic2" % i)) for i in (1, 2))
    ss, bm = 124, 419  # the blocks of example 2
    q = pixels(literals(1000), 1000)
    sample = os.path.join(data, "pic2", "p2ss6_41x29_plasma")
    return rows + [
        ("mag-ex1.mag", MAG_EXAMPLE1,
         "0000000000000000 0102030405060708 0000000000000000 0102030401020304", {1: "F00000", 8: "707070"}),
        ("mag-ex2.mag", mag(0x80, 5, 10, 1, MAG_PAL256, h("7000"), h("10404200"), h("0080818283008485")),
         "808485818284 808182818283", {0x80: "0000FF", 0x85: "FFFFFF"}),
        # 256 colours in 8-dot rows: 4 dots wide, but every row holds 4 words,
        # which only that reading takes exactly.
        ("mag-octet.mag", mag(0x80, 0, 3, 1, MAG_PAL256, h("0000"), b"", h("01020304 05060708 11121314 15161718")),
         "11121314 01020304", {}),
        ("mag-yjk.mag", MAG_EXAMPLE1[:32] + h("03 24") + MAG_EXAMPLE1[34:], "unknown format"),
        ("mag-before.mag", MAG_EXAMPLE1[:0x71] + h("41") + MAG_EXAMPLE1[0x72:], "broken data file"),
        ("mag-short.mag", MAG_EXAMPLE1[:0x3B] + h("06") + MAG_EXAMPLE1[0x3C:], "broken data file"),
        ("pi-ex1.pi", PI_EXAMPLE1, "0303030301020102 0303030301020005", {3: "F00000", 15: "A0A0A0"}),
        ("pi-ex2.pi", PI_EXAMPLE2, "C864C86407 64C86407FF C864C864C8",
         {200: "00DB49", 100: "006D24", 7: "FF0024", 255: "FFFFFF"}),
        ("pi-default16.pi", PI_EXAMPLE2[:9] + h("80 0000 04") + PI_EXAMPLE2[13:27] + h("A3800000"),
         "0000000000 0000000000 0000000000", {9: "F00000", 12: "00F000", 7: "707070", 8: "000000"}),
        ("pi-run32.pi", PI_EXAMPLE1[:0x49] + h("A3FFFFFFFF0000"), "broken data file"),
        ("pic-ex.pic", PIC_EXAMPLE, letters("KAAABB CCABBC CBBBAC CAAAAC")),
        ("pic-pc88va.pic", PIC_EXAMPLE[:9] + h("01 0010") + PIC_EXAMPLE[12:], "unknown format"),
        ("pic-run32.pic", PIC_EXAMPLE[:16] + h("FFFFFFFF0000"), "broken data file"),
        ("pic2-ex1.pic2", ex1, letters("KAAB BABC KAAA")),
        ("pic2-ex2.pic2", ex2, letters("AAAB CDCB CDBB KKWB")),
        ("p2-sample.p2", read(sample + ".pic2"), ppm_rows(sample + ".ppm")),
        # no canvas size: the blocks' extent
        ("pic2-canvas-from-blocks.pic2", patch(ex2, 116, "00000000"), letters("AAAB CDCB CDBB KKWB")),
        # rows below the canvas are not decoded, whatever they would hold
        ("pic2-block-taller.pic2", patch(ex1, 142, "FFFF"), letters("KAAB BABC KAAA")),
        # the raw block half off the canvas, one dot of it on the right edge
        ("pic2-block-past-edge.pic2", patch(ex2, bm + 14, "00030003"), letters("AAAB CDCB CDBB KKKW")),
        ("pic2-block-past-left.pic2", patch(ex2, bm + 14, "FFFF0000"), letters("BAAB CDCB CDBB KKKK")),
        # colour W is not painted
        ("pic2-transparent.pic2", patch(patch(ex2, bm + 8, "0001"), bm + 18, "00007FFF"),
         letters("AAAB CDCB CDBB KKKB")),
        ("pic2-depth8.pic2", patch(ex1, 110, "0008"), "unknown format"),
        ("pic2-unknown-blocks.pic2", patch(ex1, 130, b"P2XX".hex()), "unknown format"),
        ("pic2-first-block-past-end.pic2", patch(ex1, 106, "000000B1"), "broken data file"),
        ("pic2-palette-over-comment.pic2", patch(ex1, 98, "0001"), "broken data file"),
        ("pic2-block-header-short.pic2", patch(ex1, 134, "00000019"), "broken data file"),
        ("pic2-raw-data-short.pic2", patch(ex2, bm + 10, "0003"), "broken data file"),
        ("pic2-sf-32-ones.pic2", patch(ex1, 156, "FFFFFFFF00"), "broken data file"),
        ("pic2-ss-code-out-of-range.pic2", patch(ex2, ss + 282, "FFFF"), "broken data file"),
        ("pic2-canvas-too-large.pic2", patch(ex1, 116, "20002001"), "cannot convert"),
        ("xld4-ex.xld4", read(os.path.join(data, "xld4", "example.xld4")),
         q4(lambda k: 0x0000FF if k == 0 else 0xFFFFFF if k == 1 else 0x888888 if k == 2 else
            0xFF0000 if k < 128000 else 0x00FF00)),
        ("xld4-literals-runs.xld4", q, q4_pixels(1000)),
        # a chunk of 16,366 steps is the most, 65,536 bytes the largest
        ("xld4-steps-at-limit.xld4", pixels(literals(16366), 16366), q4_pixels(16366)),
        ("xld4-steps-past-limit.xld4", pixels([0, 0, 17] + literals(16364), 16368), "broken data file"),
        ("xld4-unpacked-at-limit.xld4", pixels(zeros(65536), 65536), q4_pixels(65536, zero=True)),
        ("xld4-unpacked-past-limit.xld4", pixels(zeros(65538), 65538), "broken data file"),
        ("xld4-header-unknown.xld4", patch(q, 1, "020500"), "unknown format"),
        # a chunk with values past its pixels, or short of them
        ("xld4-values-past-chunk.xld4", pixels(literals(1000), 1000, -2), "broken data file"),
        ("xld4-values-short-of-chunk.xld4", pixels(literals(1000), 1000, 2), "broken data file"),
        ("xld4-data-after-last-chunk.xld4", patch(q, 8, struct.pack("<H", len(q) + 1).hex()) + b"\0",
         "broken data file"),
    ]




def damaged(name, data):
    """Copies of a file cut short (named -cut) and with bytes flipped: {name: data}."""
    rnd = random.Random(name)
    base, ext = os.path.splitext(name)
    out = {}
    for at in sorted({len(data) * k // 8 for k in range(8)} | {len(data) - k for k in (1, 4, 7, 9)}):
        out["%s-cut%d%s" % (base, at, ext)] = data[:at]
    for i in range(24):
        b = bytearray(data)
        # the header and palette first, where every byte counts
        at = rnd.randrange(min(len(b), 96 if i % 2 else len(b)))
        b[at] ^= 1 << rnd.randrange(8) if i % 3 else 0xFF
        out["%s-flip%d-%d%s" % (base, i, at, ext)] = bytes(b)
    return out


def ppm_rows(path):
    """A binary PPM's pixels as rows (bottom first) of (b, g, r)."""
    data = read(path)
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    w, hgt, px = int(m.group(1)), int(m.group(2)), data[m.end():]
    rgb = [(px[i + 2], px[i + 1], px[i]) for i in range(0, 3 * w * hgt, 3)]
    return [rgb[y * w:(y + 1) * w] for y in reversed(range(hgt))]


class RetroFormats(Cli):
    """The MAG, Pi, PIC, PIC2 and XLD4 plug-ins, with -a. tests/data/<format>/
    holds sample files made by an independent encoder, each NAME.<ext> with
    the NAME.ppm an independent decoder reads from it, and the formats'
    worked examples. Every sample must convert to its PPM; the worked
    examples and files built from the format descriptions must decode to the
    pictures written below them, or be refused as they say; and damaged
    copies of every sample and built picture must give one clean refusal, or
    (when only a cut is made) the right picture, never a crash."""

    def batch(self, files):
        """Converts {name: data} in one run into out/; returns {name:
        the BMP's bytes, or the program's message}."""
        for name, data in files.items():
            self.write(name, data)
        os.makedirs(self.path("out"), exist_ok=True)
        status, _, err = self.convert("-a", *files, "out")
        err = err.decode(errors="replace")
        self.assertIn(status, (0, 1), err[-2000:])
        said = dict(line.split(": ", 1) for line in err.splitlines())
        self.assertLessEqual(set(said.values()), {"broken data file", "unknown format", "cannot convert"}, err[-2000:])
        got = {}
        for name in files:
            bmp = self.path("out", os.path.splitext(name)[0] + ".bmp")
            got[name] = self.read(bmp) if os.path.exists(bmp) else said.get(name)
            self.assertTrue(isinstance(got[name], bytes) != (name in said), name)
        return got

    def test_pictures(self):
        rows = pictures()
        got = self.batch({row[0]: row[1] for row in rows})
        for name, _, want, *colours in rows:
            if isinstance(want, list):
                self.assertIsInstance(got[name], bytes, name)
                self.assertEqual(bmputil.pixels_bgr(got[name]), want, name)
            elif not colours:
                self.assertEqual(got[name], want, name)
            else:
                fields, table, pixels = bmputil.parse_bmp(got[name])
                self.assertEqual(pixels.hex(), want.replace(" ", "").lower(), name)
                for i, bgr in colours[0].items():
                    self.assertEqual(table[4 * i:4 * i + 4].hex(), bgr.lower() + "00", "%s colour %d" % (name, i))

    def test_damaged_copies_refused_or_right(self):
        # a run for each picture's copies: a Windows command line holds 32 K
        for name, data, want, *_ in pictures():
            if isinstance(want, list):
                for copy, bmp in self.batch(damaged(name, data)).items():
                    if isinstance(bmp, bytes) and "-cut" in copy:
                        self.assertEqual(bmputil.pixels_bgr(bmp), want, copy)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--plugins", required=True)
    ap.add_argument("--style", choices=("posix", "windows"), default="posix")
    ap.add_argument("--source", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    args, rest = ap.parse_known_args()
    # The tests run in directories of their own: make local paths absolute.
    words = shlex.split(args.program)
    words = [os.path.abspath(w) if os.path.exists(w) else w for w in words]
    args.program = shlex.join(words)
    if os.path.isdir(args.plugins):
        args.plugins = os.path.abspath(args.plugins)
    CFG.__dict__.update(vars(args))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
