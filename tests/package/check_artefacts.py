#!/usr/bin/env python3
"""Checks the release artefacts of scripts/package as a user receives them.

  check_artefacts.py --dist DIR --scratch DIR --version X.Y.Z --product NAME CHECK

CHECK is one of checksums, lintian, deb_contents, deb_update, man_pages, zip. Every
package is unpacked into a scratch folder of its own (dpkg-deb -x, unzip), never
installed; the Windows program runs under a Wine prefix made in the scratch folder. The
scratch folder is removed at the end.
"""

import argparse
import gzip
import hashlib
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "wine"))
from wine_stage import Stage, StageError  # noqa: E402

SUCCESS = "Software successfully upgraded!"
# The files of each Debian package, and nothing else: no test program, no tool.
# The README links the pages in docs/ and they link their pictures, so every package
# carries them all beside it.
DOCS_DIR = Path(__file__).resolve().parent.parent.parent / "docs"
DOCUMENTS = ("README.md", "copyright", "changelog.gz",
             *sorted(f"docs/{page.name}" for page in DOCS_DIR.iterdir()
                     if page.suffix in (".md", ".png")))
DEB_FILES = {
    "sparwick-cli": {
        "usr/bin/sparwick-cli",
        "usr/bin/lpcsim",
        "usr/lib/x86_64-linux-gnu/sparwick/liblpcsim-pins.so",
        "usr/share/man/man1/sparwick-cli.1.gz",
        "usr/share/man/man1/lpcsim.1.gz",
    } | {f"usr/share/doc/sparwick-cli/{name}" for name in DOCUMENTS},
    "sparwick": {
        "usr/bin/sparwick",
        "usr/share/man/man1/sparwick.1.gz",
        "usr/share/applications/sparwick.desktop",
        "usr/share/icons/hicolor/16x16/apps/sparwick.png",
        "usr/share/icons/hicolor/32x32/apps/sparwick.png",
    } | {f"usr/share/doc/sparwick/{name}" for name in DOCUMENTS},
}
# What each package's programs are, for --version.
PROGRAMS = {"sparwick-cli": ("sparwick-cli", "lpcsim"), "sparwick": ("sparwick",)}
ZIP_FILES = {"sparwick.exe", "sparwick-cli.exe", "README.txt"}
# Libraries that every program linked by the C++ compiler needs; dpkg-shlibdeps must
# have found them: zlib for the turbo flasher's compressed blocks in both. The dialog
# program needs Qt's widgets and its X11 platform as well; the command line no GUI
# library at all, so that a headless station can take it.
LIBRARY_DEPENDENCIES = {
    "sparwick-cli": ("libc6", "libstdc++6", "libunicorn2", "zlib1g"),
    "sparwick": ("libc6", "libstdc++6", "libqt6widgets6", "qt6-qpa-plugins", "zlib1g"),
}
GUI_LIBRARIES = re.compile(r"qt|libx|gtk|libgl", re.IGNORECASE)

UPDATE_S = 100
WINE_S = 120


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


def run(args, timeout, env=None, cwd=None):
    result = subprocess.run([str(a) for a in args], stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=timeout, env=env, cwd=cwd)
    return result


def show(label, text):
    if text.strip():
        print(f"--- {label}\n{text.rstrip()}")


