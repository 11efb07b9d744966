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
import io
import os
import pwd
import resource
import shlex
import shutil
import signal
import stat
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
        with open(self.path(name), "rb") as f:
            return f.read()

    def mkdir(self, name):
        os.mkdir(self.path(name))

    def rgb_bmp(self, name, w=5, h=3, seed=0):
        data = bmputil.make_bmp(w, h, 24, lambda x, y: ((x * 40 + seed) % 256, y * 60 % 256,
                                                          (x + y + seed) * 17 % 256))
        self.write(name, data)
        return data

    def assertSamePixels(self, a, b):
        self.assertEqual(bmputil.pixels_bgr(a), bmputil.pixels_bgr(b))


class CommandLine(Cli):
    def test_no_arguments_prints_short_usage(self):
        status, out, err = self.run_vexel()
        self.assertEqual(status, 1)
        lines = usage_lines()
        self.assertEqual(out, "".join(l + "\n" for l in lines[2:5]).encode())
        self.assertEqual(err, b"")

    def test_usage_prints_all_lines_whatever_follows(self):
        enc = "cp932" if CFG.style == "windows" else "utf-8"
        want = "".join(l + "\n" for l in usage_lines()).encode(enc)
        for args in (["-usage"], ["-usage", "x", "y", "-q"]):
            status, out, err = self.run_vexel(*args)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(out, want)
            self.assertEqual(out.count(b"\n"), 45)

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

    def test_plugin_load_failure_ends_the_run(self):
        self.rgb_bmp("a.bmp")
        self.mkdir("empty")
        status, out, err = self.run_vexel("-d", "empty", "a.bmp", "b.bmp")
        self.assertEqual(status, 1)
        self.assertIn(b"ifgif.spi: Plug-in not loaded\n", err)
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

    def test_every_bit_count_converts_exactly(self):
        self.mkdir("out")
        names = []
        for bpp in (1, 4, 8, 24):
            for w in (1, 3, 5, 8, 33):
                name = "p%d_%d.bmp" % (bpp, w)
                if bpp == 24:
                    data = bmputil.make_bmp(w, 3, 24, lambda x, y: (x * 9 % 256, y * 77, x ^ y))
                else:
                    data = bmputil.make_bmp(w, 3, bpp, lambda x, y: (x * 3 + y) % (1 << bpp))
                self.write(name, data)
                names.append((name, data))
        status, out, err = self.convert(*[n for n, _ in names], "out")
        self.assertEqual((status, err), (0, b""))
        for name, data in names:
            got = self.read("out/" + name)
            fin, tin, pin = bmputil.parse_bmp(data)
            fout, tout, pout = bmputil.parse_bmp(got)
            self.assertEqual((pout, tout), (pin, tin), name)
            self.assertEqual(fout["bpp"], fin["bpp"])
            self.assertEqual(fout["bfSize"], len(got))

    def test_form1_into_existing_directory_derives_the_name(self):
        self.mkdir("out")
        self.rgb_bmp("a.bmp")
        status, out, err = self.convert("-imp", "a.bmp", "out")
        self.assertEqual((status, out, err), (0, b"", b""))
        self.assertTrue(os.path.exists(self.path("out", "a.imp")))
        status, out, err = self.convert("-imp", "a.bmp", "out", answers=b"n\n")
        self.assertEqual((status, err), (0, ("%s: overwrite? (y/n/a) " % self.p("out", "a.imp")).encode()))

    def test_output_kind_follows_a_given_name(self):
        data = self.rgb_bmp("a.bmp", w=41, h=4) # rows wide enough for the IMP coder's kernels
        status, out, err = self.convert("-imp", "a.bmp", "x.bm2")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(self.read("x.bm2")[:2], b"B2")
        status, out, err = self.convert("x.bm2", "y.imp")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(self.read("y.imp")[:2], b"IM")
        status, out, err = self.convert("y.imp", "z.BMP")
        self.assertEqual((status, err), (0, b""))
        self.assertSamePixels(self.read("z.BMP"), data)
        status, out, err = self.convert("a.bmp", "x.gif")
        self.assertEqual((status, err), (1, b"x.gif: bad extension\n"))
        self.assertFalse(os.path.exists(self.path("x.gif")))

    def test_palette_picture_cannot_become_imp(self):
        self.write("p.bmp", bmputil.make_bmp(4, 2, 8, lambda x, y: x))
        status, out, err = self.convert("p.bmp", "p.imp")
        self.assertEqual((status, err), (1, b"p.imp: cannot convert because of no full color data\n"))
        self.assertFalse(os.path.exists(self.path("p.imp")))


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

    def test_two_inputs_one_output(self):
        self.write("a.BMP", self.read("b.bmp"))
        os.remove(self.path("out", "a.bmp"))
        # Same name after the extension is replaced: the second one asks.
        status, out, err = self.convert("a.bmp", "a.BMP", "out", answers=b"y\n")
        self.assertEqual((status, err), (0, self.question("a").encode()))
        self.assertSamePixels(self.read("out/a.bmp"), self.read("b.bmp"))


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
        big = bytearray(bmputil.make_bmp(1, 1, 24, lambda x, y: (1, 2, 3))[:54])  # 36 MB
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


@unittest.skipIf(Image is None, "needs python3-pil")
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

    @unittest.skipIf(Image is None or shutil.which("convert") is None, "needs ImageMagick and PIL")
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
        got = bmputil.pixels_bgr(self.read("out.bmp"))
        with Image.open(self.path(name)) as im:
            ref = im.convert("RGB")
        w, h = ref.size
        self.assertEqual((len(got[0]), len(got)), (w, h))
        worst = 0
        for y in range(h):
            for x in range(w):
                r, g, b = ref.getpixel((x, y))[:3]
                gb, gg, gr = got[h - 1 - y][x]
                worst = max(worst, abs(r - gr), abs(g - gg), abs(b - gb))
        self.assertLessEqual(worst, tolerance, name)
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
