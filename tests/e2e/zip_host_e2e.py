#!/usr/bin/env python3
"""End-to-end tests: the real zip-host process over the real modules.

Run one group (a TestCase class) per ctest entry:
    zip_host_e2e.py RoundTrip
Paths come from the environment: ZIP_HOST (the executable), ZIP_BUILD_DIR (the
build tree, for install tests), CMAKE_COMMAND and NM.
"""
import hashlib
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
import zlib

HOST = os.environ.get("ZIP_HOST", "")
BUILD_DIR = os.environ.get("ZIP_BUILD_DIR", "")
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
NM = os.environ.get("NM", "nm")
MiB = 1 << 20


def text_data(n, seed=1):
    rnd = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "record", "value", "zip", "buffer", "host", "module"]
    out = bytearray()
    i = 0
    while len(out) < n:
        out += ("%06d %s=%d %s\n" % (i, rnd.choice(words), rnd.randint(0, 9999), rnd.choice(words))).encode()
        i += 1
    return bytes(out[:n])


def binary_data(n, seed=2):
    # Structured binary: little-endian counters and a repeating table.
    rnd = random.Random(seed)
    table = bytes(rnd.randrange(256) for _ in range(251))
    out = bytearray()
    i = 0
    while len(out) < n:
        out += i.to_bytes(4, "little") + table[i % 251:i % 251 + 12]
        i += 1
    return bytes(out[:n])


def random_data(n, seed=3):
    return random.Random(seed).randbytes(n)


