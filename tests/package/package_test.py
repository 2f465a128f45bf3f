#!/usr/bin/env python3
"""What ships, checked as a user would get it.

  package_test.py deb  SOURCE WORK VERSION         make deb into WORK, then the .deb's
                                                   metadata, files, lintian and a run
  package_test.py zip  SOURCE WORK VERSION WINDOWS  cpack the Windows build WINDOWS, then
                                                   the zip's files
  package_test.py demo SOURCE WORK                 make release into WORK, then scripts/demo
                                                   on it and on boards it must reject

Exits 0 when every check passed, 1 on a failed check, 77 when a tool is missing.
"""
import gzip
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

SKIP = 77
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAILED: " + message, flush=True)
    return condition


def skip_unless(*tools):
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        print("SKIPPED: not installed: " + " ".join(missing))
        sys.exit(SKIP)


def run(cmd, **kwargs):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          **kwargs)


def make(source, *args):
    """make in SOURCE as a user would type it, not as part of the make that runs ctest."""
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    r = run(["make", "-C", source, "JOBS=2"] + list(args), env=env)
    if r.returncode != 0:
        print(r.stdout[-6000:])
        print(f"FAILED: make {' '.join(args)} exited with status {r.returncode}")
        sys.exit(1)


def three_passed(output):
    return all(re.search(rf"Testing {m}\.\.\. passed", output) for m in ("SDRAM", "FLASH", "SRAM"))


