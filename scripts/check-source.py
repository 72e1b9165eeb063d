#!/usr/bin/env python3
"""Checks the source tree for what the compiler cannot see alone.

  scripts/check-source.py [--clang-format PROGRAM] [--no-format] [ROOT]

1. The layering: no file outside the places granted below includes a header of the Linux layer,
   whether the layer's own (platform/linux) or a system header only the layer may use. The build
   already refuses the layer's own headers to the product through its include roots
   (cmake/include_roots.cmake); system headers lie on every compiler's path, so only this check
   keeps them out.
2. The formatting: every C++ file is as the project's .clang-format makes it, by the one
   clang-format version the tree is formatted with.

Prints one line per finding, as FILE:LINE: what and why, and ends with 1 when there is any; 2
when the check cannot run. ctest runs it (label "source"), and so does scripts/test.sh.
"""

import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys

# The clang-format whose output the tree holds; other versions lay out some constructs
# differently, so another one is refused rather than trusted.
CLANG_FORMAT = "clang-format-14"
CLANG_FORMAT_VERSION = "14."

CXX_SUFFIXES = (".cpp", ".cc", ".h", ".hpp")

# The places that may see the Linux layer: the layer itself, the tests and benchmarks of its
# services and of whole processes on Linux, and the private session those share.
LINUX_PLACES = (
    "platform/linux/",
    "tests/linux/",
    "tests/desktop/",
    "tests/process/",
    "tests/system/",
    "testing/",
    "bench/bus_bench.cpp",
    "bench/desktop_bench.cpp",
)

# The executables' main(), which install the Linux platform, and the tests that run code on it.
INSTALLER_PLACES = LINUX_PLACES + (
    "helper/main.cpp",
    "tools/relaunch/main.cpp",
    "tools/remove/main.cpp",
    "tools/services/main.cpp",
    "devtools/main_application/main.cpp",
    "devtools/sample_document/main.cpp",
    "devtools/write_default.cpp",
    "tests/",
)

# Each rule: what it keeps in place, the headers it covers (a regular expression over the name
# between the delimiters, and whether the name counts only between angle brackets), and the
# places that may include them. A place ending in "/" is a folder, any other a file. The first
# rule that covers a header decides.
RULES = (
    (
        "the Linux platform's installer, for an executable's main()",
        [(r"(^|/)platform/linux_platform\.h$", False)],
        INSTALLER_PLACES,
    ),
    (
        "a header of the Linux layer",
        [
            (r"(^|/)platform/linux/", False),
            (r"(^|/)linux_[A-Za-z0-9_]+\.h$", False),
            (r"(^|/)sd_bus_handles\.h$", False),
        ],
        LINUX_PLACES,
    ),
    (
        "a system header of the Linux layer",
        [
            # D-Bus, the event loop and the journal.
            (r"^systemd/", False),
            (r"^dbus/", False),
            # X11 and the accessibility bus.
            (r"^(xcb|X11|atspi-2\.0|atspi)/", False),
            # Wayland and the protocols compiled for it.
            (r"^wayland-[a-z-]+\.h$", False),
            (r"-client-protocol\.h$", False),
            # Kernel interfaces: the kernel's own headers and calls that exist only on Linux.
            # In quotes "linux/..." names a folder of the tests, so only <linux/...> counts.
            (r"^linux/", True),
            (r"^asm/", True),
            (r"^sys/(inotify|signalfd|pidfd|epoll|eventfd|timerfd|prctl|syscall|sendfile|"
             r"fanotify|sysmacros|vfs|statfs|sysinfo)\.h$", False),
            (r"^(mntent|gnu/libc-version)\.h$", False),
        ],
        LINUX_PLACES,
    ),
    (
        "a library private to the value types (libplist, uriparser)",
        [(r"^(plist|uriparser)/", False)],
        ("platform/src/",),
    ),
)

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def source_files(root):
    """The C++ files of the tree, as paths relative to it; build trees and hidden folders are
    not part of it, and links are not followed."""
    found = []
    for folder, subfolders, files in os.walk(root):
        relative = os.path.relpath(folder, root)
        subfolders[:] = sorted(
            name
            for name in subfolders
            if not name.startswith(".") and not (relative == "." and name.startswith("build"))
        )
        for name in sorted(files):
            if name.endswith(CXX_SUFFIXES):
                found.append(os.path.normpath(os.path.join(relative, name)))
    return found


def cannot_run(message):
    print(f"check-source: {message}", file=sys.stderr)
    sys.exit(2)


def allowed(path, places):
    return any(path.startswith(place) if place.endswith("/") else path == place
               for place in places)


def include_findings(root, path):
    findings = []
    try:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as file:
            lines = file.readlines()
    except OSError as error:
        return [f"{path}: cannot be read: {error.strerror}"]
    for number, line in enumerate(lines, start=1):
        match = INCLUDE.match(line)
        if not match:
            continue
        delimiter, header = match.groups()
        for what, patterns, places in RULES:
            covered = any(re.search(pattern, header) and (delimiter == "<" or not angle_only)
                          for pattern, angle_only in patterns)
            if not covered:
                continue
            if not allowed(path, places):
                shown = f"<{header}>" if delimiter == "<" else f'"{header}"'
                findings.append(f"{path}:{number}: includes {shown}, {what}; only "
                                f"{', '.join(places)} may")
            break
    return findings


def clang_format_program(requested):
    program = shutil.which(requested)
    if program is None:
        cannot_run(f"{requested} is not installed (scripts/setup.sh installs it)")
    version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout
    if f"version {CLANG_FORMAT_VERSION}" not in version:
        cannot_run(f"the tree is formatted by {CLANG_FORMAT}, and {program} is {version.strip()}")
    return program


def format_findings(root, paths, program):
    """The files clang-format would change, each once, read in batches on every core."""
    batches = [paths[i:i + 40] for i in range(0, len(paths), 40)]

    def run(batch):
        result = subprocess.run([program, "--dry-run", "--Werror", "--style=file", *batch],
                                cwd=root, capture_output=True, text=True)
        changed = {}
        for line in result.stderr.splitlines():
            match = re.match(r"^(.+?):(\d+):\d+: (error|warning): ", line)
            if match and match.group(1) not in changed:
                changed[match.group(1)] = match.group(2)
        if result.returncode != 0 and not changed:
            return [f"{batch[0]}: clang-format failed: {result.stderr.strip()}"]
        return [f"{os.path.normpath(path)}:{line}: not formatted by .clang-format "
                f"(clang-format -i {os.path.normpath(path)})" for path, line in changed.items()]

    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        return [finding for findings in pool.map(run, batches) for finding in findings]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", nargs="?",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    parser.add_argument("--clang-format", default=CLANG_FORMAT, dest="clang_format")
    parser.add_argument("--no-format", action="store_true", help="check the layering only")
    options = parser.parse_args()
    root = os.path.abspath(options.root)
    if not os.path.isfile(os.path.join(root, ".clang-format")):
        cannot_run(f"{root} holds no .clang-format")

    paths = source_files(root)
    findings = [finding for path in paths for finding in include_findings(root, path)]
    if not options.no_format:
        findings += format_findings(root, paths, clang_format_program(options.clang_format))
    for finding in sorted(findings):
        print(finding)
    print(f"check-source: {len(paths)} files, {len(findings)} findings")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
