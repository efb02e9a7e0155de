#!/usr/bin/python3
"""Checks that everything the build and the tests call comes from a package that ./run installs
for that mode, and prints each problem; exit status 1 if there is one.

On our own machines a missing package hides behind what was installed by hand; a newcomer's
fresh Debian 12 has only the packages Debian always installs. So every program the CMake files,
the scripts and the Python tests run, and every Python module the tests import, must be owned by
a package that tools/packages lists for the mode that needs it, by one those pull in, or by a
package of priority "required". The Python tests run programs through harness.command(), which
this reads; a program named directly in a subprocess call is a problem too.

usage: tests/packages/check_packages.py [--list]   (--list: every use found, with its package)
"""
import ast
import importlib.util
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
MODES = ("build", "test", "deep")
# Where a Debian user's PATH does not look, but a test's lookup does (harness.command).
SEARCH = os.pathsep.join([os.environ.get("PATH", os.defpath), "/usr/sbin", "/sbin"])
SUBPROCESS_CALLS = {"run", "Popen", "call", "check_call", "check_output"}
SHELL_WORDS = set("""if then else elif fi case esac for while until do done in function time
    select return exit break continue local export readonly declare typeset set shift trap eval
    exec source . cd pwd echo printf read mapfile test [ [[ true false wait kill command type
    shopt umask unset let builtin getopts hash jobs alias""".split())
# The scripts the build, run and the tests run, and the mode that needs each.
SCRIPTS = {"run": "build", "tests/install/check_install.sh": "test", "tools/build_deb.sh": "deep",
           "tests/install/check_deb.sh": "deep", "fuzz/run.sh": "deep"}


def listed_packages():
    """{mode: [package]} from tools/packages."""
    modes = {m: [] for m in MODES}
    with open(os.path.join(ROOT, "tools", "packages")) as f:
        for line in f:
            fields = line.split()
            if fields and not fields[0].startswith("#"):
                modes[fields[0]].append(fields[1])
    return modes


def installed():
    """{package: (priority, [dependency names])} of what dpkg has installed; virtual names map
    to the packages that provide them."""
    out = subprocess.run(["/usr/bin/dpkg-query", "-W", "-f",
                          "${Package}\t${db:Status-Abbrev}\t${Priority}\t${Pre-Depends}, ${Depends}"
                          "\t${Provides}\n"], capture_output=True, text=True, check=True).stdout
    packages, provides = {}, {}
    for line in out.splitlines():
        name, status, priority, depends, provided = line.split("\t")
        if not status.startswith("ii"):
            continue
        names = [re.split(r"[\s:(]", alt.strip())[0] for dep in depends.split(",")
                 for alt in dep.split("|") if alt.strip()]
        packages[name] = (priority, names)
        for virtual in provided.split(","):
            if virtual.strip():
                provides.setdefault(re.split(r"[\s(]", virtual.strip())[0], []).append(name)
    return packages, provides


def closure(roots, packages, provides):
    seen, todo = set(), list(roots)
    while todo:
        name = todo.pop()
        for real in [name, *provides.get(name, [])]:
            if real in packages and real not in seen:
                seen.add(real)
                todo.extend(packages[real][1])
    return seen


def owners(path):
    """The packages that own a file, as the file's own name or as what its links lead to."""
    candidates = {path, os.path.realpath(path)}
    for p in list(candidates):
        candidates.add(p[4:] if p.startswith("/usr/") else "/usr" + p)  # merged /usr
    found = set()
    for p in candidates:
        done = subprocess.run(["/usr/bin/dpkg-query", "-S", p], capture_output=True, text=True)
        for line in done.stdout.splitlines():
            if line.endswith(": " + p):
                found.update(o.strip().split(":")[0] for o in line[:-len(p) - 2].split(","))
    return found