def run_on_sim(bin_dir, korvin_args, sim_args=()):
    """korvin-sim from bin_dir with a link, korvin against it; korvin's output and status."""
    with tempfile.TemporaryDirectory() as tmp:
        link = os.path.join(tmp, "ttyBOARD")
        sim = subprocess.Popen([os.path.join(bin_dir, "korvin-sim"), "--link", link] +
                               list(sim_args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            if not sim.stdout.readline():
                return "korvin-sim did not start: " + sim.stderr.read().decode(), -1
            r = run([os.path.join(bin_dir, "korvin"), "-p", link] + list(korvin_args),
                    timeout=120)
            return r.stdout, r.returncode
        finally:
            sim.send_signal(signal.SIGTERM)
            sim.wait(timeout=30)


def gzip_member(path):
    """The text of a gzip file, after checking it was made with gzip -n."""
    with open(path, "rb") as f:
        header = f.read(10)
    check(header[:2] == b"\x1f\x8b", f"{path} is not gzip-compressed")
    check(header[3] & 0x08 == 0 and header[4:8] == b"\0\0\0\0",
          f"{path} keeps a file name or time stamp (gzip without -n)")
    return gzip.decompress(open(path, "rb").read()).decode()


def elf_needed_and_stripped(path):
    dynamic = run(["readelf", "-d", path]).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    sections = run(["readelf", "-S", "-W", path]).stdout
    return needed, ".symtab" not in sections


def license_body(text):
    """LICENSE's lines after its copyright line, without the blank lines around."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("Copyright (c)"))
    return "\n".join(lines[start + 1:]).strip("\n")


def check_copyright(text, license_text):
    check(text.startswith(
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"),
        "copyright: not in Debian's machine-readable format")
    holder = re.search(r"^Copyright \(c\) (.+)$", license_text, re.M).group(1)
    check(re.search(rf"^Copyright: {re.escape(holder)}$", text, re.M) is not None,
          f"copyright: no 'Copyright: {holder}' line")
    m = re.search(r"^License: Expat\n((?: .*\n?)+)", text, re.M)
    if check(m is not None, "copyright: no 'License: Expat' paragraph with the licence text"):
        body = "\n".join("" if line == " ." else line[1:]
                         for line in m.group(1).rstrip("\n").split("\n"))
        check(body == license_body(license_text), "copyright: the licence text is not LICENSE's")


def deb_test(source, work, version):
    skip_unless("make", "cmake", "cpack", "dpkg", "dpkg-deb", "dpkg-shlibdeps", "file", "gzip",
                "readelf")
    release, dist = os.path.join(work, "release"), os.path.join(work, "dist")
    shutil.rmtree(dist, ignore_errors=True)
    make(source, "deb", f"RELEASE={release}", f"DIST={dist}")

    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    deb = os.path.join(dist, f"korvin_{version}-1_{arch}.deb")
    if not check(os.path.isfile(deb), f"no {os.path.basename(deb)} in {os.listdir(dist)}"):
        return

    fields = {}
    for name in ("Package", "Version", "Architecture", "Section", "Maintainer", "Depends",
                 "Description"):
        fields[name] = run(["dpkg-deb", "-f", deb, name]).stdout.strip()
    print("Depends: " + fields["Depends"])
    for name, want in (("Package", "korvin"), ("Version", f"{version}-1"),
                       ("Architecture", arch), ("Section", "electronics")):
        check(fields[name] == want, f"{name} is '{fields[name]}', not '{want}'")
    check(re.fullmatch(r"The korvin authors <[^@\s]+@[^@\s]+\.[a-z]+>", fields["Maintainer"]),
          f"Maintainer is '{fields['Maintainer']}'")
    depends = [re.match(r"[a-z0-9.+-]+", d.strip()).group(0)
               for d in fields["Depends"].split(",") if d.strip()]
    check(any(re.fullmatch(r"libunicorn\d+", d) for d in depends),
          "Depends names no libunicorn runtime package")
    check("libc6" in depends, "Depends was not computed from the binaries: no libc6")
    check(not any(re.match(r"lib(asan|ubsan)", d) for d in depends),
          "Depends names a sanitizer run-time library")
    for word in ("SDRAM", "FLASH", "SRAM", "i.MX27", "korvin-sim"):
        check(word in fields["Description"], f"the description does not mention {word}")

    # Every entry root's; exactly these files, with these modes.
    expected = {
        "usr/bin/korvin": "-rwxr-xr-x",
        "usr/bin/korvin-sim": "-rwxr-xr-x",
        "usr/share/man/man1/korvin.1.gz": "-rw-r--r--",
        "usr/share/man/man1/korvin-sim.1.gz": "-rw-r--r--",
        "usr/share/bash-completion/completions/korvin": "-rw-r--r--",
        "usr/share/doc/korvin/README.md": "-rw-r--r--",
        "usr/share/doc/korvin/copyright": "-rw-r--r--",
        "usr/share/doc/korvin/changelog.Debian.gz": "-rw-r--r--",
    }
    files = {}
    for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines():
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        path = path.removeprefix("./").rstrip("/")
        check(owner == "root/root", f"{path} is owned by {owner}")
        if mode.startswith("d"):
            check(mode == "drwxr-xr-x", f"directory {path} has mode {mode}")
        else:
            files[path] = mode
    check(set(files) == set(expected),
          f"the package's files differ: extra {sorted(set(files) - set(expected))}, "
          f"missing {sorted(set(expected) - set(files))}")
    for path, mode in expected.items():
        if path in files:
            check(files[path] == mode, f"{path} has mode {files[path]}, not {mode}")

    with tempfile.TemporaryDirectory() as root:
        r = run(["dpkg-deb", "-x", deb, root])
        check(r.returncode == 0, "dpkg-deb -x failed: " + r.stdout)
        bin_dir = os.path.join(root, "usr/bin")
        for program, library in (("korvin", "libstdc++"), ("korvin-sim", "libunicorn")):
            needed, stripped = elf_needed_and_stripped(os.path.join(bin_dir, program))
            check(any(n.startswith(library) for n in needed),
                  f"{program}: NEEDED {needed} lacks {library}")
            check(not any(re.match(r"lib(asan|ubsan)", n) for n in needed),
                  f"{program} is a sanitizer build: NEEDED {needed}")
            check(stripped, f"{program} is not stripped")

        man = os.path.join(root, "usr/share/man/man1")
        for page, title in (("korvin.1.gz", "KORVIN"), ("korvin-sim.1.gz", "KORVIN-SIM")):
            text = gzip_member(os.path.join(man, page))
            check(re.match(rf'\.TH {title} 1 "[^"]*" "korvin {re.escape(version)}"', text),
                  f"{page}: the .TH line does not carry korvin {version}: {text[:80]!r}")
            check(re.search(r"@[A-Z_]+@", text) is None, f"{page}: an unconfigured @VARIABLE@")
        doc = os.path.join(root, "usr/share/doc/korvin")
        changelog = gzip_member(os.path.join(doc, "changelog.Debian.gz"))
        check(changelog.startswith(f"korvin ({version}-1) unstable; urgency=medium\n"),
              "changelog.Debian: first line " + changelog.split("\n")[0])
        check_copyright(open(os.path.join(doc, "copyright")).read(),
                        open(os.path.join(source, "LICENSE")).read())
        check(open(os.path.join(root, "usr/share/bash-completion/completions/korvin")).read() ==
              open(os.path.join(source, "scripts/korvin.bash")).read(),
              "the completion installed is not scripts/korvin.bash")

        r = run([os.path.join(bin_dir, "korvin"), "--version"])
        check(r.stdout == f"korvin {version}\n", f"korvin --version says {r.stdout!r}")
        out, status = run_on_sim(bin_dir, [])
        check(status == 0 and three_passed(out),
              f"the unpacked korvin against the unpacked korvin-sim: status {status}\n{out}")

    if shutil.which("lintian"):
        # Errors fail the package; warnings are shown.
        r = run(["lintian", "--fail-on", "error", "--tag-display-limit", "0", deb])
        print("lintian:\n" + r.stdout)
        check(r.returncode == 0, f"lintian reports errors (status {r.returncode})")
    else:
        print("lintian is not installed: not run")


def crlf_text(data, path):
    text = data.decode()
    check("\n" in text and text.count("\n") == text.count("\r\n"),
          f"{path}: not every line ends in CR LF")
    return text.replace("\r\n", "\n")


def zip_test(source, work, version, windows):
    skip_unless("cpack", "x86_64-w64-mingw32-objdump")
    config = os.path.join(windows, "CPackConfig.cmake")
    if not os.path.isfile(config) or not os.path.isfile(os.path.join(windows, "korvin.exe")):
        print(f"SKIPPED: no Windows build in {windows} (make windows)")
        sys.exit(SKIP)
    dist = os.path.join(work, "zip")
    shutil.rmtree(dist, ignore_errors=True)
    r = run(["cpack", "--config", config, "-B", dist])
    if not check(r.returncode == 0, "cpack failed:\n" + r.stdout):
        return
    top = f"korvin-{version}-win64"
    path = os.path.join(dist, top + ".zip")
    if not check(os.path.isfile(path), f"no {top}.zip in {os.listdir(dist)}"):
        return
    with zipfile.ZipFile(path) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}
        print("zip: " + " ".join(sorted(names)))
        want = {f"{top}/korvin.exe", f"{top}/README.txt", f"{top}/LICENSE.txt"}
        check(names == want, f"the zip holds {sorted(names)}, not {sorted(want)}")
        for member, original in (("README.txt", "README.md"), ("LICENSE.txt", "LICENSE")):
            if f"{top}/{member}" in names:
                text = crlf_text(z.read(f"{top}/{member}"), member)
                check(text == open(os.path.join(source, original)).read(),
                      f"{member} is not {original}")
        if f"{top}/korvin.exe" not in names:
            return
        with tempfile.TemporaryDirectory() as tmp:
            exe = z.extract(f"{top}/korvin.exe", tmp)
            headers = run(["x86_64-w64-mingw32-objdump", "-p", exe]).stdout
            dlls = [d.lower() for d in re.findall(r"DLL Name: (\S+)", headers)]
            check("kernel32.dll" in dlls, f"korvin.exe imports {dlls}: no kernel32.dll?")
            runtime = [d for d in dlls if re.match(r"lib(stdc\+\+|gcc|winpthread)", d)]
            check(not runtime, f"korvin.exe needs the mingw run-time DLLs {runtime}")
            symbols = run(["x86_64-w64-mingw32-objdump", "-t", exe]).stdout
            check("no symbols" in symbols, "korvin.exe is not stripped")


# scripts/demo must fail a board that does not show the point: korvin stand-ins
# that print what a broken run would print.
FAKE_RUNS = {
    "every run passes": """
echo "Testing SDRAM... passed"; echo "Testing FLASH... passed"; echo "Testing SRAM... passed"
""",
    "the finding names another line": """
case " $* " in
*" --diagnose "*) echo "Testing SDRAM... failed"; echo "    data line D6 stuck low" ;;
*) echo "Testing SDRAM... passed"; echo "Testing FLASH... passed"; echo "Testing SRAM... passed" ;;
esac
""",
    "the good run ends with status 1": """
