#!/usr/bin/env python3
"""The emulated PC's fetches (scripts/emu32/fetch.sh) against a stand-in
apt-get that fails a given number of times: retried, refreshed between
tries, and named when they give up."""

import os
import subprocess
import tempfile
import unittest

FETCH_SH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "emu32", "fetch.sh")

# The stand-in: each call appends its first argument to calls.log; the first
# FAIL_<VERB> calls of a verb print PRINT_<VERB> and exit with EXIT_<VERB>.
FAKE_APT = r"""#!/usr/bin/env bash
dir=$(dirname "$0"); verb=$1
echo "$verb" >> "$dir/calls.log"
n=$(grep -cx "$verb" "$dir/calls.log")
fail=FAIL_$verb; print=PRINT_$verb; code=EXIT_$verb
if [ "$n" -le "${!fail:-0}" ]; then echo "${!print}" >&2; exit "${!code:-100}"; fi
exit 0
"""

SIZE = ("E: Failed to fetch http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz  "
        "File has unexpected size (123 != 456). Mirror sync in progress? [IP: 192.0.2.1 80]")
GONE = "E: Failed to fetch http://mirror.invalid/debian/pool/main/w/wine/wine32_8.0_i386.deb  404  Not Found"


class Fetch(unittest.TestCase):
    def run_fetch(self, call, **env):
        with tempfile.TemporaryDirectory() as bin_dir:
            path = os.path.join(bin_dir, "apt-get")
            with open(path, "w") as f:
                f.write(FAKE_APT)
            os.chmod(path, 0o755)
            full_env = dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"], KV_FETCH_PAUSE="0",
                            **{k: str(v) for k, v in env.items()})
            script = '. "$1"; %s; echo "rc=$?"' % call
            done = subprocess.run(["bash", "-c", script, "bash", FETCH_SH], env=full_env,
                                  capture_output=True, text=True, timeout=60)
            log = os.path.join(bin_dir, "calls.log")
            calls = []
            if os.path.exists(log):
                with open(log) as f:
                    calls = f.read().split()
            return done.stdout.strip(), done.stderr, calls

    def test_index_updates(self):
        cases = [
            # name, env, result, calls
            ("come at once", {}, "rc=0", ["update"]),
            ("come at the third try", {"FAIL_update": 2, "PRINT_update": SIZE}, "rc=0", ["update"] * 3),
            ("a warning with exit 0 is a failure", {"FAIL_update": 1, "PRINT_update": "W:" + SIZE[2:], "EXIT_update": 0},
             "rc=0", ["update"] * 2),
            ("never come", {"FAIL_update": 9, "PRINT_update": SIZE}, "rc=1", ["update"] * 3),
        ]
        for name, env, result, calls in cases:
            with self.subTest(name):
                out, err, made = self.run_fetch("update_indexes", **env)
                self.assertEqual(out, result, err)
                self.assertEqual(made, calls)
                if result == "rc=1":
                    self.assertIn("package indexes not fetched after 3 tries", err)
                    self.assertIn("http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz", err)

    def test_downloads(self):
        cases = [
            ("come at once", {}, "rc=0", ["download"]),
            ("come after the indexes were refreshed", {"FAIL_download": 1, "PRINT_download": GONE},
             "rc=0", ["download", "update", "download"]),
            ("never come", {"FAIL_download": 9, "PRINT_download": GONE},
             "rc=1", ["download", "update", "download", "update", "download"]),
        ]
        for name, env, result, calls in cases:
            with self.subTest(name):
                out, err, made = self.run_fetch('fetch "the kernel package" apt-get download linux-image', **env)
                self.assertEqual(out, result, err)
                self.assertEqual(made, calls)
                if result == "rc=1":
                    self.assertIn("could not fetch the kernel package after 3 tries", err)
                    self.assertIn("http://mirror.invalid/debian/pool/main/w/wine/wine32_8.0_i386.deb", err)


if __name__ == "__main__":
    unittest.main()