def python_uses(path):
    """(programs run through harness.command, literal programs handed to subprocess, imports)."""
    with open(path) as f:
        tree = ast.parse(f.read(), path)
    commands, literals, imports = set(), set(), set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Call):
            name = getattr(node.func, "id", getattr(node.func, "attr", None))
            first = node.args[0] if node.args else None
            if name == "command" and isinstance(first, ast.Constant):
                commands.add(first.value)
            elif (name in SUBPROCESS_CALLS and isinstance(first, (ast.List, ast.Tuple)) and first.elts
                  and isinstance(first.elts[0], ast.Constant)):
                literals.add(first.elts[0].value)
        elif isinstance(node, ast.Import):
            imports.update(a.name.split(".")[0] for a in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            imports.add(node.module.split(".")[0])
    return commands, literals, imports


def shell_text(text):
    """A script's text with comments and quoted text left out, but for the command substitutions
    inside double quotes, which run programs too."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "#" and (i == 0 or text[i - 1] in " \t\n;"):
            i = text.find("\n", i)
            i = len(text) if i < 0 else i
        elif c == "\\":
            i += 2
        elif c == "'":
            i = text.index("'", i + 1) + 1
            out.append("''")
        elif c == '"':
            i += 1
            while text[i] != '"':
                if text[i] == "\\":
                    i += 2
                elif text.startswith("$(", i):
                    depth, j = 0, i + 1
                    while True:
                        depth += {"(": 1, ")": -1}.get(text[j], 0)
                        if depth == 0:
                            break
                        j += 1
                    out.append(";" + shell_text(text[i + 2:j]) + ";")
                    i = j + 1
                else:
                    i += 1
            i += 1
            out.append('""')
        else:
            out.append(c)
            i += 1
    return "".join(out)


def shell_commands(path):
    """The programs a shell script starts, read the simple way: the first word of each command,
    with here-documents, quoted text, assignments, arithmetic and the script's own functions left
    out."""
    with open(path) as f:
        text = f.read()
    text = re.sub(r"<<-?'?(\w+)'?\n.*?\n\s*\1\n", "\n", text, flags=re.S)
    text = re.sub(r"\$\(\([^)]*\)\)", "0", re.sub(r"\\\n", " ", text))
    text = shell_text(re.sub(r"\$\{[^}]*\}", "$x", text))
    text = re.sub(r"(\w)=\([^)]*\)", r"\1=x", text)
    functions = set(re.findall(r"^\s*([\w-]+)\s*\(\)", text, flags=re.M))
    found = set(re.findall(r"-DCMAKE_CXX_COMPILER=([\w.+-]+)", text))
    for segment in re.split(r"\|\||&&|[|;&({}`!\n]|\$\(|\bthen\b|\bdo\b|\belse\b", text):
        words = segment.split()
        while words and (re.match(r"^\w+=", words[0]) or words[0] in ("time", "exec", "sudo")):
            words.pop(0)
        if words and words[0] in ("env", "timeout"):
            words = re.sub(r"\s-u\s+\w+", "", " " + " ".join(words[1:])).split()
            words = [w for w in words if not re.match(r"^(-|\w+=|[\d.]+$)", w)]
        if not words or words[0] in ("for", "case", "select") or words[0] in SHELL_WORDS:
            continue
        # A program in a variable ("$fuzzer", "${sudo[@]}") or a function of the script may be
        # followed by the program it runs (timed "the build" cmake ...).
        while words and (words[0] in functions or words[0].startswith(('""', "$"))):
            words.pop(0)
        if not words:
            continue
        word = words[0]
        if word in SHELL_WORDS or word in functions:
            continue
        if re.match(r"^(/[\w./+-]+|[A-Za-z][\w.+-]*)$", word):
            found.add(word)
    return found


def cmake_commands(path):
    with open(path) as f:
        text = f.read()
    found = set()
    for names in re.findall(r"find_program\(\s*\w+\s+(?:NAMES\s+)?([^)]*)\)", text):
        words = [w for w in names.split() if w.isupper() is False and not w.startswith("$")]
        found.add(tuple(w for w in words if w not in ("REQUIRED",)))
    for word in re.findall(r"\bCOMMAND\s+([A-Za-z/][\w./+-]*)", text):
        found.add((word,))
    return found


def uses():
    """Every use found, as (mode, file, kind, name): kind is "program", "named program" (a
    program named directly in a subprocess call) or "module"."""
    found = []
    for folder, _, files in os.walk(ROOT):
        if any(p.startswith((".", "build")) for p in os.path.relpath(folder, ROOT).split(os.sep)):
            continue
        for file in files:
            if file == "CMakeLists.txt" or file.endswith(".cmake"):
                rel = os.path.relpath(os.path.join(folder, file), ROOT)
                mode = "deep" if rel.startswith("fuzz") else "test" if rel.startswith("tests") else "build"
                for names in cmake_commands(os.path.join(ROOT, rel)):
                    # find_program takes the first of its names that is there.
                    present = [n for n in names if shutil.which(n, path=SEARCH)]
                    found.append((mode, rel, "program", present[0] if present else names[0]))
    for rel, mode in SCRIPTS.items():
        found += [(mode, rel, "program", name) for name in sorted(shell_commands(os.path.join(ROOT, rel)))]
    tests = os.path.join(ROOT, "tests")
    local = {os.path.splitext(f)[0] for top in (tests, os.path.join(ROOT, "tools"))
             for _, _, files in os.walk(top) for f in files}
    for folder, _, files in os.walk(tests):
        for file in sorted(f for f in files if f.endswith(".py")):
            rel = os.path.relpath(os.path.join(folder, file), ROOT)
            commands, literals, imports = python_uses(os.path.join(ROOT, rel))
            found += [("test", rel, "program", name) for name in sorted(commands)]
            found += [("test", rel, "program" if name.startswith("/") else "named program", name)
                      for name in sorted(literals)]
            found += [("test", rel, "module", name)
                      for name in sorted(imports - local - set(sys.stdlib_module_names))]
    return found


def check(listing=False):
    """The problems found, as sentences; with listing, every use is printed as it is checked."""
    listed = listed_packages()
    packages, provides = installed()
    required = {p for p, (priority, _) in packages.items() if priority == "required"}
    allowed = {}
    for i, mode in enumerate(MODES):
        roots = [p for m in MODES[:i + 1] for p in listed[m]]
        allowed[mode] = closure(roots, packages, provides) | required
    problems = [f"tools/packages lists {name} for '{mode}', but it is not installed"
                for mode, names in listed.items() for name in names if name not in packages]
    for mode, where, kind, name in uses():
        if kind == "named program":
            problems.append(f"{where} runs '{name}' by name: use harness.command(), which finds it "
                            "off a user's PATH too and is checked here")
            continue
        if kind == "module":
            found_module = importlib.util.find_spec(name)
            path = found_module.origin if found_module else None
        else:
            path = name if name.startswith("/") else shutil.which(name, path=SEARCH)
        if not path or not os.path.exists(path):
            problems.append(f"{where} uses {name}, which is not installed: list its package in "
                            f"tools/packages for '{mode}'")
            continue
        found = owners(path)
        if listing:
            print(f"{mode:5} {where}: {name} ({path}, from {', '.join(sorted(found)) or 'no package'})")
        if not found & allowed[mode]:
            problems.append(f"{where} uses {name} ({path}, from {sorted(found) or 'no package'}), "
                            f"which no package that ./run installs for '{mode}' brings")
    return problems


if __name__ == "__main__":
    found = check(listing="--list" in sys.argv[1:])
    for problem in found:
        print(f"check_packages: {problem}", file=sys.stderr)
    sys.exit(1 if found else 0)
