#!/usr/bin/env python3
"""One naming style over the whole tree: clang-tidy's identifier-naming check
(configured in the root's .clang-tidy) on every source file the build compiles.

naming.py CLANG_TIDY SOURCE_DIR BUILD_DIR; exits 77 (skipped) without clang-tidy.
"""
import concurrent.futures
import json
import os
import shutil
import subprocess
import sys

SKIPPED = 77


def main():
    tidy, source, build = sys.argv[1:4]
    if not shutil.which(tidy):
        print("SKIPPED: clang-tidy is not installed")
        return SKIPPED
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    source = os.path.realpath(source) + os.sep
    build = os.path.realpath(build) + os.sep
    files = sorted({os.path.realpath(os.path.join(e["directory"], e["file"])) for e in entries})
    # The project's own files: not generated ones, not the build trees'.
    files = [f for f in files if f.startswith(source) and not f.startswith(build)
             and "/build" not in f[len(source) - 1:] and not f.endswith(".S")]
    if not files:
        print("no source files in the compile commands")
        return 1
    header_filter = "^" + source + "(host|sim|target|tests)/"

    def check(path):
        run = subprocess.run([tidy, "-p", build, "--quiet", "--header-filter=" + header_filter,
                              path], capture_output=True, text=True)
        problems = [line for line in run.stdout.splitlines()
                    if ": error: " in line or ": warning: " in line]
        return path, run.returncode, problems

    failed = set()
    seen = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for path, code, problems in pool.map(check, files):
            for line in problems:
                if line not in seen:
                    seen.add(line)
                    print(line)
            if code != 0:
                failed.add(path)
    print("%d files checked, %d with problems" % (len(files), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