case " $* " in
*" --diagnose "*) echo "Testing SDRAM... failed"; echo "    data line D5 stuck low" ;;
*) echo "Testing SDRAM... passed"; echo "Testing FLASH... passed"; echo "Testing SRAM... passed"
   exit 1 ;;
esac
""",
    "a test is missing from the good run": """
case " $* " in
*" --diagnose "*) echo "Testing SDRAM... failed"; echo "    data line D5 stuck low" ;;
*) echo "Testing SDRAM... passed"; echo "Testing SRAM... passed" ;;
esac
""",
}


def demo_test(source, work):
    skip_unless("make", "cmake", "sh")
    release = os.path.join(work, "release")
    make(source, "release", f"RELEASE={release}")
    demo = os.path.join(source, "scripts", "demo")

    started = time.monotonic()
    r = run([demo, release], timeout=300)
    print(r.stdout)
    print(f"scripts/demo took {time.monotonic() - started:.1f} s")
    check(r.returncode == 0, f"scripts/demo exited with status {r.returncode}")
    check(re.search(r"data line D5\b", r.stdout) is not None, "the demo does not name D5")
    check(r.stdout.count("as expected:") == 2 and "NOT as expected" not in r.stdout,
          "the demo does not judge both runs as expected")

    for case, body in FAKE_RUNS.items():
        with tempfile.TemporaryDirectory() as fake:
            os.mkdir(os.path.join(fake, "bin"))
            os.symlink(os.path.join(release, "bin", "korvin-sim"),
                       os.path.join(fake, "bin", "korvin-sim"))
            korvin = os.path.join(fake, "bin", "korvin")
            with open(korvin, "w") as f:
                f.write("#!/bin/sh\n" + body)
            os.chmod(korvin, 0o755)
            r = run([demo, fake], timeout=120)
            check(r.returncode != 0 and "NOT as expected" in r.stdout,
                  f"demo with a korvin where {case}: status {r.returncode}\n{r.stdout}")


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    what, source, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    if what == "deb":
        deb_test(source, work, sys.argv[4])
    elif what == "zip":
        zip_test(source, work, sys.argv[4], sys.argv[5])
    elif what == "demo":
        demo_test(source, work)
    else:
        print(__doc__)
        return 2
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
