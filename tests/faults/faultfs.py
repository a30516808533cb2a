#!/usr/bin/python3
"""A file system of one image file that fails, stalls and lies on purpose, and writes down what it did.

  faultfs.py MOUNTPOINT PLAN.json LOG.jsonl

The plan: {"size": bytes, "block": bytes, "refuse_direct": false, "rules": [...]}. A rule:
  {"op": "read"|"write", "block": N, "action": A, "after": K, "count": C}
applies to the operations of that kind on block N, skipping the first K (default 0), at most C times (default
every time). Actions:
  write: "drop" (acknowledged, not stored), "misdirect" (stored at block "to" instead), "corrupt" (stored with
         one byte of its data flipped), "eio" (refused with EIO)
  read:  "corrupt" (one byte flipped in what is returned), "delay" (returned "seconds" late), "eio"
Every action is logged as one JSON line; and every read of a block the application has written, while what
the block holds is not what was last acknowledged there, is logged as {"event": "sees", "kind": K}, K being
what a verifier must call it: "lost" (an older block of the application's own), "misdirected" (another
block's), or "corrupted" (anything else). With "refuse_direct" the file refuses O_DIRECT opens, as some file
systems do. Runs in the foreground; unmount to end it.
"""
import errno
import json
import os
import stat
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations

MAGIC = b"VOLSTRSV"
NAME = "/disk.img"


class FaultFs(Operations):
    def __init__(self, plan, log_path):
        self.size = plan["size"]
        self.block = plan["block"]
        self.refuse_direct = plan.get("refuse_direct", False)
        self.rules = [dict(r, seen=0, applied=0) for r in plan.get("rules", [])]
        self.data = bytearray(os.urandom(self.size)) if plan.get("random", True) else bytearray(self.size)
        self.mutex = threading.Lock()
        self.log = open(log_path, "a", buffering=1)
        # Per block: whether the application holds a write there it was told succeeded and we still know
        # what it expects, and if the block's content is not that write, what a verifier must call it.
        self.known = {}
        self.taint = {}

    def record(self, **event):
        self.log.write(json.dumps(event) + "\n")

    def rule(self, op, block):
        for r in self.rules:
            if r["op"] != op or r["block"] != block:
                continue
            r["seen"] += 1
            if r["seen"] <= r.get("after", 0):
                continue
            if "count" in r and r["applied"] >= r["count"]:
                continue
            r["applied"] += 1
            return r
        return None

    def ours(self, block):
        at = block * self.block
        return bytes(self.data[at:at + len(MAGIC)]) == MAGIC

    # The file system: a root directory holding the one file.
    def getattr(self, path, fh=None):
        now = time.time()
        if path == "/":
            return dict(st_mode=stat.S_IFDIR | 0o755, st_nlink=2, st_atime=now, st_mtime=now, st_ctime=now)
        if path == NAME:
            return dict(st_mode=stat.S_IFREG | 0o644, st_nlink=1, st_size=self.size, st_atime=now,
                        st_mtime=now, st_ctime=now, st_blksize=self.block)
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", NAME[1:]]

    def open(self, path, flags):
        if path != NAME:
            raise FuseOSError(errno.ENOENT)
        if self.refuse_direct and flags & os.O_DIRECT:
            raise FuseOSError(errno.EINVAL)
        return 0

    def truncate(self, path, length, fh=None):
        if length != self.size:
            raise FuseOSError(errno.EPERM)

    def read(self, path, size, offset, fh):
        block = offset // self.block
        with self.mutex:
            r = self.rule("read", block)
            if r and r["action"] == "eio":
                self.record(event="eio", op="read", block=block)
                raise FuseOSError(errno.EIO)
            out = bytearray(self.data[offset:offset + size])
            if r and r["action"] == "corrupt" and len(out) > 64:
                out[64] ^= 0xFF
                self.record(event="corrupt", op="read", block=block)
            kind = "corrupted" if r and r["action"] == "corrupt" else self.taint.get(block)
            if self.known.get(block) and kind and size == self.block and offset % self.block == 0:
                self.record(event="sees", block=block, kind=kind)
        if r and r["action"] == "delay":
            self.record(event="delay", op="read", block=block, seconds=r["seconds"])
            time.sleep(r["seconds"])
            self.record(event="delayed", op="read", block=block)
        return bytes(out)

    def write(self, path, data, offset, fh):
        if offset + len(data) > self.size:
            raise FuseOSError(errno.ENOSPC)
        block = offset // self.block
        whole = len(data) == self.block and offset % self.block == 0
        with self.mutex:
            r = self.rule("write", block)
            action = r["action"] if r else None
            if action == "eio":
                self.record(event="eio", op="write", block=block)
                self.known[block] = False  # the verifier no longer knows what the block holds
                raise FuseOSError(errno.EIO)
            if action == "drop":
                self.taint[block] = "lost" if self.ours(block) else "corrupted"
                self.record(event="drop", block=block)
            elif action == "misdirect":
                to = r["to"]
                self.taint[block] = "lost" if self.ours(block) else "corrupted"
                self.data[to * self.block:(to + 1) * self.block] = data
                self.taint[to] = "misdirected"
                self.record(event="misdirect", block=block, to=to)
            elif action == "corrupt":
                stored = bytearray(data)
                stored[min(64, len(stored) - 1)] ^= 0xFF
                self.data[offset:offset + len(data)] = stored
                self.taint[block] = "corrupted"
                self.record(event="corrupt", op="write", block=block)
            else:
                self.data[offset:offset + len(data)] = data
                self.taint.pop(block, None)
            if whole:
                self.known[block] = True
        return len(data)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        return 0

    def release(self, path, fh):
        return 0


def main():
    mountpoint, plan_path, log_path = sys.argv[1:4]
    with open(plan_path) as f:
        plan = json.load(f)
    FUSE(FaultFs(plan, log_path), mountpoint, foreground=True, nothreads=False, allow_other=False,
         direct_io=not plan.get("refuse_direct", False))


if __name__ == "__main__":
    main()
