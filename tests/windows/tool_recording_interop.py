"""Recordings across systems: one travik records a Linux `travik device`
that streams known gray images, the other reads the file.

  tool_recording_interop.py windows WINE TRAVIK_EXE LINUX_TRAVIK WORKDIR
      travik.exe record; Linux `travik info` and `travik export` read it
  tool_recording_interop.py linux   WINE TRAVIK_EXE LINUX_TRAVIK WORKDIR
      Linux `travik record`; travik.exe info and export read it, and
      travik.exe replay plays it to a Linux `travik view`

The recorder runs until an export of the file as it grows (chunks are
written every second) holds every image, then stops with Ctrl-C and must
close the file: info says "closed: yes", and every exported image equals
one of the files. Exit 0: passed, 77: skipped (reason printed), else failed.
"""
import os
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import tool_interop as ti  # noqa: E402

PGM_HEAD = b"P5\n64 48\n255\n"
# The device sends an image every 100 ms (--fps 10). The recorder and the
# replay's viewer ask for images at most every INTERVAL_MS, far below that:
# at the default 100 ms the library's interval gate (an image passes only
# once MORE than the interval has gone by) drops about every other image at
# random, both when recording and when replaying, and six images in a row
# could then alternate between two of the three files.
INTERVAL_MS = "10"


def pgm_pixels(data):
    """The pixels of a binary 8-bit PGM (any whitespace in its header)."""
    fields, pos = [], 2
    if data[:2] != b"P5":
        return None
    while len(fields) < 3:
        while pos < len(data) and data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while pos < len(data) and not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    if fields != [b"64", b"48", b"255"]:
        return None
    return data[pos + 1:]


def check_export(reader, mcap_arg, out_arg, out_dir, pixels, growing=False):
    """Which of the images an export holds; fails on any other image. The
    tool gets MCAP_ARG and OUT_ARG (Windows paths for travik.exe); the files
    are read from OUT_DIR. A growing file may not hold a chunk yet: its
    export may fail."""
    shutil.rmtree(out_dir, ignore_errors=True)
    rc, _, err = ti.run(reader + ["export", mcap_arg, out_arg])
    if rc != 0 and growing:
        return set()
    if rc != 0:
        ti.fail("%s export: exit %d: %s" % (reader[-1], rc, err[-2000:]))
    seen = set()
    for name in sorted(n for n in os.listdir(out_dir) if n.startswith("ch0_")):
        with open(os.path.join(out_dir, name), "rb") as f:
            data = pgm_pixels(f.read())
        if data not in pixels:
            ti.fail("exported %s differs from every image the device sent" % name)
        seen.add(pixels.index(data))
    return seen


def check_replay(windows, mcap_arg, linux_travik, work, images):
    """travik.exe replay of the recording, watched by the Linux viewer: every
    image it saves equals one of the files, and all of them arrive. The
    viewer asks for the log stream too: the replay starts playing once it
    opens, that is once the viewer's command (channel, interval) applies."""
    port = str(ti.free_port())
    replay = subprocess.Popen(windows + ["replay", mcap_arg, "--port", port, "--bind", "127.0.0.1", "--loop"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    out_dir = os.path.join(work, "replayed")
    try:
        rc, _, err = ti.run([linux_travik, "view", "127.0.0.1:" + port, "--channels", "0", "--count", "6",
                             "--interval", INTERVAL_MS, "--logs", "--out", out_dir, "--reconnect"])
        if rc != 0:
            ti.fail("Linux view of travik.exe replay: exit %d: %s" % (rc, err[-2000:]))
        ti.check_saved(out_dir, images, 6)
    finally:
        ti.interrupt(replay, "travik.exe replay")


def main():
    mode, wine, exe, linux_travik, work = sys.argv[1:6]
    ti.need_linux_tool(linux_travik)
    shutil.rmtree(work, ignore_errors=True)
    images = ti.write_images(os.path.join(work, "images"))
    pixels = [img[len(PGM_HEAD):] for img in images]
    mcap = os.path.join(work, "rec.mcap")
    windows = [wine, exe]
    if mode == "windows":
        recorder, recorder_file = windows, ti.windows_path(mcap)
        reader, reader_file = [linux_travik], mcap
        reader_dir = os.path.join(work, "out")
    else:
        recorder, recorder_file = [linux_travik], mcap
        reader, reader_file = windows, ti.windows_path(mcap)
        reader_dir = ti.windows_path(os.path.join(work, "out"))
    linux_reader, linux_dir = [linux_travik], os.path.join(work, "growing")

    port = str(ti.free_port())
    device = subprocess.Popen([linux_travik, "device", "--port", port, "--fps", "10", "--channels", "0",
                               "--log-rate", "10", "--images", os.path.join(work, "images"),
                               "--duration", str(int(ti.TIMEOUT))],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    record = None
    try:
        record = subprocess.Popen(recorder + ["record", "127.0.0.1:" + port, "-o", recorder_file, "--logs",
                                              "--channels", "0", "--interval", INTERVAL_MS, "--reconnect"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + ti.TIMEOUT
        # Polled with the Linux reader: the growing file is read without its footer.
        seen = set()
        while len(seen) < len(pixels):
            if time.monotonic() > deadline or record.poll() is not None:
                ti.fail("the recording held images %s of %d (recorder %s)" %
                        (sorted(seen), len(pixels), "running" if record.poll() is None else "exited"))
            if os.path.exists(mcap):
                seen = check_export(linux_reader, mcap, linux_dir, linux_dir, pixels, growing=True)
            time.sleep(0.2)  # the poll's pace, not a wait for readiness
    finally:
        if record is not None:
            ti.interrupt(record, "the recorder")
        ti.interrupt(device, "the Linux device")

    rc, out, err = ti.run(reader + ["info", reader_file])
    if rc != 0 or "closed:     yes" not in out or "/travik/channel/0" not in out:
        ti.fail("info: exit %d: %s %s" % (rc, out[-2000:], err[-1000:]))
    seen = check_export(reader, reader_file, reader_dir, os.path.join(work, "out"), pixels)
    if len(seen) != len(pixels):
        ti.fail("the closed recording exported images %s of %d" % (sorted(seen), len(pixels)))
    if mode == "linux":
        check_replay(windows, reader_file, linux_travik, work, images)
    print("tool_recording_interop %s: passed" % mode)


if __name__ == "__main__":
    main()
