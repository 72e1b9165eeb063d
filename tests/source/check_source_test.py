#!/usr/bin/env python3
"""Runs scripts/check-source.py against small trees made for each case: a line that reaches the
Linux layer from where it may not, and a file clang-format would change, each make it fail with
the file and line named; the same lines where they are allowed pass."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CHECK = os.path.join(SOURCE, "scripts", "check-source.py")
CLANG_FORMAT = os.environ.get("PENDRA_CLANG_FORMAT", "clang-format-14")

FORMATTED = "int answer() {\n    return 42;\n}\n"


def numbered(lines):
    """(path, line number, line) for each (path, line), the lines of one path in order."""
    counts = {}
    for path, line in lines:
        counts[path] = counts.get(path, 0) + 1
        yield path, counts[path], line


def tree(lines):
    files = {}
    for path, _, line in numbered(lines):
        files[path] = files.get(path, "") + line + "\n"
    return files


class CheckSourceTest(unittest.TestCase):
    def check(self, files, format_too=False):
        """Exit status and output of the check on a tree holding only `files`."""
        with tempfile.TemporaryDirectory() as root:
            shutil.copy(os.path.join(SOURCE, ".clang-format"), root)
            for path, text in files.items():
                os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                with open(os.path.join(root, path), "w", encoding="utf-8") as file:
                    file.write(text)
            options = ["--clang-format", CLANG_FORMAT] if format_too else ["--no-format"]
            result = subprocess.run([sys.executable, CHECK, *options, root],
                                    capture_output=True, text=True, timeout=120)
            return result.returncode, result.stdout + result.stderr

    def test_an_include_of_the_linux_layer_is_refused_outside_its_places(self):
        refused = [
            ("helper/requests/sender.cpp", '#include "platform/linux/linux_bus.h"'),
            ("helper/requests/sender.cpp", '#include "linux_bus.h"'),
            ("helper/requests/sender.cpp", '#include "../../platform/linux/linux_bus.h"'),
            ("helper/context/reader.h", '#include "sd_bus_handles.h"'),
            ("tools/relaunch/quarantine.cpp", "#include <systemd/sd-bus.h>"),
            ("tools/remove/remove_tool_main.cpp", '#include "systemd/sd-journal.h"'),
            ("platform/src/url.cpp", "#include <sys/inotify.h>"),
            ("platform/src/url.cpp", "  #  include <linux/memfd.h>"),
            ("platform/applescript/lexer.cpp", "#include <xcb/xcb.h>"),
            ("tools/services/services_tool.cpp", "#include <wayland-client.h>"),
            ("tools/services/services_tool.cpp",
             '#include "wlr-data-control-unstable-v1-client-protocol.h"'),
            ("tools/services/services_tool.cpp", '#include "platform/linux_platform.h"'),
            ("platform/fake/fake_processes.cpp", "#include <sys/pidfd.h>"),
            ("devtools/sample_document.cpp", "#include <sys/signalfd.h>"),
            ("helper/pendra_sandbox_helper.cpp", '#include "platform/linux_platform.h"'),
            ("tools/relaunch/relaunch_tool_main.cpp", '#include "platform/linux_platform.h"'),
            ("tests/helper/quick_entry_test.cpp", '#include "linux_processes.h"'),
            ("tests/helper/quick_entry_test.cpp", "#include <systemd/sd-bus.h>"),
            ("bench/bbcode_bench.cpp", '#include "platform/linux/linux_bus.h"'),
            ("helper/requests/sender.cpp", "#include <plist/plist.h>"),
        ]
        status, output = self.check(tree(refused))
        self.assertEqual(status, 1, output)
        for path, number, line in numbered(refused):
            self.assertIn(f"{path}:{number}: includes", output, line)
        self.assertIn(f"{len(refused)} findings", output)

    def test_the_same_includes_pass_where_they_are_allowed(self):
        allowed = [
            ("platform/linux/bus.cpp", '#include "linux_bus.h"'),
            ("platform/linux/bus.cpp", "#include <systemd/sd-bus.h>"),
            ("platform/linux/x11.cpp", "#include <xcb/xcb_ewmh.h>"),
            ("platform/linux/wayland_selection.cpp", "#include <wayland-client.h>"),
            ("platform/linux/desktop.cpp", "#include <sys/inotify.h>"),
            ("tests/linux/bus_test.cpp", '#include "linux_bus.h"'),
            ("tests/desktop/desktop_applications_test.cpp", '#include "linux_desktop.h"'),
            ("tests/process/invoke_burst_test.cpp", "#include <systemd/sd-bus.h>"),
            ("testing/private_session.h", "#include <sys/prctl.h>"),
            ("bench/bus_bench.cpp", '#include "platform/linux/linux_bus.h"'),
            ("helper/main.cpp", '#include "platform/linux_platform.h"'),
            ("tools/remove/main.cpp", '#include "platform/linux_platform.h"'),
            ("tools/services/main.cpp", '#include "platform/linux_platform.h"'),
            ("tests/tools/waiting_test.cpp", '#include "platform/linux_platform.h"'),
            # A folder of the tests, not the kernel's headers.
            ("tests/desktop/desktop_session.h", '#include "linux/test_support.h"'),
            ("platform/src/url.cpp", "#include <uriparser/Uri.h>"),
            # POSIX headers are no part of the Linux layer.
            ("helper/install/installation.cpp", "#include <sys/stat.h>"),
        ]
        status, output = self.check(tree(allowed))
        self.assertEqual(status, 0, output)
        self.assertIn("0 findings", output)

    def test_a_misformatted_file_is_named_and_a_formatted_one_passes(self):
        status, output = self.check({"helper/a.cpp": FORMATTED, "tools/b.h": FORMATTED},
                                    format_too=True)
        self.assertEqual(status, 0, output)
        status, output = self.check(
            {"helper/a.cpp": FORMATTED, "tools/b.h": "int answer()  {\n  return 42; }\n"},
            format_too=True)
        self.assertEqual(status, 1, output)
        self.assertIn("tools/b.h:1: not formatted", output)
        self.assertNotIn("helper/a.cpp", output)

    def test_build_trees_and_hidden_folders_are_not_read(self):
        bad = "#include <systemd/sd-bus.h>\n"
        status, output = self.check({"build/default/x.cpp": bad, ".git/x.cpp": bad,
                                     "helper/a.cpp": FORMATTED}, format_too=True)
        self.assertEqual(status, 0, output)
        self.assertIn("1 files, 0 findings", output)

    def test_another_clang_format_is_refused(self):
        with tempfile.TemporaryDirectory() as folder:
            impostor = os.path.join(folder, "clang-format")
            with open(impostor, "w") as file:
                file.write("#!/bin/sh\necho 'clang-format version 17.0.1'\n")
            os.chmod(impostor, 0o755)
            result = subprocess.run([sys.executable, CHECK, "--clang-format", impostor, SOURCE],
                                    capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("formatted by clang-format-14", result.stderr)


if __name__ == "__main__":
    unittest.main()
