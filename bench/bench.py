#!/usr/bin/env python3
"""Velmox against cp -a, cp -au and rsync -aAX on generated trees.

A benchmark, not a test: the trees live on a tmpfs (and, for the reflink
row, a btrfs loop file system), every tool runs in alternation with the
others (each round in the next ordering of the tools), free page reporting
is held off while it runs, and each row reports medians, the ratio
velmox / cp, system calls per file (perf's count, or strace -c) and peak memory
(/usr/bin/time). Ratios measured side by side in one run are what to
compare; absolute times depend on the machine.

    python3 bench/bench.py [--velmox build/linux/velmox] [--runs 6] [--rows small,empty,...]
                            [--keep-page-reporting]
"""
import argparse
import contextlib
import itertools
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROWS = ["small", "backup", "threads", "empty", "large", "rerun", "mirror", "overwrite", "sparse",
        "btrfs", "latency", "durable", "nightly", "history"]
MiB = 1 << 20


def velmox(exe, source, destination, *more):
    return [exe, "/Source:" + source, "/Dest:" + destination, "/SubDirectories",
            "/SecurityDescriptor", "/CreateDestinationDirectory", "/Silent"] + list(more)


def make_small(root, files=20000, directories=200):
    generator = random.Random(7)
    for d in range(directories):
        os.makedirs(os.path.join(root, f"d{d:03}"))
        for f in range(files // directories):
            size = generator.randint(1024, 16 * 1024)
            with open(os.path.join(root, f"d{d:03}", f"f{f:04}"), "wb") as out:
                out.write(generator.randbytes(size))
    return files


def make_empty(root, files=100000):
    os.makedirs(root)
    for f in range(files):
        open(os.path.join(root, f"e{f:06}"), "wb").close()
    return files


def make_large(root):
    os.makedirs(root)
    block = random.Random(3).randbytes(MiB)
    for name in ["a", "b"]:
        with open(os.path.join(root, name), "wb") as out:
            for _ in range(512):
                out.write(block)
    return 2


def make_sparse(root):
    os.makedirs(root)
    path = os.path.join(root, "sparse")
    with open(path, "wb") as out:
        for offset in [0, 2 << 30, (4 << 30) - MiB]:  # 3 MiB of data in 4 GiB
            out.seek(offset)
            out.write(random.Random(offset).randbytes(MiB))
    return 1


def allocated(path):
    total = 0
    for directory, _, files in os.walk(path):
        for name in files:
            total += os.lstat(os.path.join(directory, name)).st_blocks * 512
    return total


def timed(command, after=None):
    """Wall time and the CPU time (user + system) the command itself used.
    On a shared machine the CPU time is the steadier of the two."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise subprocess.CalledProcessError(status, command)
    if after:
        after()
    return time.perf_counter() - start, usage.ru_utime + usage.ru_stime


def syscalls(command, files):
    # Counted in the kernel where perf can (every thread, the tool slowed by
    # nothing: under strace a listing looks slow and is read ahead by the
    # copiers, which is not what a run does); else by strace.
    if shutil.which("perf"):
        done = subprocess.run(["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "--"] +
                              command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True)
        for line in done.stderr.splitlines():
            fields = line.split(",")
            if len(fields) > 2 and fields[2].startswith("raw_syscalls:sys_enter"):
                if fields[0].isdigit():
                    return int(fields[0]) / files
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        subprocess.run(["strace", "-f", "-c", "-o", out.name] + command, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for line in out.read().splitlines():
            if line.strip().endswith("total"):
                fields = line.split()
                return int(fields[3] if len(fields) >= 6 else fields[2]) / files
    return float("nan")


def peak_kib(command):
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, check=True,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(done.stderr.strip().splitlines()[-1])


class Bench:
    def __init__(self, options, work):
        self.exe = os.path.abspath(options.velmox)
        self.runs = options.runs
        self.work = work
        self.results = []

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def clear(self, path):
        if os.path.lexists(path):
            subprocess.run(["rm", "-rf", path], check=True)

    def copy_tools(self, source, destination):
        return {
            "velmox": velmox(self.exe, source, destination),
            "cp -a": ["cp", "-a", source, destination],
            "rsync -aAX": ["rsync", "-aAX", source + "/", destination],
        }

    def row(self, name, source, files, tools, prepare, after=None, extra=""):
        times = {tool: [] for tool in tools}
        # Each round takes the next ordering of the tools, so that every tool
        # follows every other one equally often: the tool that runs right
        # after another's teardown can pay for the memory that teardown freed.
        orders = list(itertools.permutations(tools))
        for round_ in range(self.runs):
            for tool in orders[round_ % len(orders)]:
                prepare(tool)
                times[tool].append(timed(tools[tool], after))
        medians = {tool: statistics.median(v[0] for v in values) for tool, values in times.items()}
        cpu = {tool: statistics.median(v[1] for v in values) for tool, values in times.items()}
        prepare("velmox")
        calls = syscalls(tools["velmox"], files)
        cp_tool = next(tool for tool in tools if tool.startswith("cp"))
        prepare(cp_tool)
        cp_calls = syscalls(tools[cp_tool], files)
        prepare("velmox")
        memory = peak_kib(tools["velmox"])
        best = {tool: min(v[0] for v in values) for tool, values in times.items()}
        cpu_ratio = cpu["velmox"] / cpu[cp_tool] if cpu[cp_tool] > 0 else float("nan")
        extra = (extra + " " if extra else "") + (
            f"CPU time velmox / {cp_tool}: {cpu_ratio:.2f}; "
            f"best of {self.runs}: {best['velmox'] / best[cp_tool]:.2f}")
        self.results.append((name, medians, cp_tool, calls, cp_calls, memory, extra))
        print(self.format(self.results[-1]), flush=True)

    @staticmethod
    def format(result):
        name, medians, cp_tool, calls, cp_calls, memory, extra = result
        cells = [f"{tool} {seconds:.3f} s" for tool, seconds in medians.items()]
        ratio = medians["velmox"] / medians[cp_tool]
        text = (f"| {name} | " + " | ".join(cells) + f" | velmox / {cp_tool}: {ratio:.2f} | "
                f"syscalls/file: velmox {calls:.1f}, {cp_tool} {cp_calls:.1f} | "
                f"peak {memory / 1024:.1f} MiB |")
        return text + (f" {extra} |" if extra else "")

    def new_copy_row(self, name, maker, after=None, source_name=None):
        source = self.path(source_name or name)
        if not os.path.exists(source):
            files = maker(source)
        else:
            files = sum(len(f) for _, _, f in os.walk(source))
        destination = self.path(name + ".copy")
        tools = self.copy_tools(source, destination)
        self.row(name, source, files, tools, lambda tool: self.clear(destination), after)
        return source, files

    def run(self, rows):
        if {"small", "backup", "threads", "rerun", "mirror", "overwrite"} & set(rows):
            source, files = self.new_copy_row("small", make_small) if "small" in rows else (
                self.path("small"), make_small(self.path("small")))
            if "backup" in rows:
                self.backup_row(source, files)
            if "threads" in rows:
                self.threads_row(source, files)
            if "rerun" in rows:
                self.rerun_row(source, files)
            if "mirror" in rows:
                self.mirror_row(source, files)
            if "overwrite" in rows:
                self.overwrite_row(source, files)
        if "empty" in rows:
            self.new_copy_row("empty", make_empty)
        if "large" in rows:
            self.new_copy_row("large", make_large)
            self.clear(self.path("large"))
        if "sparse" in rows:
            self.sparse_row()
        if "btrfs" in rows:
            self.btrfs_row()
        if "durable" in rows:
            self.durable_row()
        if "latency" in rows:
            self.latency_row()
        if "nightly" in rows:
            self.nightly_row()
        if "history" in rows:
            self.history_row()

    def backup_row(self, source, files):
        # The same tree with everything a restore needs: velmox /Backup
        # against cp -a and rsync -aAXH, which carry as much.
        destination = self.path("backup.copy")
        tools = {
            "velmox": velmox(self.exe, source, destination, "/Backup"),
            "cp -a": ["cp", "-a", source, destination],
            "rsync -aAXH": ["rsync", "-aAXH", source + "/", destination],
        }
        self.row("small, /Backup", source, files, tools, lambda tool: self.clear(destination))

    def add_extra(self, extra):
        self.results[-1] = self.results[-1][:6] + (self.results[-1][6] + "; " + extra,)
        print(f"|   | {extra} |")

    def threads_row(self, source, files):
        # The same small files with two workers, against one and cp -a.
        destination = self.path("threads.copy")
        tools = {
            "velmox": velmox(self.exe, source, destination, "/Threads:2"),
            "velmox /Threads:1": velmox(self.exe, source, destination),
            "cp -a": ["cp", "-a", source, destination],
        }
        self.row("small, /Threads:2", source, files, tools, lambda tool: self.clear(destination))
        medians = self.results[-1][1]
        # A new file costs a worker no call the walk would not make.
        self.clear(destination)
        threaded = syscalls(velmox(self.exe, source, destination, "/Threads:8"), files)
        self.clear(destination)
        self.add_extra(f"/Threads:2 / /Threads:1: "
                       f"{medians['velmox'] / medians['velmox /Threads:1']:.2f}; "
                       f"syscalls/file /Threads:8: {threaded:.1f}")

    def latency_row(self, files=2000, delay_ms=1.0):
        # A share's round trips: trees on a passthrough file system that
        # waits `delay_ms` in every request, source and copy both on it.
        # The same files in 20 and in 200 directories, copied with what
        # /Backup carries against the tools people reach for on shares,
        # then each velmox copy rerun with nothing to do.
        backing, mount = self.path("slow.backing"), self.path("slow")
        os.makedirs(backing)
        os.makedirs(mount)
        generator = random.Random(11)
        shapes = [20, 200]
        for directories in shapes:
            for d in range(directories):
                folder = os.path.join(backing, f"src{directories}", f"d{d:03}")
                os.makedirs(folder)
                for f in range(files // directories):
                    with open(os.path.join(folder, f"f{f:03}"), "wb") as out:
                        out.write(generator.randbytes(generator.randint(1024, 16 * 1024)))
        # The server is native and threaded: its own work is never what a
        # threaded copy waits for.
        server_exe = self.path("slow_fs")
        built = subprocess.run(
            "cc -O2 -o " + shlex.quote(server_exe) + " " +
            shlex.quote(os.path.join(os.path.dirname(os.path.abspath(__file__)), "slow_fs.c")) +
            " $(pkg-config --cflags --libs fuse)", shell=True, capture_output=True, text=True)
        if built.returncode != 0:
            print(f"| latency | skipped: the slow file system did not build "
                  f"({built.stderr.strip()[-200:]}) |")
            return
        server = subprocess.Popen([server_exe, backing, mount, str(int(delay_ms * 1000))],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for _ in range(100):
            if os.path.ismount(mount) or server.poll() is not None:
                break
            time.sleep(0.1)
        if not os.path.ismount(mount):
            server.kill()
            print(f"| latency | skipped: the slow file system did not mount "
                  f"({server.stderr.read().decode(errors='replace').strip()[-200:]}) |")
            return
        try:
            for directories in shapes:
                self.latency_shape(backing, mount, files, directories, delay_ms)
        finally:
            subprocess.run(["fusermount", "-u", mount], check=False)
            server.wait(timeout=30)
            self.clear(backing)

    def latency_shape(self, backing, mount, files, directories, delay_ms):
        source = os.path.join(mount, f"src{directories}")
        destination = os.path.join(mount, "copy")
        # cp -au's rerun goes over a copy of its own: cp sets the times of
        # every directory it passes, which velmox would then find changed
        # since its last night and compare again.
        cp_destination = os.path.join(mount, "copy.cp")
        fpsync_work = self.path("fpsync.work")
        tools = {
            "velmox": velmox(self.exe, source, destination, "/Backup", "/Threads:8"),
            "velmox /Threads:1": velmox(self.exe, source, destination, "/Backup"),
            "cp -a": ["cp", "-a", source, destination],
        }
        peers = {
            "rclone copy": ["rclone", "copy", "--transfers", "8", "--checkers", "8", "--quiet",
                            "--config", "/dev/null", source, destination],
            "fpsync -n 8": ["fpsync", "-n", "8", "-t", fpsync_work, source + "/",
                            destination + "/"],
        }
        for name, command in peers.items():
            if shutil.which(command[0]):
                tools[name] = command
            else:
                print(f"|   | {name}: not installed (make bench installs it) |")

        def prepare(tool):
            self.clear(destination)
            self.clear(fpsync_work)
        name = f"latency {delay_ms:g} ms, {files} files in {directories} directories, /Backup"
        self.row(name + " /Threads:8", source, files, tools, prepare)
        medians = self.results[-1][1]
        extra = [f"/Threads:8 / /Threads:1: "
                 f"{medians['velmox'] / medians['velmox /Threads:1']:.2f}"]
        extra += [f"/ {peer}: {medians['velmox'] / medians[peer]:.2f}"
                  for peer in peers if peer in medians]
        self.add_extra("; ".join(extra))
        # The no-op rerun over the copy just made.
        subprocess.run(tools["velmox"], check=False)
        subprocess.run(["cp", "-a", os.path.join(backing, "copy"), os.path.join(backing, "copy.cp")],
                       check=True)
        rerun = {
            "velmox": velmox(self.exe, source, destination, "/Backup", "/OnlyNewer",
                             "/Threads:8"),
            "velmox /Threads:1": velmox(self.exe, source, destination, "/Backup", "/OnlyNewer"),
            "cp -au": ["cp", "-au", source + "/.", cp_destination],
        }
        # rclone compares sizes and times over the same complete copy.
        if "rclone copy" in tools:
            rerun["rclone copy"] = tools["rclone copy"]
        self.row(name + " no-op rerun /Threads:8", source, files, rerun, lambda tool: None)
        medians = self.results[-1][1]
        extra = [f"/Threads:8 / /Threads:1: "
                 f"{medians['velmox'] / medians['velmox /Threads:1']:.2f}"]
        if "rclone copy" in medians:
            extra.append(f"/ rclone copy: {medians['velmox'] / medians['rclone copy']:.2f}")
        self.add_extra("; ".join(extra))
        self.clear(destination)
        self.clear(os.path.join(backing, "copy.cp"))

    def over_copies_row(self, name, source, files, tools):
        # Each tool runs over its own complete copy, made once; `tools` maps
        # each tool to (its copy, a function from the copy to its command).
        copies = {tool: self.path(f"{name}.{tool.split()[0]}") for tool in tools}
        subprocess.run(velmox(self.exe, source, copies["velmox"]), check=True)
        for tool in tools:
            if tool.startswith("cp"):
                subprocess.run(["cp", "-a", source, copies[tool]], check=True)
            elif tool.startswith("rsync"):
                subprocess.run(["rsync", "-aAX", source + "/", copies[tool]], check=True)
        self.row(name, source, files, {tool: command(copies[tool])
                                       for tool, command in tools.items()}, lambda tool: None)

    def rerun_row(self, source, files):
        self.over_copies_row("rerun", source, files, {
            "velmox": lambda copy: velmox(self.exe, source, copy, "/OnlyNewer"),
            "velmox /Threads:2": lambda copy: velmox(self.exe, source, copy, "/OnlyNewer",
                                                     "/Threads:2"),
            "velmox /Threads:8": lambda copy: velmox(self.exe, source, copy, "/OnlyNewer",
                                                     "/Threads:8"),
            "cp -au": lambda copy: ["cp", "-au", source + "/.", copy],
            "rsync -aAX": lambda copy: ["rsync", "-aAX", source + "/", copy],
        })
        medians = self.results[-1][1]
        # A skipped file costs a worker no call the walk would not make.
        threaded = syscalls(velmox(self.exe, source, self.path("rerun.velmox"), "/OnlyNewer",
                                   "/Threads:8"), files)
        extra = (f"velmox / rsync: {medians['velmox'] / medians['rsync -aAX']:.2f}; "
                 + self.threads_ratios(medians)
                 + f"; syscalls/file /Threads:8: {threaded:.1f}")
        self.results[-1] = self.results[-1][:6] + (self.results[-1][6] + "; " + extra,)
        print(f"|   | {extra} |")
        self.clear_copies("rerun")

    def mirror_row(self, source, files):
        # A no-op rerun that also looks for what the source no longer has:
        # against the plain no-op rerun and rsync --delete, side by side.
        self.over_copies_row("mirror", source, files, {
            "velmox": lambda copy: velmox(self.exe, source, copy, "/OnlyNewer", "/Mirror"),
            "velmox /Threads:2": lambda copy: velmox(self.exe, source, copy, "/OnlyNewer",
                                                     "/Mirror", "/Threads:2"),
            "velmox /Threads:8": lambda copy: velmox(self.exe, source, copy, "/OnlyNewer",
                                                     "/Mirror", "/Threads:8"),
            "cp -au": lambda copy: ["cp", "-au", source + "/.", copy],
            "velmox plain": lambda copy: velmox(self.exe, source, copy, "/OnlyNewer"),
            "rsync -a --delete": lambda copy: ["rsync", "-a", "--delete", source + "/", copy],
        })
        medians = self.results[-1][1]
        extra = (f"velmox /Mirror / plain rerun: {medians['velmox'] / medians['velmox plain']:.2f}; "
                 f"/ rsync -a --delete: {medians['velmox'] / medians['rsync -a --delete']:.2f}; "
                 + self.threads_ratios(medians))
        self.results[-1] = self.results[-1][:6] + (self.results[-1][6] + "; " + extra,)
        print(f"|   | {extra} |")
        self.clear_copies("mirror")

    def overwrite_row(self, source, files):
        # Every file replaced over an existing complete copy: velmox writes
        # each to a new file and renames it over the old one, cp -a writes
        # into the old files, rsync (every file taken as changed) renames.
        self.over_copies_row("overwrite", source, files, {
            "velmox": lambda copy: velmox(self.exe, source, copy, "/Overwrite"),
            "cp -a": lambda copy: ["cp", "-a", source + "/.", copy],
            "rsync -aAX": lambda copy: ["rsync", "-aAX", "--ignore-times", source + "/", copy],
        })
        self.clear_copies("overwrite")

    @staticmethod
    def threads_ratios(medians):
        return "; ".join(f"{tool} / /Threads:1: {medians[tool] / medians['velmox']:.2f}"
                         for tool in medians if tool.startswith("velmox /Threads:"))

    def clear_copies(self, name):
        for tool in ("velmox", "cp", "rsync"):
            self.clear(self.path(f"{name}.{tool}"))

    def sparse_row(self):
        source = self.path("sparse")
        make_sparse(source)
        destination = self.path("sparse.copy")
        tools = {"velmox": velmox(self.exe, source, destination),
                 "cp -a": ["cp", "-a", source, destination]}
        self.row("sparse", source, 1, tools, lambda tool: self.clear(destination))
        self.clear(destination)
        subprocess.run(tools["velmox"], check=True)
        extra = (f"allocated: source {allocated(source) / MiB:.1f} MiB, "
                 f"velmox copy {allocated(destination) / MiB:.1f} MiB")
        self.results[-1] = self.results[-1][:6] + (self.results[-1][6] + "; " + extra,)
        print(f"|   | {extra} |")
        self.clear(destination)
        self.clear(source)

    def loop_volume(self, row, mkfs, size):
        """A file system of `size` bytes made by `mkfs` (a command to which the
        image's path is added) in a loop file, mounted; None, with the row
        said to be skipped, where no loop mount can be had here."""
        image = self.path(row + ".img")
        mount = self.path(row + ".mnt")
        try:
            with open(image, "wb") as out:
                out.truncate(size)
            subprocess.run(mkfs + [image], check=True, stdout=subprocess.DEVNULL)
            os.makedirs(mount)
            subprocess.run(["mount", "-o", "loop", image, mount], check=True)
        except (OSError, subprocess.CalledProcessError) as error:
            print(f"| {row} | skipped: no loop mount here ({error}) |")
            return None
        return mount

    def btrfs_row(self):
        mount = self.loop_volume("btrfs", ["mkfs.btrfs", "-q"], 3 << 30)
        if mount is None:
            return
        try:
            old_work, self.work = self.work, mount
            source = self.path("big")
            os.makedirs(source)
            with open(os.path.join(source, "one-gib"), "wb") as out:
                block = random.Random(5).randbytes(MiB)
                for _ in range(1024):
                    out.write(block)
            os.sync()
            destination = self.path("big.copy")
            tools = {"velmox": velmox(self.exe, source, destination),
                     "cp -a": ["cp", "-a", source, destination]}
            self.row("btrfs", source, 1, tools, lambda tool: (self.clear(destination), os.sync()),
                     after=os.sync)
        finally:
            self.work = old_work
            subprocess.run(["umount", mount], check=False)

    def durable_row(self, files=2000):
        """What "done means on disk" costs on a real disk's file system: 2,000
        small files onto an ext4 loop volume, the default run (one syncfs at
        the end) and /Flush (each file flushed before its name; with eight
        threads the flushes overlap) side by side with cp -a followed by sync,
        the nearest a plain copy comes."""
        mount = self.loop_volume("durable", ["mkfs.ext4", "-q", "-F"], 1 << 30)
        if mount is None:
            return
        try:
            source = self.path("durable")
            if not os.path.exists(source):
                make_small(source, files=files, directories=20)
            destination = os.path.join(mount, "copy")
            tools = {"velmox": velmox(self.exe, source, destination),
                     "velmox /Flush": velmox(self.exe, source, destination, "/Flush"),
                     "velmox /Flush /Threads:8": velmox(self.exe, source, destination, "/Flush",
                                                        "/Threads:8"),
                     "cp -a + sync": ["sh", "-c", f"cp -a {source} {destination} && sync -f "
                                      f"{mount}"]}
            self.row("durable", source, files, tools,
                     lambda tool: (self.clear(destination), os.sync()))
        finally:
            subprocess.run(["umount", mount], check=False)

    def nightly_row(self, files=100000, directories=1000, changed=10):
        """A night that replaces one file in `changed` of 100,000 small ones
        on an XFS loop volume, where a replacement takes its name only once
        its data is on disk (one flush per batch): velmox against /Flush (a
        flush per file), cp -au and rsync -a, which flush nothing."""
        mount = self.loop_volume("nightly", ["mkfs.xfs", "-q", "-f"], 8 << 30)
        if mount is None:
            return
        try:
            source = self.path("nightly")
            make_small(source, files=files, directories=directories)
            names = sorted(os.path.join(d, f) for d, _, fs in os.walk(source) for f in fs)
            replaced = names[::changed]
            copies = {tool: os.path.join(mount, tool.replace(" ", "").replace("/", "-"))
                      for tool in ("velmox", "velmox /Flush", "cp -au", "rsync -a")}
            subprocess.run(velmox(self.exe, source, copies["velmox"]), check=True)
            subprocess.run(velmox(self.exe, source, copies["velmox /Flush"]), check=True)
            subprocess.run(["cp", "-a", source, copies["cp -au"]], check=True)
            subprocess.run(["rsync", "-a", source + "/", copies["rsync -a"]], check=True)
            tools = {
                "velmox": velmox(self.exe, source, copies["velmox"], "/OnlyNewer", "/Mirror"),
                "velmox /Flush": velmox(self.exe, source, copies["velmox /Flush"], "/OnlyNewer",
                                        "/Mirror", "/Flush"),
                "cp -au": ["cp", "-au", source + "/.", copies["cp -au"]],
                "rsync -a": ["rsync", "-a", "--delete", source + "/", copies["rsync -a"]],
            }
            night = [time.time()]

            def prepare(tool):
                # Each run finds the changed tenth newer than its copy.
                night[0] += 60
                for name in replaced:
                    os.utime(name, (night[0], night[0]))
                os.sync()
            self.row("nightly, XFS", source, len(replaced), tools, prepare)
            medians = self.results[-1][1]
            self.add_extra(f"velmox / velmox /Flush: "
                           f"{medians['velmox'] / medians['velmox /Flush']:.2f}; "
                           f"/ rsync -a: {medians['velmox'] / medians['rsync -a']:.2f}")
            self.clear(source)
        finally:
            subprocess.run(["umount", mount], check=False)

    def history_row(self, files=100000, directories=1000, changed=100):
        """What keeping yesterday costs: a night with nothing to do, then
        nights that replace one file in `changed` of 100,000 small ones,
        velmox /Mirror with and without /History: (the old versions linked
        into a run folder), beside cp -au."""
        source = self.path("history")
        make_small(source, files=files, directories=directories)
        names = sorted(os.path.join(d, f) for d, _, fs in os.walk(source) for f in fs)
        replaced = names[::changed]
        history = self.path("history.kept")
        copies = {tool: self.path("history." + tool.replace(" ", "").replace("/", "-"))
                  for tool in ("velmox", "velmox /History", "cp -au")}
        nightly = ("/OnlyNewer", "/Mirror")
        tools = {
            "velmox": velmox(self.exe, source, copies["velmox"], *nightly),
            "velmox /History": velmox(self.exe, source, copies["velmox /History"], *nightly,
                                      "/History:" + history),
            "cp -au": ["cp", "-au", source + "/.", copies["cp -au"]],
        }
        for tool in tools:
            subprocess.run(tools[tool], check=True)
        for name, prepare, counted in (
                ("rerun, nothing changed, /History", lambda tool: None, files),
                (f"night, 1 in {changed} of {files} changed, /History", None, len(replaced))):
            if prepare is None:
                night = [time.time()]

                def prepare(tool):
                    night[0] += 60
                    for path in replaced:
                        os.utime(path, (night[0], night[0]))
            self.row(name, source, counted, tools, prepare)
            medians = self.results[-1][1]
            self.add_extra(f"velmox /History / velmox: "
                           f"{medians['velmox /History'] / medians['velmox']:.2f}")
        for path in [source, history] + list(copies.values()):
            self.clear(path)


PAGE_REPORTING_ORDER = "/sys/module/page_reporting/parameters/page_reporting_order"


@contextlib.contextmanager
def free_page_reporting_held(keep):
    """In a virtual machine with free page reporting, memory a run frees goes
    back to the host at once, and the next run that takes it pays the host's
    faults: single runs then take several times as long, at random. An
    order above the largest page order reports nothing; the old order comes
    back when the benchmark ends."""
    try:
        with open(PAGE_REPORTING_ORDER) as current:
            old = current.read().strip()
    except OSError:
        old = None
    if keep or old is None:
        yield
        return
    with open("/proc/buddyinfo") as buddies:  # one column per page order
        above_largest = str(max(len(line.split()) - 4 for line in buddies))
    try:
        with open(PAGE_REPORTING_ORDER, "w") as setting:
            setting.write(above_largest)
    except OSError as error:
        print(f"free page reporting left on ({error}); expect noisy runs")
        yield
        return
    print(f"free page reporting held off for the run (page_reporting_order {old} -> {above_largest})")
    try:
        yield
    finally:
        with open(PAGE_REPORTING_ORDER, "w") as setting:
            setting.write(old)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--velmox", default="build/linux/velmox")
    parser.add_argument("--runs", type=int, default=6)
    parser.add_argument("--rows", default=",".join(ROWS))
    parser.add_argument("--keep-page-reporting", action="store_true",
                        help="leave the guest's free page reporting as it is")
    options = parser.parse_args()
    rows = options.rows.split(",")
    for tool in ["strace", "rsync", "/usr/bin/time"]:
        if not shutil.which(tool):
            sys.exit(f"bench: {tool} is missing (make bench installs it)")
    work = tempfile.mkdtemp(prefix="velmox-bench-")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=20g", "tmpfs", work],
                             stderr=subprocess.DEVNULL).returncode == 0
    if not mounted:
        shutil.rmtree(work)
        work = tempfile.mkdtemp(prefix="velmox-bench-", dir="/dev/shm")
    print(f"work: {work} ({'tmpfs' if mounted else '/dev/shm'}), {options.runs} runs, "
          f"medians; velmox runs with /SubDirectories /SecurityDescriptor "
          f"/CreateDestinationDirectory /Silent")
    try:
        with free_page_reporting_held(options.keep_page_reporting):
            Bench(options, work).run(rows)
    finally:
        if mounted:
            subprocess.run(["umount", work], check=False)
        subprocess.run(["rm", "-rf", work], check=False)


if __name__ == "__main__":
    main()
