#!/usr/bin/python3
"""Faults from below, provoked by injectors nobody in this project wrote or that keep their own record, and
volstress-cli's figures compared with that record.

- QEMU's blkdebug (qemu-storage-daemon, a raw node above blkdebug so it sees the read and write events),
  exported as a file through FUSE: EIO on chosen sectors, persistent and once, read directly and through a
  loop device.
- faultfs.py, a FUSE file system of ours that drops, misdirects and corrupts chosen writes and reads, stalls
  chosen reads and refuses O_DIRECT, and logs what it did and what each read then served.

  run_faults.py CLI [-v]      (root; needs /dev/fuse, fusermount, qemu-storage-daemon, python3-fusepy)
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

CLI = None
HERE = os.path.dirname(os.path.abspath(__file__))
BLOCK = 4096


def run_cli(args, timeout=60):
    """Runs volstress-cli; returns (status, stdout, stderr, seconds)."""
    t0 = time.monotonic()
    p = subprocess.run([CLI] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr, time.monotonic() - t0


def wait_for(cond, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def mounted(path):
    with open("/proc/self/mounts") as f:
        return any(line.split()[1] == path for line in f)


class FaultFs:
    """faultfs.py mounted in a temporary directory with a plan; unmounted (and its process ended) on exit."""

    def __init__(self, blocks, rules, refuse_direct=False):
        self.dir = tempfile.mkdtemp(prefix="volstress-faultfs-")
        self.mnt = os.path.join(self.dir, "mnt")
        os.mkdir(self.mnt)
        self.log = os.path.join(self.dir, "log.jsonl")
        plan = os.path.join(self.dir, "plan.json")
        with open(plan, "w") as f:
            json.dump({"size": blocks * BLOCK, "block": BLOCK, "refuse_direct": refuse_direct, "rules": rules}, f)
        self.proc = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "faultfs.py"), self.mnt, plan, self.log],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: mounted(self.mnt)):
            self.close()
            raise RuntimeError("faultfs did not mount")
        self.image = os.path.join(self.mnt, "disk.img")

    def events(self):
        with open(self.log) as f:
            return [json.loads(line) for line in f]

    def sees(self):
        counts = {"corrupted": 0, "misdirected": 0, "lost": 0}
        for e in self.events():
            if e["event"] == "sees":
                counts[e["kind"]] += 1
        return counts

    def close(self):
        # A read the file system still delays keeps the mount busy: detach it lazily.
        subprocess.run(["fusermount", "-u", "-z", self.mnt], stderr=subprocess.DEVNULL)
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Blkdebug:
    """An image behind blkdebug, exported as a file by qemu-storage-daemon; stopped (and unexported) on exit."""

    def __init__(self, blocks, inject):
        self.dir = tempfile.mkdtemp(prefix="volstress-blkdebug-")
        base = os.path.join(self.dir, "base.img")
        with open(base, "wb") as f:
            f.write(os.urandom(blocks * BLOCK))
        self.image = os.path.join(self.dir, "export.img")
        open(self.image, "w").close()
        dbg = {"driver": "blkdebug", "node-name": "dbg", "image": "file0", "inject-error": inject}
        self.proc = subprocess.Popen(
            ["qemu-storage-daemon", "--blockdev", f"driver=file,node-name=file0,filename={base}",
             "--blockdev", json.dumps(dbg), "--blockdev", "driver=raw,node-name=raw0,file=dbg",
             "--export", f"type=fuse,id=exp0,node-name=raw0,mountpoint={self.image},writable=on"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: mounted(self.image)):
            self.close()
            raise RuntimeError("qemu-storage-daemon did not export the image")

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        if mounted(self.image):
            subprocess.run(["fusermount", "-u", "-z", self.image], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Loop:
    """A loop device with direct I/O over a file; None when the kernel cannot do direct I/O on it."""

    def __init__(self, path):
        self.dev = subprocess.run(["losetup", "-f", "--show", "--direct-io=on", path], stdout=subprocess.PIPE,
                                  text=True, check=True).stdout.strip()
        dio = subprocess.run(["losetup", "--noheadings", "-O", "DIO", self.dev], stdout=subprocess.PIPE,
                             text=True).stdout.strip()
        self.direct = dio == "1"

    def close(self):
        subprocess.run(["losetup", "-d", self.dev])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def reads_of(block, operations, blocks):
    """Reads of one block by one forward reader that began at block 0 and made `operations` reads."""
    return 0 if operations <= block else (operations - 1 - block) // blocks + 1


def eio(doc):
    return sum(c["count"] for c in doc["all"]["errors_by_cause"] if c["name"] == "EIO")


class Blkdebugs(unittest.TestCase):
    def test_eio_on_every_read_of_a_sector_is_counted_exactly(self):
        with Blkdebug(256, [{"event": "read_aio", "sector": 3 * 8, "errno": 5}]) as q:
            status, out, err, took = run_cli(["--seconds", "2", "--threads", "1", "--method", "forward", "--json",
                                              "-", "T=" + q.image])
        doc = json.loads(out)
        self.assertEqual(status, 1, err)
        self.assertLess(took, 8)
        ops = doc["all"]["totals"]["io_count"]
        self.assertEqual(eio(doc), reads_of(3, ops, 256))
        self.assertEqual(doc["all"]["totals"]["errors"], eio(doc))

    def test_eio_once_on_a_read_and_a_write_queued(self):
        inject = [{"event": "read_aio", "sector": 5 * 8, "errno": 5, "once": True},
                  {"event": "write_aio", "sector": 9 * 8, "errno": 5, "once": True}]
        with Blkdebug(64, inject) as q:
            status, out, err, took = run_cli(["--seconds", "2", "--threads", "1", "--queue-depth", "4", "--reads",
                                              "1", "--writes", "1", "--destroy-data", "--json", "-", "T=" + q.image])
        doc = json.loads(out)
        self.assertEqual(status, 1, err)
        self.assertEqual(eio(doc), 2)

    def test_eio_through_a_loop_device(self):
        with Blkdebug(256, [{"event": "read_aio", "sector": 7 * 8, "errno": 5}]) as q, Loop(q.image) as loop:
            if not loop.direct:
                self.skipTest("the loop device cannot do direct I/O on the exported file")
            status, out, err, took = run_cli(["--seconds", "2", "--threads", "1", "--method", "forward", "--json",
                                              "-", "T=" + loop.dev])
        doc = json.loads(out)
        self.assertEqual(status, 1, err)
        self.assertEqual(eio(doc), reads_of(7, doc["all"]["totals"]["io_count"], 256))


# Forward, a read and a write per portion, 15 blocks: an odd count, so every block is read in the pass after it
# was written, and every write's fate is judged by the next read. Block 5's writes land on block 8, which the
# same pass reads before it is rewritten.
LIES = [{"op": "write", "block": 3, "action": "drop", "after": 1},
        {"op": "write", "block": 5, "action": "misdirect", "to": 8, "after": 1},
        {"op": "write", "block": 7, "action": "corrupt", "after": 1},
        {"op": "read", "block": 11, "action": "corrupt", "after": 2, "count": 3}]


class FaultFsRuns(unittest.TestCase):
    def test_verify_finds_what_the_file_system_did_synchronous(self):
        with FaultFs(15, LIES) as fs:
            status, out, err, took = run_cli(["--seconds", "2", "--threads", "1", "--method", "forward", "--writes",
                                              "1", "--verify", "--destroy-data", "--json", "-", "T=" + fs.image])
            sees = fs.sees()
        doc = json.loads(out)
        self.assertEqual(status, 1, err)
        self.assertEqual(doc["verify"]["by_kind"], sees)
        for kind in ("corrupted", "misdirected", "lost"):
            self.assertGreater(sees[kind], 0, kind)

    def test_verify_after_finds_what_the_file_system_did_queued(self):
        # Writes only, at random places (streams walking forward together would overlap on every block and
        # leave none known), then every known block read back once after the run: each lie seen once.
        with FaultFs(64, LIES[:3]) as fs:
            status, out, err, took = run_cli(["--seconds", "2", "--threads", "1", "--queue-depth", "4", "--reads",
                                              "0", "--writes", "1", "--verify-after", "--destroy-data", "--json",
                                              "-", "T=" + fs.image])
            sees = fs.sees()
        doc = json.loads(out)
        self.assertEqual(status, 1, err)
        self.assertEqual(doc["verify_after"]["by_kind"], sees)
        self.assertGreater(sum(sees.values()), 0)

    def test_a_file_system_that_refuses_o_direct_is_said_or_refused(self):
        with FaultFs(64, [], refuse_direct=True) as fs:
            status, out, err, took = run_cli(["--seconds", "1", "--threads", "1", "--json", "-", "T=" + fs.image])
            self.assertEqual(status, 0, err)
            self.assertFalse(json.loads(out)["volumes"][0]["uncached"])
            self.assertIn("Through the page cache", err)
            status, out, err, took = run_cli(["--seconds", "1", "--direct", "T=" + fs.image])
        self.assertEqual(status, 3, err)
        self.assertIn("cannot be read uncached", err)

    def stall(self, extra):
        # The 50th read of block 2 takes 8 s: past the end of a 2-second run and its 2-second grace. The report
        # must come on time; the process itself can end only when the file system answers (a FUSE request in
        # its hands cannot be abandoned, as a real device's call in flight cannot).
        with FaultFs(64, [{"op": "read", "block": 2, "action": "delay", "seconds": 8, "after": 49, "count": 1}]) as fs:
            results = os.path.join(fs.dir, "r.json")
            t0 = time.monotonic()
            proc = subprocess.Popen([CLI, "--seconds", "2", "--threads", "1", "--method", "forward", "--json",
                                     results, "T=" + fs.image] + extra, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True)
            self.assertTrue(wait_for(lambda: os.path.exists(results), 12))
            took = time.monotonic() - t0
            err = proc.communicate(timeout=30)[0]
            with open(results) as f:
                doc = json.load(f)
            delayed = [e for e in fs.events() if e["event"] == "delay"]
        self.assertEqual(len(delayed), 1)
        self.assertLess(took, 7, "the report comes on time")
        return proc.returncode, doc, err

    def test_a_stalled_read_ends_the_run_on_time_incomplete_synchronous(self):
        status, doc, err = self.stall([])
        self.assertEqual(status, 5, err)
        self.assertEqual(doc["workers_not_returned"], 1)
        self.assertEqual(doc["stuck_workers"], [{"worker": 1, "volume": "T"}])
        self.assertIn("worker 1 on T: is still in its call", err)

    def test_a_stalled_read_ends_the_run_on_time_queued(self):
        # Queued, the stalled read is cancelled after the 1 s drain; if the cancel cannot reach it, the worker
        # is stuck instead. Either way the run ends on time and does not claim success.
        status, doc, err = self.stall(["--queue-depth", "4"])
        self.assertIn(status, (1, 5), err)
        if status == 5:
            self.assertEqual(doc["workers_not_returned"], 1)
        else:
            self.assertGreaterEqual(doc["all"]["totals"]["errors"], 1)


def main():
    global CLI
    args = [a for a in sys.argv[1:] if not a.startswith("-")]
    CLI = os.path.abspath(args[0]) if args else os.path.join(HERE, "..", "..", "build", "cli", "volstress-cli")
    sys.argv = [sys.argv[0]] + [a for a in sys.argv[1:] if a.startswith("-")]
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
