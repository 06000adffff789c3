#!/usr/bin/env python3
"""Checks that tools/accuracy_table.py refuses to write a page it cannot
vouch for: a failing or garbled host program, a fit below 6 digits that has
no account, and a page that differs from the one it is compared with.

The host program is replaced by a small script that prints canned output.
Run by CTest; standard library only.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "tools" / "accuracy_table.py"
MISRA1A = ROOT / "data" / "nist" / "Misra1a.dat"


def host_output(b1_digits="9.38", rss_line=True):
    lines = [
        "fnorm 1.0e+01",
        "fnorm 3.5e-01",
        "status 0",
        "evaluations 9 progress_lines 2 model_calls 154",
        f"b1 fitted 238.94212927 certified 238.94212918 digits {b1_digits}",
        "b2 fitted 0.00055015643 certified 0.00055015643181 digits 9.30",
    ]
    if rss_line:
        lines.append("rss fitted 0.1245513889 certified 0.12455138894 digits 10.45")
    return "\n".join(lines) + "\n"


class AccuracyTableTest(unittest.TestCase):
    def setUp(self):
        # The stand-in host must be executable where it is written; CTest
        # points this at the build directory.
        parent = os.environ.get("ACCURACY_TABLE_TEST_DIR")
        self.work = Path(tempfile.mkdtemp(prefix="accuracy_table_test_", dir=parent))
        self.addCleanup(shutil.rmtree, self.work)
        self.data = self.work / "data"
        self.data.mkdir()
        shutil.copy(MISRA1A, self.data)
        self.output = self.work / "accuracy.md"

    def fake_host(self, stdout, exit_status=0, stderr="", start2_stdout=None):
        """A host that prints stdout (start2_stdout for --start 2, if given)."""
        if start2_stdout is None:
            start2_stdout = stdout
        host = self.work / "fake-host"
        host.write_text(textwrap.dedent(f"""\
            #!{sys.executable}
            import sys
            start2 = sys.argv[1:3] == ["--start", "2"]
            sys.stdout.write({start2_stdout!r} if start2 else {stdout!r})
            sys.stderr.write({stderr!r})
            sys.exit({exit_status})
            """))
        host.chmod(0o755)
        return host

    def run_script(self, host, *extra):
        return subprocess.run(
            [sys.executable, str(SCRIPT), "--host", str(host), "--data", str(self.data),
             "--output", str(self.output), *extra],
            capture_output=True, text=True, check=False)

    def test_writes_a_row_per_start_from_good_output(self):
        done = self.run_script(self.fake_host(host_output()))
        self.assertEqual(done.returncode, 0, done.stderr)
        page = self.output.read_text()
        self.assertIn("| Misra1a | 1 | 0 | 2 | 9 | 9.38 | 9.30 | – | – | – | 9.30 | 10.45 |",
                      page)
        self.assertIn("| Misra1a | 2 | 0 |", page)
        self.assertIn("1e-12", page)

    def test_host_failures_stop_the_script_without_writing(self):
        cases = {
            "host exits non-zero": self.fake_host("status 1\n", 1, "nlfit-fit: fit refused\n"),
            "rss line missing": self.fake_host(host_output(rss_line=False)),
            "progress count disagrees": self.fake_host(
                host_output().replace("progress_lines 2", "progress_lines 3")),
            "not a number": self.fake_host(host_output(b1_digits="x")),
            "host missing": self.work / "no-such-host",
        }
        for name, host in cases.items():
            with self.subTest(name):
                done = self.run_script(host)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn("accuracy_table:", done.stderr)
                self.assertFalse(self.output.exists())

    def test_unsolved_fit_without_an_account_is_refused(self):
        done = self.run_script(self.fake_host(host_output(b1_digits="3.20")))
        self.assertEqual(done.returncode, 1)
        self.assertIn("Misra1a start 1 reaches only 3.20 digits and has no account",
                      done.stderr)
        self.assertFalse(self.output.exists())

    def test_accounts_must_match_the_fits(self):
        (self.data / "Misra1a.dat").unlink()
        shutil.copy(ROOT / "data" / "nist" / "BoxBOD.dat", self.data)
        solved = textwrap.dedent("""\
            status 0
            evaluations 34 progress_lines 0 model_calls 204
            b1 fitted 213.81 certified 213.80940889 digits 7.82
            b2 fitted 0.547 certified 0.54723748542 digits 7.16
            rss fitted 1168.0088 certified 1168.0088766 digits 10.42
            """)
        # Start 1 stuck away from the mean of y: the account's claim fails.
        not_at_mean = textwrap.dedent("""\
            status 0
            evaluations 23 progress_lines 0 model_calls 138
            b1 fitted 150 certified 213.80940889 digits 0.71
            b2 fitted 22.7 certified 0.54723748542 digits 0.00
            rss fitted 9771.5 certified 1168.0088766 digits 0.00
            """)
        done = self.run_script(self.fake_host(not_at_mean, start2_stdout=solved))
        self.assertEqual(done.returncode, 1)
        self.assertIn("account of BoxBOD start 1 no longer fits the host output: "
                      "b1 is the mean of y", done.stderr)
        self.assertFalse(self.output.exists())

        # Start 1 solved: its account is stale.
        done = self.run_script(self.fake_host(solved))
        self.assertEqual(done.returncode, 1)
        self.assertIn("BoxBOD start 1 now reaches 7.16 digits; remove its account",
                      done.stderr)

    def test_compare_fails_with_a_diff_when_the_page_differs(self):
        host = self.fake_host(host_output())
        committed = self.work / "committed.md"
        self.assertEqual(self.run_script(host).returncode, 0)
        committed.write_text(self.output.read_text())
        self.assertEqual(self.run_script(host, "--compare", str(committed)).returncode, 0)

        committed.write_text(self.output.read_text().replace("9.38", "9.39"))
        done = self.run_script(host, "--compare", str(committed))
        self.assertEqual(done.returncode, 1)
        self.assertIn("-| Misra1a | 1 | 0 | 2 | 9 | 9.39", done.stderr)
        self.assertIn("+| Misra1a | 1 | 0 | 2 | 9 | 9.38", done.stderr)


if __name__ == "__main__":
    unittest.main()