class Artefacts:
    def __init__(self, args):
        self.dist = Path(args.dist)
        self.version = args.version
        self.product = args.product
        self.debs = {name: self.dist / f"{name}_{self.version}_amd64.deb" for name in DEB_FILES}
        self.zip_file = self.dist / f"sparwick-{self.version}-win64.zip"
        self.sums = self.dist / "SHA256SUMS"
        self.scratch = Path(args.scratch) / args.check
        for path in (*self.debs.values(), self.zip_file, self.sums):
            check(path.is_file(), f"{path} is missing: run scripts/package first")

    def unpacked_deb(self, package):
        root = self.scratch / package
        result = run(["dpkg-deb", "-x", self.debs[package], root], 60)
        check(result.returncode == 0, f"dpkg-deb -x failed: {result.stderr}")
        return root

    # The checks.

    def checksums(self):
        listed = {}
        for line in self.sums.read_text().splitlines():
            digest, name = line.split(maxsplit=1)
            listed[name.lstrip("*")] = digest
        check(set(listed) == {deb.name for deb in self.debs.values()} | {self.zip_file.name},
              f"SHA256SUMS lists {sorted(listed)}")
        for name, digest in listed.items():
            actual = hashlib.sha256((self.dist / name).read_bytes()).hexdigest()
            check(actual == digest, f"{name}: SHA256SUMS says {digest}, the file is {actual}")

    def lintian(self):
        env = dict(os.environ, TMPDIR=str(self.scratch))
        # Errors and warnings fail; the informational tags are shown.
        result = run(["lintian", "--fail-on", "error,warning", "--display-info",
                      *self.debs.values()], 280, env=env)
        show("lintian", result.stdout)
        tags = [line for line in result.stdout.splitlines() if re.match(r"[EW]: ", line)]
        check(result.returncode == 0 and not tags,
              f"lintian exited with {result.returncode}: {tags or result.stderr}")

    def deb_contents(self):
        for package, deb in self.debs.items():
            fields = run(["dpkg-deb", "-f", deb], 30).stdout
            show(f"control of {package}", fields)
            control = dict(re.findall(r"^(\S+): (.*)$", fields, re.MULTILINE))
            check(control.get("Package") == package, f"Package: {control.get('Package')}")
            check(control.get("Version") == self.version, f"Version: {control.get('Version')}")
            check(control.get("Architecture") == "amd64", "Architecture")
            check(control.get("Section") == "electronics", f"Section: {control.get('Section')}")
            check(control.get("Maintainer"), "no Maintainer")
            depends = [d.split()[0] for d in control.get("Depends", "").split(", ") if d]
            for library in LIBRARY_DEPENDENCIES[package]:
                check(library in depends, f"{package}: Depends names no {library}: {depends}")
            if package == "sparwick-cli":
                gui = [d for d in depends if GUI_LIBRARIES.search(d)]
                check(not gui, f"{package} depends on GUI libraries: {gui}")

            listing = run(["dpkg-deb", "-c", deb], 30).stdout
            files = {line.split()[-1].removeprefix("./") for line in listing.splitlines()
                     if not line.startswith("d")}
            check(files == DEB_FILES[package], f"{package} holds {sorted(files)}")

            root = self.unpacked_deb(package)
            for program in PROGRAMS[package]:
                expected = f"lpcsim {self.version}\n" if program == "lpcsim" else self.product + "\n"
                result = run([root / "usr/bin" / program, "--version"], 30)
                check((result.returncode, result.stdout) == (0, expected),
                      f"{program} --version: {result.returncode} {result.stdout!r} "
                      f"{result.stderr!r}")
            changelog = gzip.decompress(
                (root / f"usr/share/doc/{package}/changelog.gz").read_bytes())
            check(changelog.startswith(f"sparwick ({self.version}) ".encode()),
                  f"changelog: {changelog[:60]!r}")
            # Every page or picture a document links is in the package beside it.
            for page in (root / f"usr/share/doc/{package}").rglob("*.md"):
                for target in re.findall(r"\]\((?![a-z]+:)([^)#]+)", page.read_text()):
                    check((page.parent / target).is_file(), f"{page.name} links {target}, "
                          f"which {package} lacks")

        desktop = (self.unpacked_deb("sparwick") /
                   "usr/share/applications/sparwick.desktop").read_text()
        for entry in ("Exec=sparwick", "Icon=sparwick", "Type=Application"):
            check(entry in desktop.splitlines(), f"sparwick.desktop lacks {entry}")

    def deb_update(self):
        root = self.unpacked_deb("sparwick-cli")
        result = run([root / "usr/bin/sparwick-cli", "--simulate", "--speed", "low"], UPDATE_S)
        show("sparwick-cli --simulate --speed low", result.stderr)
        check(result.returncode == 0, f"the update exited with {result.returncode}")
        check(SUCCESS in result.stdout, f"no success message: {result.stdout[-300:]!r}")

    def man_pages(self):
        env = dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat", LC_ALL="C.UTF-8")
        for package, program, sections in (
                ("sparwick-cli", "sparwick-cli",
                 ["EXIT STATUS", "SERIAL PORTS", "dialout", "/dev/ttyUSB0"]),
                ("sparwick-cli", "lpcsim", ["SIGNALS", "SIGUSR1", "EXIT STATUS"]),
                ("sparwick", "sparwick", ["EXIT STATUS", "SERIAL PORTS", "dialout", "F1"])):
            root = self.scratch / package
            if not root.exists():
                self.unpacked_deb(package)
            page = root / f"usr/share/man/man1/{program}.1.gz"
            check(gzip.open(page).read().startswith(b".\\\""), f"{page.name} is no man page")
            result = run(["man", "--warnings", "-l", page], 30, env=env)
            check(result.returncode == 0 and not result.stderr,
                  f"man -l {page.name}: {result.returncode} {result.stderr}")
            text = result.stdout
            for wanted in ["NAME", "SYNOPSIS", "OPTIONS", self.version] + sections:
                check(wanted in text, f"{page.name} does not say {wanted!r}")
            # Every option that the program's --help names is on its page.
            help_text = run([root / "usr/bin" / program, "--help"], 30).stdout
            for option in sorted(set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", help_text))):
                check(option in text, f"{page.name} lacks {option}")

    def zip(self):
        with zipfile.ZipFile(self.zip_file) as archive:
            names = [n for n in archive.namelist() if not n.endswith("/")]
        top = f"sparwick-{self.version}-win64/"
        check(sorted(names) == sorted(top + n for n in ZIP_FILES), f"the zip holds {names}")

        folder = self.scratch / "unzipped"
        result = run(["unzip", "-q", self.zip_file, "-d", folder], 60)
        check(result.returncode == 0, f"unzip: {result.stderr}")
        folder = folder / top

        readme = (folder / "README.txt").read_bytes()
        check(readme.count(b"\n") > 10 and readme.count(b"\n") == readme.count(b"\r\n"),
              "README.txt has line ends other than CRLF")
        check(self.product.encode() in readme, "README.txt does not name the version")

        stage = Stage(self.scratch / "stage")
        try:
            stage.create()
            system32 = {p.name.lower() for p in
                        (stage.prefix / "drive_c/windows/system32").iterdir()}
            for exe, subsystem in (("sparwick.exe", "Windows GUI"),
                                   ("sparwick-cli.exe", "Windows CUI")):
                headers = run(["x86_64-w64-mingw32-objdump", "-p", folder / exe], 60).stdout
                check(f"({subsystem})" in headers, f"{exe} is not a {subsystem} program")
                dlls = re.findall(r"DLL Name: (\S+)", headers)
                foreign = [d for d in dlls if d.lower() not in system32]
                check(dlls and not foreign, f"{exe} needs DLLs that Windows lacks: {foreign}")

            stage.open_session()
            try:
                result = stage.run(["wine", folder / "sparwick-cli.exe", "--version"], WINE_S)
            finally:
                stage.close_session()
            out = result.stdout.decode(errors="replace")
            show("sparwick-cli.exe --version", out + result.stderr.decode(errors="replace"))
            check(result.returncode == 0 and out.replace("\r\n", "\n") == self.product + "\n",
                  f"sparwick-cli.exe --version: {result.returncode} {out!r}")
        finally:
            stage.remove()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", required=True)
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--product", required=True)
    parser.add_argument("check", choices=["checksums", "lintian", "deb_contents", "deb_update",
                                          "man_pages", "zip"])
    args = parser.parse_args()
    try:
        artefacts = Artefacts(args)
        shutil.rmtree(artefacts.scratch, ignore_errors=True)
        artefacts.scratch.mkdir(parents=True)
        try:
            getattr(artefacts, args.check)()
        finally:
            shutil.rmtree(artefacts.scratch, ignore_errors=True)
    except (CheckFailed, StageError, subprocess.SubprocessError, OSError) as error:
        print(f"FAILED: {error}", file=sys.stderr)
        return 1
    print(f"passed: {args.check}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
