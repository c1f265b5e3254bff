"""The Windows zip as a Windows developer gets it: made from the build,
unpacked into an empty folder and run in a wine prefix of its own, with
nothing but the zip's bin/ on the path.

  package_test.py CMAKE BUILD_DIR SOURCE_DIR WORKDIR WINE MINGW_GCC [LLVM_NM]

Checks: the zip holds the documented files; lib/travik.lib is a COFF import
library naming travik.dll (llvm-nm); `travik.exe demo` runs; a C host
compiled against include/ and lib/travik.lib alone receives a log line and
an image from the zip's `travik.exe device`. Exit 0: passed, else failed.
"""
import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import zipfile

SCALE = float(os.environ.get("TRAVIK_TEST_TIME_SCALE", "1"))
TIMEOUT = 240 * SCALE
EXPECTED = ["README-windows.txt", "bin/travik.dll", "bin/travik.exe", "lib/travik.lib", "lib/travik.def",
            "lib/libtravik.dll.a", "include/travik/travik_c.h", "include/travik/travik.h"]


def fail(why):
    raise SystemExit("package_test: " + why)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(cmd, env=None, timeout=TIMEOUT):
    # Output through a file, not a pipe: wine's helper processes (started by
    # the first program that needs them) inherit the descriptors and outlive
    # the program, so a pipe would not end when the program does.
    with tempfile.TemporaryFile() as out_file:
        rc = subprocess.run(cmd, stdout=out_file, stderr=subprocess.STDOUT, timeout=timeout, env=env).returncode
        out_file.seek(0)
        out = out_file.read().decode(errors="replace")
    if rc != 0:
        fail("%s: exit %d\n%s" % (" ".join(cmd), rc, out[-3000:]))
    return out


def main():
    if len(sys.argv) not in (7, 8):
        fail(__doc__)
    cmake, build_dir, source_dir, work, wine, gcc = sys.argv[1:7]
    llvm_nm = sys.argv[7] if len(sys.argv) == 8 else ""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    run([cmake, "-DBUILD_DIR=" + build_dir, "-DSOURCE_DIR=" + source_dir, "-DOUT_DIR=" + work, "-P",
         os.path.join(source_dir, "cmake", "WindowsPackage.cmake")])
    zips = glob.glob(os.path.join(work, "travik-*-win64.zip"))
    if len(zips) != 1:
        fail("expected one zip in %s, found %r" % (work, zips))
    unpacked = os.path.join(work, "unpacked")
    with zipfile.ZipFile(zips[0]) as z:
        z.extractall(unpacked)
    roots = os.listdir(unpacked)
    if len(roots) != 1:
        fail("the zip should hold one folder, it holds %r" % roots)
    root = os.path.join(unpacked, roots[0])
    missing = [f for f in EXPECTED if not os.path.isfile(os.path.join(root, f))]
    if missing:
        fail("missing from the zip: %r" % missing)
    if not glob.glob(os.path.join(root, "licenses", "*.txt")):
        fail("no licences in the zip")

    lib = os.path.join(root, "lib", "travik.lib")
    if llvm_nm:
        symbols = run([llvm_nm, lib])
        if "travik.dll:" not in symbols or "__imp_travik_get" not in symbols:
            fail("travik.lib does not import travik_get from travik.dll:\n" + symbols[:2000])

    # The C host, from the zip's header and MSVC import library only.
    host = os.path.join(work, "host", "c_host.exe")
    os.makedirs(os.path.dirname(host))
    run([gcc, "-std=c99", "-Wall", "-Werror", "-I", os.path.join(root, "include"),
         os.path.join(source_dir, "tests", "windows", "package", "c_host.c"), lib, "-o", host])

    bin_dir = os.path.join(root, "bin")
    env = {"PATH": "/usr/bin:/bin", "HOME": work, "WINEPREFIX": os.path.join(work, "wineprefix"),
           "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=", "WINEPATH": windows_path(bin_dir)}
    wineserver = os.path.join(os.path.dirname(wine), "wineserver")
    try:
        run([wine, "wineboot", "-i"], env=env)
        exe = os.path.join(bin_dir, "travik.exe")
        out = run([wine, exe, "demo", "--seconds", "2", "--out", windows_path(os.path.join(work, "demo"))], env=env)
        with open(os.path.join(work, "demo", "index.csv")) as f:
            rows = f.read().splitlines()
        if len(rows) < 2:
            fail("demo saved no image: index.csv %r, output %r" % (rows, out[-500:]))

        port = str(free_port())
        device_log = os.path.join(work, "device.txt")
        with open(device_log, "wb") as log:
            device = subprocess.Popen([wine, exe, "device", "--port", port, "--fps", "10", "--channels", "0",
                                       "--log-rate", "10", "--duration", str(int(TIMEOUT))], env=env,
                                      stdout=log, stderr=subprocess.STDOUT)
        try:
            out = run([wine, host, port], env=env)
        finally:
            device.kill()
            device.wait(timeout=60)
        print(out.strip())
    finally:
        subprocess.run([wineserver, "-k"], env=env, timeout=60)
    print("package_test: passed")


if __name__ == "__main__":
    main()
