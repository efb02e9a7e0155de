"""Every program and Python module that the build and the tests use comes from a package that
./run installs for that mode (tests/packages/check_packages.py finds them)."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import check_packages  # noqa: E402


class Packages(unittest.TestCase):
    def test_everything_used_comes_from_a_listed_package(self):
        problems = check_packages.check()
        self.assertEqual(problems, [], "\n".join(problems))

    def test_the_scan_sees_each_kind_of_use(self):
        # A scan that found nothing would pass the check above: one known use of each kind.
        found = {(kind, name) for _, _, kind, name in check_packages.uses()}
        for use in (("program", "ser2net"), ("program", "dbus-run-session"), ("program", "clang++"),
                    ("program", "desktop-file-validate"), ("module", "Xlib")):
            self.assertIn(use, found)


if __name__ == "__main__":
    unittest.main()
