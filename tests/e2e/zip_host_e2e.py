#!/usr/bin/env python3
# The real zip-host over the real modules; one group per ctest entry: zip_host_e2e.py RoundTrip.
# Environment: ZIP_HOST, ZIP_EMULATOR (optional command prefix of every zip-host run, split on spaces),
# ZIP_BUILD_DIR (for the install test), CMAKE_COMMAND and NM.
import os, random, re, shutil, signal, struct, subprocess, sys, tempfile, time, unittest, zlib  # noqa: E401

HOST = os.environ.get("ZIP_HOST", "")
EMULATOR = os.environ.get("ZIP_EMULATOR", "").split()
MiB, ON, OFF = 1 << 20, "Compress = 1\n", "Compress = 0\n"


def text_data(n, seed=1):
    rnd = random.Random(seed)
    return b"".join(b"%06d %s=%d\n" % (i, rnd.choice([b"alpha", b"zip", b"host"]), rnd.randint(0, 9999))
                    for i in range(n // 10 + 1))[:n]


def no_core_files():
    import resource
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def deflated(data, wbits=15, **kw):
    c = zlib.compressobj(6, zlib.DEFLATED, wbits, **kw)
    return c.compress(data) + c.flush()


# A temporary folder, the working directory, with a configuration folder; nothing of the user's leaks in.
# A group that replaces outputs on purpose sets `force` (zip-host -f).
class HostCase(unittest.TestCase):
    force = False

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zip-host-e2e.")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.config = self.write("config/", None)
        self.env = {k: v for k, v in os.environ.items() if k not in ("XDG_CONFIG_HOME", "S_INI_CONFIG_DIR")}
        self.env.update(HOME=self.tmp, S_ZLIB_MAX_OUTPUT="")

    def write(self, name, data):
        path = os.path.join(self.tmp, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if data is not None:
            with open(path, "wb") as f:
                f.write(data.encode() if isinstance(data, str) else data)
        return path

    def read(self, name):
        with open(os.path.join(self.tmp, name), "rb") as f:
            return f.read()

    def command(self, *args, config=True, host=None):
        return (EMULATOR + [host or HOST] + (["--config-dir", self.config] if config else []) +
                (["-f"] if self.force else []) + list(args))

    def run_host(self, *args, data=b"", env=None, config=True, host=None, stdout=subprocess.PIPE, stdin=None, timeout=300):
        cmd = self.command(*args, config=config, host=host)
        p = subprocess.run(cmd, input=None if stdin else data, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                           env=env or self.env, cwd=self.tmp, timeout=timeout)
        self.assertTrue(0 <= p.returncode < 128, "killed: %r\n%s" % (cmd, p.stderr.decode()))
        return p

    # Exit status, standard output (None: any) and parts of standard error; gives the output back.
    def check(self, p, status, out=None, *err):
        msg = p.stderr.decode(errors="replace")
        self.assertEqual((p.returncode, p.stdout if out is None else out), (status, p.stdout), msg)
        for part in err + (("zip-host: ",) if status else ()):
            self.assertIn(part, msg)
        return p.stdout

    # Each case: (args, stdin, exit status, stdout or None, stderr parts...).
    def table(self, cases, **kw):
        for args, data, status, out, *err in cases:
            with self.subTest(args=args, stdin=data[:16], status=status):
                self.check(self.run_host(*args, data=data, **kw), status, out, *err)


class RoundTrip(HostCase):
    def test_sizes_and_kinds_through_pipes_and_files_and_zlib_both_ways(self):
        data = text_data(300000) + random.Random(1).randbytes(20000)
        self.table([(["decompress"], s, 0, data) for s in [zlib.compress(data, level) for level in (0, 1, 9)] +
                    [deflated(data, w) for w in (9, 12)]])
        self.write("config/s_zip.ini", ON)
        for n in (0, 1, 65537, 3 * MiB):
            for data in (text_data(n), random.Random(n).randbytes(n), bytes(n)):
                with self.subTest(n=n, head=data[:8]):
                    z = self.check(self.run_host("compress", data=data), 0)
                    self.assertEqual((zlib.decompress(z), len(z) if n == 0 else 8), (data, 8))  # no bytes: an empty stream
                    self.check(self.run_host("decompress", data=z), 0, data)
        data = text_data(100000)
        self.check(self.run_host("compress", self.write("in", data), "out.z"), 0, b"")
        self.assertLess(len(self.read("out.z")), len(data) // 2)
        self.check(self.run_host("decompress", "out.z", "-"), 0, data)
        self.write("config/s_zip.ini", OFF)
        self.table([(["compress", "-", "-"], data, 0, data, "compression is off"),
                    (["decompress"], data, 0, data, "not compressed data"), (["decompress"], b"", 0, b"")])


class BadInput(HostCase):
    def test_damaged_streams_fail_with_their_code_and_no_output(self):
        z, gz, bomb = zlib.compress(text_data(200000)), deflated(b"hi " * 100, 31), zlib.compress(bytes(8 * MiB), 9)
        self.table([(["decompress"], z[:3], 1, b"", "decompress failed", "(61)"),
                    (["decompress"], z[:len(z) // 2], 1, b"", "cut short (61)"),
                    (["decompress"], z[:-3] + bytes([z[-3] ^ 0xFF]) + z[-2:], 1, b"", "corrupt compressed data (60)"),
                    (["decompress"], z + b"tail", 1, b"", "(64)"), (["decompress"], gz, 0, gz, "not compressed"),
                    (["decompress"], deflated(b"words " * 20, zdict=b"words"), 1, b"", "dictionary (62)")])
        self.table([(["decompress"], bomb, 1, b"", "limit (63): the limit is 1048576 bytes; S_ZLIB_MAX_OUTPUT")],
                   env=dict(self.env, S_ZLIB_MAX_OUTPUT=str(MiB)))
        self.table([(["decompress"], bomb, 0, bytes(8 * MiB))], env=dict(self.env, S_ZLIB_MAX_OUTPUT=str(8 * MiB)))
        for bad in ("0", "-1", "abc", "1e6", "4294967295"):  # a guard asked for but not understood: no work done
            self.table([(["decompress"], z, 2, b"", "S_ZLIB_MAX_OUTPUT=" + bad + " is not a byte count from 1 to 4294967294")],
                       env=dict(self.env, S_ZLIB_MAX_OUTPUT=bad))
        # Usage errors and missing modules come before standard input is read (here it never ends).
        for args, env, status in ((["compress"], dict(self.env, S_ZLIB_MAX_OUTPUT="x"), 2),
                                  (["--modules", self.tmp, "compress"], self.env, 5)):
            with self.subTest(args=args, status=status):
                p = subprocess.Popen(self.command(*args), stdin=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
                self.addCleanup(p.stdin.close)
                try:
                    self.assertEqual(p.wait(timeout=30), status)
                finally:
                    p.kill()
                    p.wait()


class Configuration(HostCase):
    def test_which_directory_holds_the_switch(self):
        data, xdg = text_data(3000), os.path.join(self.tmp, "xdg")
        for name, text in ((".config/s_zip/", ON), ("xdg/s_zip/", OFF), ("config/", ON), ("dir/s_zip.ini/", ON)):
            self.write(name + "s_zip.ini", text)  # the last one: the switch file is a folder
        cases = [({}, [], True), ({"XDG_CONFIG_HOME": xdg}, [], False), ({"XDG_CONFIG_HOME": "xdg"}, [], True),
                 ({"XDG_CONFIG_HOME": xdg, "S_INI_CONFIG_DIR": self.config}, [], True),
                 ({"XDG_CONFIG_HOME": xdg, "S_INI_CONFIG_DIR": ""}, [], False), ({"HOME": None}, [], False),
                 ({"S_INI_CONFIG_DIR": xdg + "/s_zip"}, ["--config-dir", self.config], True),
                 ({}, ["--config-dir", "dir"], False)]
        for change, args, on in cases:
            with self.subTest(change, args=args):
                env = {k: v for k, v in dict(self.env, **change).items() if v is not None}
                out = self.check(self.run_host(*args, "compress", data=data, env=env, config=False), 0)
                self.assertEqual(zlib.decompress(out) if on else out, data)
        # A mistyped folder is an error, not quietly "compression off".
        self.check(self.run_host("--config-dir", "missing", "compress", data=data, config=False), 2, b"", "not a folder")


class Files(HostCase):
    force = True

    def state(self):
        return sorted((n, self.read(n), os.stat(os.path.join(self.tmp, n)).st_mtime_ns) for n in os.listdir(self.tmp)
                      if n != "config")

    def test_a_failed_run_leaves_no_partial_output_and_never_touches_the_input(self):
        self.write("in.z", zlib.compress(text_data(100000))[:5000])
        self.write("out", b"previous contents")
        before = self.state()
        for args, status, err in ((["decompress", "in.z", "out"], 1, "cut short"), (["decompress", "in.z", "new"], 1, ""),
                                  (["compress", "missing", "out"], 3, "cannot read missing"),
                                  (["compress", "config", "new"], 3, "cannot read"),
                                  (["compress", "in.z", "no/such/dir/out"], 4, "cannot write"),
                                  (["compress", "in.z", "config"], 4, "cannot write")):
            with self.subTest(args=args):
                self.check(self.run_host(*args), status, None, err)
                self.assertEqual((self.state(), os.listdir(self.config)), (before, []))

    def test_success_replaces_the_output_whole_keeping_its_mode(self):
        os.chmod(self.write("out", b"old, and longer than nothing"), 0o640)
        self.check(self.run_host("compress", self.write("in", b"abc" * 1000), "out"), 0, b"")
        self.check(self.run_host("compress", "in", "new"), 0, b"")
        umask = os.umask(0)
        os.umask(umask)
        modes = [os.stat(self.write(n, None)).st_mode & 0o777 for n in ("out", "new")]
        self.assertEqual((self.read("out"), modes), (b"abc" * 1000, [0o640, 0o666 & ~umask]))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["config", "in", "new", "out"])
        r, w = os.pipe()
        os.close(r)
        self.check(self.run_host("compress", data=b"x" * 200000, stdout=w), 4, None, "cannot write standard output")
        os.close(w)

    def test_an_output_that_is_no_plain_file_is_written_in_place(self):
        os.mkfifo(self.write("fifo", None))
        os.symlink("target", self.write("link", None))
        os.link(self.write("a", b"old and longer than the new"), self.write("b", None))
        reader = subprocess.Popen(["cat", "fifo"], cwd=self.tmp, stdout=subprocess.PIPE)
        for out in ("fifo", "link", "b"):
            self.check(self.run_host("compress", self.write("in", b"data"), out), 0, b"")
        self.assertEqual(reader.communicate(timeout=60)[0], b"data")
        self.assertEqual((self.read("target"), self.read("a"), os.path.islink(self.write("link", None))),
                         (b"data", b"data", True))
        os.mkfifo(os.path.join(self.config, "s_zip.ini"))  # a FIFO as switch file means off, at once
        self.check(self.run_host("compress", data=b"data"), 0, b"data", "compression is off")

    # Whether zip-host still has a file open that is being written into the folder.
    @staticmethod
    def writing(pid, folder):
        try:
            links = [os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)]
        except OSError:
            return False
        return any(link.startswith(folder + "/") and "/big" not in link for link in links)

    def test_no_signal_leaves_a_temporary_and_no_foreign_file_is_removed(self):
        with open(self.write("big", None), "wb") as f:
            f.truncate(64 * MiB)  # sparse: read fast, written long enough to be caught
        self.write("out", b"old")
        dead = subprocess.Popen(["true"])
        dead.wait()
        foreign = [".report.zip-host.4000000.backup", ".out.zip-host.%d.AbC123" % dead.pid]
        for name in foreign:
            self.write(name, b"not zip-host's to remove")
        expected = sorted(["big", "config", "out"] + foreign)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
                    signal.SIGALRM, signal.SIGKILL):
            for out in ("out", "new"):
                with self.subTest(signal=sig, out=out):
                    p = subprocess.Popen(self.command("compress", "big", out), cwd=self.tmp, env=self.env,
                                         stderr=subprocess.DEVNULL, preexec_fn=no_core_files)
                    while p.poll() is None and not self.writing(p.pid, self.tmp):
                        time.sleep(0.0002)
                    p.send_signal(sig)
                    self.assertIn(p.wait(timeout=120), (-sig, 0))  # 0: it finished before the signal came
                    # OUT is the old or the whole new output (the signal may come after the rename), nothing else.
                    names = sorted(os.listdir(self.tmp))
                    self.assertIn(names, [sorted(expected), sorted(expected + [out])])
                    self.assertIn(os.path.getsize(self.write(out, None)) if out in names else 0,
                                  (64 * MiB, 3 if out == "out" else 0))
                    self.assertTrue(p.returncode != 0 or os.path.getsize(self.write(out, None)) == 64 * MiB)
                    if out == "new" and out in names:
                        os.unlink(self.write(out, None))
                    self.write("out", b"old")
        # Refused before reading: one byte more than a byte buffer holds, one more than compresses into one.
        # A run in another PID namespace, where this process's number names nobody, removes nothing either.
        self.write(".out.zip-host.%d.AbC123" % os.getpid(), b"a live run's")
        self.write("in", b"x")
        if os.geteuid() == 0 and shutil.which("unshare") and not EMULATOR:
            p = subprocess.run(["unshare", "--pid", "--fork"] + self.command("compress", "in", "out"), cwd=self.tmp,
                               env=self.env, capture_output=True, input=b"")
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertIn(".out.zip-host.%d.AbC123" % os.getpid(), os.listdir(self.tmp))
            self.write("out", b"old")
        os.truncate(self.write("huge", b""), (4 << 30) - 1)
        self.check(self.run_host("decompress", "huge", "out"), 3, b"", "larger than a byte buffer can hold")
        err = self.run_host("compress", "huge", "out").stderr.decode()
        most = int(re.search(r"too large to compress into a byte buffer \(at most (\d+) bytes\)", err).group(1))
        os.truncate(self.write("huge", None), most + 1)
        self.check(self.run_host("compress", "huge", "out"), 3, b"", "at most %d bytes" % most)
        self.assertEqual(os.path.getsize(self.write("out", None)), 3)

    def test_names_modes_and_standard_input_read_in_part(self):
        self.write("in", b"0123456789" * 100)
        long_name = "n" * 255  # the longest legal name
        self.check(self.run_host("compress", "in", long_name), 0, b"")
        for mode in (0o4755, 0o2750, 0o1640, 0o6711):
            with self.subTest(mode=oct(mode)):
                os.chmod(self.write(long_name, None), mode)
                self.check(self.run_host("compress", "in", long_name), 0, b"")
                self.assertEqual(os.stat(self.write(long_name, None)).st_mode & 0o7777, mode)
        with open(self.write("in", None), "rb") as f:
            os.lseek(f.fileno(), 995, os.SEEK_SET)  # a file already read in part: only the rest is input
            self.check(self.run_host("compress", stdout=subprocess.PIPE, data=None, stdin=f), 0, b"56789")
        self.table([(["compress", "", "out"], b"x", 2, b"", "empty"), (["compress", "in", ""], b"x", 2, b"", "empty")])
        self.assertEqual(sorted(os.listdir(self.tmp)), ["config", "in", long_name])

    def test_a_full_file_system_or_concurrent_writers_never_leave_a_mixed_output(self):
        old = random.Random(2).randbytes(30000)
        data = random.Random(3).randbytes(112881)  # compression off: written as it is
        self.write("in", data)
        fs = self.write("fs/", None)
        mounted = os.geteuid() == 0 and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=96k", "tmpfs", fs],
                                                        capture_output=True).returncode == 0
        if mounted:
            self.addCleanup(subprocess.run, ["umount", "-l", fs])
            self.write("fs/target", old)
            os.symlink("target", self.write("fs/link", None))
            os.link(self.write("fs/target", None), self.write("fs/hard", None))
            for out in ("fs/link", "fs/hard", "fs/new"):
                with self.subTest(out=out):
                    self.check(self.run_host("compress", "in", out), 4, b"", "No space left on device")
                    self.assertEqual((self.read("fs/target") == old, sorted(os.listdir(fs))), (True, ["hard", "link", "target"]))
        # Writers of outputs of different lengths into one file of two names: always one writer's whole output.
        os.link(self.write("shared", b""), self.write("other", None))
        outputs = [bytes([65 + i]) * (4 * MiB >> i) for i in range(3)]
        for i, o in enumerate(outputs):
            self.write("in%d" % i, o)
        for _ in range(4):
            ps = [subprocess.Popen(self.command("compress", "in%d" % i, "shared"), cwd=self.tmp, env=self.env)
                  for i in range(3)]
            self.assertEqual([p.wait(timeout=120) for p in ps], [0, 0, 0])
            self.assertIn(zlib.crc32(self.read("other")), [zlib.crc32(o) for o in outputs])

    def test_damaged_module_files_are_refused_by_name_never_loaded(self):
        lib, modules = os.path.join(os.path.dirname(os.path.dirname(HOST)), "lib"), self.write("modules/", None)
        with open(os.path.join(lib, "libs_zip.so"), "rb") as f:
            pristine = f.read()
        for name in (n for n in os.listdir(lib) if n.endswith(".so") or n == "s_zip.sha256"):
            shutil.copy(os.path.join(lib, name), modules)  # a copy of the whole folder, digest manifest included
        # The ELF header and program headers, and the dynamic section (64- or 32-bit little-endian).
        wide = pristine[4] == 2
        phoff, phentsize, phnum = struct.unpack_from("<Q14xHH" if wide else "<I10xHH", pristine, 32 if wide else 28)
        headers = list(range(64 if wide else 52)) + list(range(phoff, phoff + phentsize * phnum))
        for i in range(phnum):
            p_type, p_offset, p_filesz = struct.unpack_from("<I4xQ16xQ" if wide else "<II8xI", pristine,
                                                            phoff + i * phentsize)
            if p_type == 2:  # PT_DYNAMIC
                dynamic = range(p_offset, p_offset + p_filesz)
        rnd = random.Random(9)
        cases = [(0, b"\x7f", "compression is off"), (18, b"\x28\x00", "built for another machine")] + \
                [(rnd.choice(headers), bytes([rnd.randrange(256)]), "") for _ in range(40)] + \
                [(rnd.choice(dynamic), bytes([rnd.randrange(256)]), "") for _ in range(40)]
        for at, patch, err in cases:
            with self.subTest(at=at, patch=patch):
                self.write("modules/libs_zip.so", pristine[:at] + patch + pristine[at + len(patch):])
                p = self.run_host("--modules", modules, "compress", data=b"x")
                self.assertEqual(p.returncode, 0 if at == 0 else 5, p.stderr)  # and never killed (run_host)
                self.assertRegex(p.stderr.decode(), re.escape(err) if err else r"zip-host: cannot load \S*/libs_zip\.so: ")
        # A FIFO never hangs the loader; another module under the name is named.
        os.unlink(self.write("modules/libs_zip.so", None))
        os.mkfifo(self.write("modules/libs_zip.so", None))
        for args in (["compress"], ["inspect"]):
            self.check(self.run_host("--modules", modules, *args, data=b"x", timeout=30), 5, b"",
                       "libs_zip.so: not a regular file")
        os.unlink(self.write("modules/libs_zip.so", None))
        self.write("modules/libs_zip.so", pristine)
        with open(self.write("modules/libs_ini.so", None), "r+b") as f:  # what the module loads is checked too
            f.seek(200)
            f.write(b"\xff")
        self.check(self.run_host("--modules", modules, "compress", data=b"x"), 5, b"", "libs_ini.so does not match")
        os.unlink(self.write("modules/libs_zip.so", None))
        os.unlink(self.write("modules/s_zip.sha256", None))  # without a manifest, loaded after a trial
        shutil.copy(os.path.join(lib, "libs_zlib.so"), self.write("modules/libs_zip.so", None))
        self.check(self.run_host("--modules", modules, "compress", data=b"x"), 5, b"", "libs_zip.so: not the ZIP module")


class CommandLine(HostCase):
    def test_usage_errors_help_version_modules_and_exports(self):
        modules = os.path.join(os.path.dirname(os.path.dirname(HOST)), "lib")
        self.table([(["frobnicate"], b"", 2, b"", "'frobnicate' is neither a command"),
                    (["--bogus", "compress"], b"", 2, b"", "unknown option '--bogus'"),
                    (["compress", "a", "b", "c"], b"", 2, b""), (["--config-dir"], b"", 2, b"", "needs a folder"),
                    (["--modules", ""], b"", 2, b""), (["inspect", "extra"], b"", 2, b""),
                    (["--modules", self.write("none/", None), "compress"], b"x", 5, b"", "libs_tbuf.so"),
                    (["--modules", modules, "compress"], b"x", 0, b"x")], config=False)
        usage = self.check(self.run_host("--help", config=False), 0).decode()
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../docs/zip-host.1")) as f:
            man = f.read().replace("\\-", "-")
        section = lambda text, start, end: text.split(start, 1)[1].split(end, 1)[0]
        options = lambda text: set(re.findall(r"(?<![\w-])--?[a-z][a-z-]*", text))
        self.assertEqual(options(section(usage, "\noptions:", "\n\n")), options(section(man, ".SH OPTIONS", ".SH")))
        self.assertEqual(re.findall(r"^  (\d)  ", section(usage, "exit status:", "\n\n"), re.M),
                         re.findall(r"^\.B (\d)$", section(man, ".SH EXIT STATUS", ".SH"), re.M))
        self.assertRegex(self.check(self.run_host("--version", config=False), 0).decode(), r"^zip-host \d+\.\d+\.\d+\n$")
        for name in (n for n in os.listdir(modules) if n.endswith(".so")):  # an empty entry means the current folder
            dyn = subprocess.run([os.environ.get("READELF") or "readelf", "-d", os.path.join(modules, name)],
                                 capture_output=True, check=True).stdout.decode()
            for path in re.findall(r"\((?:RUNPATH|RPATH)\).*\[(.*)\]", dyn):
                self.assertNotIn("", path.split(":"), name)
        nm = subprocess.run([os.environ.get("NM", "nm"), "-D", "--defined-only", HOST], capture_output=True, check=True)
        self.assertNotRegex(nm.stdout.decode(), r"\b(pModuleID|ModMgr|ObjectManager|GetObjectManager|GetInterfaceClass|"
                                                r"theX509Cmn)\b|CMN_|TZip|aBuf|GetModuleID")

    # gzip's habits: default names, no clobbering without -f, -c, -k, -d, -t, --strict, --on, -v, --timing,
    # usage errors that name the word, no compressed data on a terminal.
    def test_gzip_habits(self):
        data = text_data(20000)
        self.write("f.txt", data)
        self.check(self.run_host("--on", "-v", "f.txt", config=False), 0, b"", "f.txt: 20000 -> ", "written to f.txt.zz")
        packed = self.read("f.txt.zz")
        self.assertEqual(zlib.decompress(packed), data)
        self.check(self.run_host("--on", "f.txt", config=False), 4, b"", "f.txt.zz already exists; use -f")
        self.assertEqual(self.read("f.txt.zz"), packed, "kept without -f")
        self.check(self.run_host("-kf", "f.txt"), 0, b"", "compression is off")  # -f replaces; the switch is off
        self.assertEqual(self.read("f.txt.zz"), data)
        self.write("f.txt.zz", packed)
        os.remove(os.path.join(self.tmp, "f.txt"))
        self.check(self.run_host("-d", "f.txt.zz"), 0, b"")
        self.assertEqual((self.read("f.txt"), self.read("f.txt.zz")), (data, packed), "IN is never removed")
        self.table([(["-dc", "f.txt.zz"], b"", 0, data), (["-d", "--stdout", "f.txt.zz"], b"", 0, data),
                    (["-t", "f.txt.zz"], b"", 0, b""), (["-t"], packed[:-3], 1, b""),
                    (["-t", "f.txt"], b"", 8, b"", "not compressed data"),
                    (["--strict", "-c", "f.txt"], b"", 8, b"", "compression is off"),
                    (["--strict", "-d"], b"plain", 8, b"", "not compressed data"),
                    (["--timing", "-c", "f.txt"], b"", 0, data, "passed through"),
                    (["-d", "f.txt"], b"", 2, b"", "'f.txt' does not end in .zz", "Try 'zip-host --help'"),
                    (["compres", "a", "b"], b"", 2, b"", "unknown command 'compres'"),
                    (["frobnicate"], b"", 2, b"", "'frobnicate' is neither a command"),
                    (["-c", "f.txt", "out"], b"", 2, b"", "'-c'"), (["-dz"], b"", 2, b"", "'-z' conflicts"),
                    (["--on"], b"x", 2, b"", "'--on' and '--config-dir'")])
        for args in (["-x"], ["--bogus", "compress"]):
            p = self.run_host(*args)
            self.check(p, 2, b"", "unknown option '%s'" % args[0])
            self.assertEqual(p.stderr.count(b"\n"), 2, "a usage error is two lines, not the help: %r" % p.stderr)
        # Compressed data is not written to a terminal unless forced.
        import pty
        leader, follower = pty.openpty()
        self.addCleanup(os.close, leader)
        with os.fdopen(follower, "wb") as tty:
            p = self.run_host("--on", "-", data=b"x" * 100, config=False, stdout=tty)
        self.check(p, 2, None, "not written to a terminal")


class Inspect(HostCase):
    def test_registries_and_unload_report_as_text_and_dot(self):
        self.write("config/s_zip.ini", ON)
        out = self.check(self.run_host("inspect"), 0).decode()
        held, after, report = out.split("== after the host let go")[0], *out.split("== unload protocol")
        for part in ("module ZIP", "TZipBufferImpl, 1 reference", "of module HOST"):
            self.assertIn(part, held)
        self.assertNotIn("of module HOST", after.split("== after the host let go")[1])
        self.assertEqual(report.count("0 object(s) left before dlclose; dlclose ok; gone from the process"), 3, report)
        self.assertIn("modules still loaded: 0", report)
        dot = self.check(self.run_host("inspect", "--dot"), 0).decode()
        self.assertTrue(dot.startswith("digraph registries {") and dot.rstrip().endswith("}"), dot)
        self.assertTrue('label="ZIP"' in dot and "holder\\nHOST" in dot, dot)
        self.assertTrue("1 reference\"" in dot and " ref\"" not in dot, dot)  # the text's words
        err = self.run_host("--verbose", "compress", data=b"abc").stderr.decode()
        self.assertTrue(err.index("unload ZIP") < err.index("unload ZLIB") < err.index("unload TBUF"), err)
        self.assertEqual(err.count("gone from the process"), 3, err)


class Install(HostCase):
    def test_installed_tree_runs_and_still_runs_when_moved(self):
        prefix = os.path.join(self.tmp, "prefix")
        subprocess.run([os.environ.get("CMAKE_COMMAND", "cmake"), "--install", os.environ["ZIP_BUILD_DIR"],
                        "--prefix", prefix, "--component", "host"], check=True, capture_output=True, timeout=120)
        self.assertEqual(sorted(os.listdir(os.path.join(prefix, "lib", "s_zip"))),
                         ["libs_ini.so", "libs_tbuf.so", "libs_zip.so", "libs_zip.so.1", "libs_zip.so.1.0.0", "libs_zlib.so",
                          "s_zip.sha256"])
        self.write("config/s_zip.ini", ON)
        data = text_data(50000)
        z = self.check(self.run_host("compress", data=data, host=os.path.join(prefix, "bin", "zip-host")), 0)
        shutil.move(prefix, os.path.join(self.tmp, "moved"))
        self.check(self.run_host("decompress", data=z, host=os.path.join(self.tmp, "moved", "bin", "zip-host")), 0, data)
        self.assertEqual(zlib.decompress(z), data)


if __name__ == "__main__":
    if not HOST or not os.access(HOST, os.X_OK):
        sys.exit("ZIP_HOST does not name an executable zip-host")
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[1:])