class HostCase(unittest.TestCase):
    """A temporary folder with a configuration folder, and a way to run zip-host."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zip-host-e2e.")
        self.config = os.path.join(self.tmp, "config")
        os.mkdir(self.config)
        self.env = dict(os.environ)
        self.env.pop("S_ZLIB_MAX_OUTPUT", None)
        # No configuration from the user's own folders leaks in.
        self.env["HOME"] = self.tmp
        self.env.pop("XDG_CONFIG_HOME", None)
        self.env.pop("S_INI_CONFIG_DIR", None)

    def tearDown(self):
        for root, dirs, _ in os.walk(self.tmp):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def switch(self, text):
        with open(os.path.join(self.config, "s_zip.ini"), "w") as f:
            f.write(text)

    def run_host(self, *args, data=None, env=None, config=True, host=None):
        cmd = [host or HOST]
        if config:
            cmd += ["--config-dir", self.config]
        cmd += list(args)
        p = subprocess.run(cmd, input=data, capture_output=True, env=env or self.env, timeout=120)
        self.assertGreaterEqual(p.returncode, 0, "killed by a signal: %r\n%s" % (cmd, p.stderr.decode()))
        self.assertLess(p.returncode, 128, p.stderr.decode())
        return p

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def compress(self, data):
        p = self.run_host("compress", data=data)
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        return p.stdout

    def decompress(self, data):
        p = self.run_host("decompress", data=data)
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        return p.stdout

    def assert_fails(self, p, status, *pieces):
        err = p.stderr.decode()
        self.assertEqual(p.returncode, status, err)
        self.assertTrue(err.startswith("zip-host: "), err)
        for piece in pieces:
            self.assertIn(piece, err)


class RoundTrip(HostCase):
    def test_sizes_and_kinds_through_files(self):
        self.switch("Compress = 1\n")
        cases = [("empty", b"")]
        for n in (1, 100, 4096, 65537, MiB):
            cases += [("text%d" % n, text_data(n)), ("bin%d" % n, binary_data(n)), ("rand%d" % n, random_data(n))]
        for name, data in cases:
            with self.subTest(name):
                src = self.write(name, data)
                z = self.path(name + ".z")
                back = self.path(name + ".back")
                p = self.run_host("compress", src, z)
                self.assertEqual(p.returncode, 0, p.stderr.decode())
                self.assertEqual(p.stderr, b"" if data else p.stderr)
                p = self.run_host("decompress", z, back)
                self.assertEqual(p.returncode, 0, p.stderr.decode())
                self.assertEqual(self.read(name + ".back"), data)
                if data and name.startswith("text") and len(data) > 1000:
                    self.assertLess(os.path.getsize(z), len(data) // 2)

    def test_sixteen_mebibytes_through_pipes(self):
        self.switch("Compress=1\n")
        for data in (text_data(16 * MiB), random_data(16 * MiB)):
            z = self.compress(data)
            self.assertEqual(zlib.decompress(z), data)
            self.assertEqual(self.decompress(z), data)

    def test_dash_names_standard_streams(self):
        self.switch("Compress=1\n")
        data = text_data(5000)
        p = self.run_host("compress", "-", "-", data=data)
        self.assertEqual(p.returncode, 0)
        self.assertEqual(zlib.decompress(p.stdout), data)


class ZlibInterop(HostCase):
    def test_python_streams_are_restored(self):
        data = text_data(300000) + random_data(20000)
        streams = [zlib.compress(data, level) for level in (0, 1, 6, 9)]
        for wbits in (9, 12, 15):
            c = zlib.compressobj(6, zlib.DEFLATED, wbits)
            streams.append(c.compress(data) + c.flush())
        for s in streams:
            self.assertEqual(self.decompress(s), data)
        self.assertEqual(self.decompress(zlib.compress(b"")), b"")

    def test_host_streams_are_read_by_python(self):
        self.switch("Compress = 1\n")
        # Empty input has no data to compress and passes through as empty.
        self.assertEqual(self.compress(b""), b"")
        for data in (b"x", text_data(200000), binary_data(70000), random_data(50000)):
            z = self.compress(data)
            self.assertEqual(z[0] & 0x0F, 8)  # deflate
            self.assertEqual(zlib.decompress(z), data)

    def test_gzip_wrapped_data_is_not_zlib_and_passes_through(self):
        c = zlib.compressobj(6, zlib.DEFLATED, 31)
        gz = c.compress(b"hello " * 100) + c.flush()
        p = self.run_host("decompress", data=gz)
        self.assertEqual(p.returncode, 0)
        self.assertEqual(p.stdout, gz)
        self.assertIn(b"not compressed data", p.stderr)

    def test_preset_dictionary_is_a_named_failure(self):
        c = zlib.compressobj(zdict=b"dictionary words")
        s = c.compress(b"dictionary words " * 20) + c.flush()
        self.assert_fails(self.run_host("decompress", data=s), 1, "(62)", "dictionary")


class BadInput(HostCase):
    def setUp(self):
        super().setUp()
        self.switch("Compress=1\n")
        self.data = text_data(200000)
        self.z = self.compress(self.data)

    def test_truncated_stream(self):
        for cut in (3, len(self.z) // 2, len(self.z) - 1):
            self.assert_fails(self.run_host("decompress", data=self.z[:cut]), 1, "decompress failed")

    def test_half_stream_is_named_cut_short(self):
        self.assert_fails(self.run_host("decompress", data=self.z[: len(self.z) // 2]), 1, "(61)", "cut short")

    def test_trailing_bytes(self):
        self.assert_fails(self.run_host("decompress", data=self.z + b"tail"), 1, "(64)")

    def test_damaged_stream(self):
        bad = bytearray(self.z)
        bad[-3] ^= 0xFF  # in the check value
        self.assert_fails(self.run_host("decompress", data=bytes(bad)), 1, "(60)", "corrupt")

    def test_garbage_with_a_valid_header(self):
        rnd = random.Random(7)
        for _ in range(20):
            g = b"\x78\x9c" + rnd.randbytes(rnd.randrange(1, 5000))
            p = self.run_host("decompress", data=g)
            self.assertIn(p.returncode, (0, 1), p.stderr.decode())
            if p.returncode == 1:
                self.assertRegex(p.stderr.decode(), r"\((6[0-4])\)")

    def test_garbage_without_a_header_passes_through(self):
        for g in (b"\x00", b"plain text that is not compressed", random_data(10000, seed=11)):
            p = self.run_host("decompress", data=g)
            self.assertEqual(p.returncode, 0, p.stderr.decode())
            self.assertEqual(p.stdout, g)

    def test_bomb_is_refused_at_the_lowered_limit(self):
        bomb = zlib.compress(b"\0" * (8 * MiB), 9)
        env = dict(self.env, S_ZLIB_MAX_OUTPUT=str(MiB))
        self.assert_fails(self.run_host("decompress", data=bomb, env=env), 1, "(63)", "limit")
        # The same stream within the limit is restored.
        env["S_ZLIB_MAX_OUTPUT"] = str(8 * MiB)
        p = self.run_host("decompress", data=bomb, env=env)
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        self.assertEqual(len(p.stdout), 8 * MiB)


class Configuration(HostCase):
    def assert_pass_through(self, p, data):
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        self.assertEqual(p.stdout, data)
        self.assertIn(b"compression is off", p.stderr)

    def test_switch_values(self):
        data = text_data(10000)
        for text, on in (("Compress = 1\n", True), ("Compress=0\n", False), ("", False),
                         ("compress = 1\n", False), ("Compress = yes\n", False),
                         ("[s]\n# note\nCompress,1\r\n", True), ("Compress = 0\nCompress = 1\n", False)):
            with self.subTest(text):
                self.switch(text)
                p = self.run_host("compress", data=data)
                self.assertEqual(p.returncode, 0)
                if on:
                    self.assertEqual(zlib.decompress(p.stdout), data)
                else:
                    self.assert_pass_through(p, data)

    def test_missing_configuration_directory(self):
        data = b"some bytes"
        p = self.run_host("--config-dir", self.path("does-not-exist"), "compress", data=data, config=False)
        self.assertEqual((p.returncode, p.stdout), (2, b""))
        self.assertIn(b"not a folder", p.stderr)

    def test_unreadable_switch_file(self):
        data = b"some bytes"
        os.mkdir(os.path.join(self.config, "s_zip.ini"))  # opens, but cannot be read
        self.assert_pass_through(self.run_host("compress", data=data), data)
        os.rmdir(os.path.join(self.config, "s_zip.ini"))
        if os.geteuid() != 0:
            self.switch("Compress = 1\n")
            os.chmod(self.config, 0)
            self.assert_pass_through(self.run_host("compress", data=data), data)

    def test_default_directory_from_home_and_xdg(self):
        data = text_data(3000)
        home_cfg = os.path.join(self.tmp, ".config", "s_zip")
        os.makedirs(home_cfg)
        with open(os.path.join(home_cfg, "s_zip.ini"), "w") as f:
            f.write("Compress = 1\n")
        p = self.run_host("compress", data=data, config=False)
        self.assertEqual(zlib.decompress(p.stdout), data)
        env = dict(self.env, XDG_CONFIG_HOME=self.path("xdg"))
        self.assert_pass_through(self.run_host("compress", data=data, config=False, env=env), data)
        env = {k: v for k, v in self.env.items() if k != "HOME"}
        self.assert_pass_through(self.run_host("compress", data=data, config=False, env=env), data)


class Files(HostCase):
    def snapshot(self):
        return sorted(os.listdir(self.tmp))

    def test_failure_leaves_no_partial_output_and_input_untouched(self):
        self.switch("Compress=1\n")
        z = self.compress(text_data(100000))
        src = self.write("in.z", z[: len(z) // 2])
        old = self.write("out", b"previous contents")
        before_in = (hashlib.sha256(self.read("in.z")).digest(), os.stat(src).st_mtime_ns)
        files = self.snapshot()
        self.assert_fails(self.run_host("decompress", src, old), 1)
        self.assertEqual(self.read("out"), b"previous contents")
        self.assertEqual((hashlib.sha256(self.read("in.z")).digest(), os.stat(src).st_mtime_ns), before_in)
        self.assertEqual(self.snapshot(), files)
        # A new output name is not created at all.
        self.assert_fails(self.run_host("decompress", src, self.path("new")), 1)
        self.assertEqual(self.snapshot(), files)

    def test_success_replaces_output_with_ordinary_permissions(self):
        src = self.write("in", b"abc" * 1000)
        self.write("out", b"old")
        p = self.run_host("compress", src, self.path("out"))
        self.assertEqual(p.returncode, 0)
        self.assertEqual(self.read("out"), b"abc" * 1000)
        mode = stat.S_IMODE(os.stat(self.path("out")).st_mode)
        self.assertEqual(mode & 0o044, 0o044 & ~self.umask())
        self.assertEqual(sorted(os.listdir(self.tmp)), ["config", "in", "out"])

    @staticmethod
    def umask():
        m = os.umask(0)
        os.umask(m)
        return m

    def test_unreadable_input(self):
        self.assert_fails(self.run_host("compress", self.path("missing"), self.path("out")), 3,
                          "cannot read", "missing")
        self.assert_fails(self.run_host("compress", self.tmp, self.path("out")), 3, "cannot read")
        self.assertFalse(os.path.exists(self.path("out")))

    def test_unwritable_output(self):
        src = self.write("in", b"data")
        self.assert_fails(self.run_host("compress", src, self.path("no/such/dir/out")), 4, "cannot write")
        self.assert_fails(self.run_host("compress", src, self.config), 4, "cannot write")
        self.assertEqual(self.read("in"), b"data")
        self.assertTrue(os.path.isdir(self.config))

    def test_closed_standard_output(self):
        r, w = os.pipe()
        os.close(r)
        p = subprocess.run([HOST, "--config-dir", self.config, "compress"], input=b"x" * 200000,
                           stdout=w, stderr=subprocess.PIPE, env=self.env, timeout=60)
        os.close(w)
        self.assertEqual(p.returncode, 4, p.stderr.decode())
        self.assertIn(b"cannot write standard output", p.stderr)


class CommandLine(HostCase):
    def test_help_version_and_usage_errors(self):
        p = self.run_host("--help", config=False)
        self.assertEqual(p.returncode, 0)
        self.assertIn(b"usage: zip-host", p.stdout)
        p = self.run_host("--version", config=False)
        self.assertRegex(p.stdout.decode(), r"^zip-host \d+\.\d+\.\d+\n$")
        for args in ([], ["frobnicate"], ["--bogus", "compress"], ["compress", "a", "b", "c"], ["--config-dir"],
                     ["inspect", "extra"]):
            self.assert_fails(self.run_host(*args, config=False), 2)

    def test_modules_folder_override(self):
        empty = self.path("nomodules")
        os.mkdir(empty)
        self.assert_fails(self.run_host("--modules", empty, "compress", data=b"x"), 5, "libs_tbuf.so")
        moddir = os.path.join(os.path.dirname(os.path.dirname(HOST)), "lib")
        p = self.run_host("--modules", moddir, "compress", data=b"x")
        self.assertEqual(p.returncode, 0, p.stderr.decode())

    def test_exports_no_framework_symbol(self):
        out = subprocess.run([NM, "-D", "--defined-only", HOST], capture_output=True, check=True).stdout.decode()
        names = {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}
        for n in ("pModuleID", "ModMgr", "ObjectManager", "GetObjectManager", "InitObjectManager",
                  "GetInterfaceClass", "theX509Cmn", "TZipID", "X509CmnSrvID", "CMN_ZLibID",
                  "_ZN13CMN_Reference8RefMutexE", "_Z11GetModuleIDv", "_Z9GetModMgrv", "_Z10createTBufPKc"):
            self.assertNotIn(n, names)
        self.assertFalse([n for n in names if "CMN_" in n or "TZip" in n or "aBuf" in n], names)


class Inspect(HostCase):
    def test_registry_and_unload_report(self):
        self.switch("Compress=1\n")
        p = self.run_host("inspect")
        out = p.stdout.decode()
        self.assertEqual(p.returncode, 0, p.stderr.decode() + out)
        self.assertIn("module ZIP", out)
        self.assertIn("TZipBufferImpl, 1 reference", out)
        self.assertIn("of module HOST", out)
        after = out.split("== after the host let go")[1].split("== unload protocol")[0]
        self.assertNotIn("of module HOST", after)
        report = out.split("== unload protocol")[1]
        self.assertEqual(report.count("gone from the process"), 3, report)
        self.assertNotIn("STILL MAPPED", report)
        self.assertIn("0 object(s) left before dlclose", report)
        self.assertIn("modules still loaded: 0", report)

    def test_dot(self):
        p = self.run_host("inspect", "--dot")
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        dot = p.stdout.decode()
        self.assertTrue(dot.startswith("digraph registries {"), dot)
        self.assertTrue(dot.rstrip().endswith("}"))
        self.assertIn('label="ZIP"', dot)
        self.assertIn("holder\\nHOST", dot)

    def test_verbose_unload_report(self):
        p = self.run_host("--verbose", "compress", data=b"abc")
        self.assertEqual(p.returncode, 0)
        err = p.stderr.decode()
        self.assertEqual(err.count("gone from the process"), 3, err)
        self.assertLess(err.index("unload ZIP"), err.index("unload ZLIB"))
        self.assertLess(err.index("unload ZLIB"), err.index("unload TBUF"))


class Install(HostCase):
    def test_installed_tree_runs_without_flags(self):
        prefix = self.path("prefix")
        subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", prefix, "--component", "host"],
                       check=True, capture_output=True, timeout=120)
        host = os.path.join(prefix, "bin", "zip-host")
        for m in ("libs_tbuf.so", "libs_zlib.so", "libs_zip.so", "libs_ini.so"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, "lib", "s_zip", m)), m)
        self.switch("Compress = 1\n")
        data = text_data(50000)
        p = self.run_host("compress", data=data, host=host)
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        self.assertEqual(zlib.decompress(p.stdout), data)
        # A copy of the tree elsewhere still finds its own modules.
        moved = self.path("moved")
        shutil.copytree(prefix, moved, symlinks=True)
        shutil.rmtree(prefix)
        p = self.run_host("decompress", data=zlib.compress(data), host=os.path.join(moved, "bin", "zip-host"))
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        self.assertEqual(p.stdout, data)


if __name__ == "__main__":
    if not HOST or not os.access(HOST, os.X_OK):
        sys.exit("ZIP_HOST does not name an executable zip-host")
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[1:])
