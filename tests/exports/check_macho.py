#!/usr/bin/env python3
"""Checks of the macOS dylib, read on Linux (nothing here can load it).

  exports  its export trie holds exactly the names of an expected list
  imports  every symbol it binds is bound to libSystem and defined for
           x86_64-macos in the libSystem stub (.tbd) it was linked against
  file     Mach-O 64-bit x86-64 dylib, its install name, its minimum macOS,
           and no library but libSystem among its dependencies

Each prints what it found and exits 1 on any difference.
"""
import argparse
import re
import subprocess
import sys


def macho(objdump, lib, *options):
    return subprocess.run([objdump, "--macho", *options, lib], check=True,
                          capture_output=True, text=True).stdout


def fail(lines):
    for line in lines:
        print(line)
    sys.exit(1)


def check_exports(args):
    trie = macho(args.objdump, args.lib, "--exports-trie")
    # "0x0000B0F0  _ZervConnect", weak definitions with " [weak_def]" after it
    names = re.findall(r"^0x[0-9A-Fa-f]+\s+(\S+)", trie, re.M)
    if not names:
        fail([f"no export trie in {args.lib}"])
    # Mach-O names carry a leading underscore; C++ names are then demangled.
    plain = [n[1:] if n.startswith("_") else n for n in names]
    demangled = subprocess.run([args.cxxfilt], input="\n".join(plain) + "\n", check=True,
                               capture_output=True, text=True).stdout.splitlines()
    actual = set(demangled)
    with open(args.expected) as f:
        wanted = {line.rstrip("\n") for line in f if line.strip() and not line.startswith("#")}
    missing = sorted(wanted - actual)
    extra = sorted(actual - wanted)
    if missing or extra:
        report = [f"exports of {args.lib} differ from {args.expected}"]
        report += ["missing:"] + [f"  {n}" for n in missing]
        report += [f"unexpected ({len(extra)}):"] + [f"  {n}" for n in extra[:60]]
        if len(extra) > 60:
            report.append(f"  ... and {len(extra) - 60} more")
        fail(report)
    print(f"all {len(wanted)} expected exports present ({len(names)} trie entries), none unexpected")


def stub_symbols(path, target):
    """The symbols that a text-based stub (tbd v4) defines for target."""
    with open(path) as f:
        text = f.read()
    symbols = set()
    for document in text.split("--- !tapi-tbd")[1:]:
        # Top-level keys start at column 0; the symbol lists are under
        # exports and reexports, one block per set of targets.
        for section in re.split(r"^(?=[a-z-]+:)", document, flags=re.M):
            if not re.match(r"(re)?exports:", section):
                continue
            for block in re.split(r"^\s*- targets:", section, flags=re.M)[1:]:
                targets = re.match(r"\s*\[([^\]]*)\]", block)
                if not targets or target not in re.split(r"[\s,]+", targets.group(1)):
                    continue
                for entry in re.finditer(r"(?<![\w-])(symbols|weak-symbols|thread-local-symbols):\s*\[([^\]]*)\]",
                                         block):
                    for name in entry.group(2).split(","):
                        name = name.strip().strip("'")
                        if name:
                            symbols.add(name)
    return symbols


def check_imports(args):
    binds = macho(args.objdump, args.lib, "--bind", "--lazy-bind")
    imports = []
    for line in binds.splitlines():
        fields = line.split()
        # Entries start with their segment (__DATA, __DATA_CONST, ...); the
        # bound library is the second to last column, the symbol the last.
        if len(fields) < 5 or not fields[0].startswith("__"):
            continue
        if fields[-1] == "(weak_import)":
            fields.pop()
        imports.append((fields[-2], fields[-1]))
    if not imports:
        fail([f"no bound symbols read from {args.lib}"])
    known = stub_symbols(args.stub, args.target)
    if len(known) < 1000:
        fail([f"only {len(known)} symbols read from {args.stub} for {args.target}"])
    wrong = sorted({f"{symbol} (from {library})" for library, symbol in imports
                    if library != "libSystem" or symbol not in known})
    if wrong:
        fail([f"{len(wrong)} imports of {args.lib} are not in {args.stub} ({args.target}):"]
             + [f"  {w}" for w in wrong])
    print(f"all {len(set(imports))} imported symbols are defined by the libSystem stub for {args.target}")


def check_file(args):
    headers = macho(args.objdump, args.lib, "--private-header", "--private-headers")
    problems = []
    header = re.search(r"^\s*magic\s+cputype.*\n\s*(\S+)\s+(\S+)\s+\S+\s+\S+\s+(\S+)", headers, re.M)
    if not header:
        fail([f"no Mach-O header in {args.lib}"])
    magic, cpu, filetype = header.groups()
    if (magic, cpu, filetype) != ("MH_MAGIC_64", "X86_64", "DYLIB"):
        problems.append(f"header: {magic} {cpu} {filetype}, not MH_MAGIC_64 X86_64 DYLIB")

    # Load commands: "Load command N" blocks of "key value" lines.
    commands = []
    for block in re.split(r"^Load command \d+\n", headers, flags=re.M)[1:]:
        fields = {}
        for line in block.splitlines():
            parts = line.split(None, 1)
            if len(parts) == 2 and parts[0] not in fields:
                fields[parts[0]] = parts[1]
        commands.append(fields)

    def named(kind):
        return [c for c in commands if c.get("cmd") == kind]

    ids = [re.sub(r" \(offset \d+\)$", "", c.get("name", "")) for c in named("LC_ID_DYLIB")]
    if ids != [args.install_name]:
        problems.append(f"install name {ids or 'none'}, not {args.install_name}")
    builds = named("LC_BUILD_VERSION")
    minimums = [(c.get("platform"), c.get("minos")) for c in builds]
    minimums += [("macos", c.get("version")) for c in named("LC_VERSION_MIN_MACOSX")]
    if minimums != [("macos", args.min_os)]:
        problems.append(f"minimum OS {minimums or 'none'}, not macos {args.min_os}")
    dependencies = [(c["cmd"], re.sub(r" \(offset \d+\)$", "", c.get("name", ""))) for c in commands
                    if c.get("cmd", "").endswith("_DYLIB") and c["cmd"] != "LC_ID_DYLIB"]
    if dependencies != [("LC_LOAD_DYLIB", args.only_dependency)]:
        problems.append(f"dependencies {dependencies}, not only {args.only_dependency}")
    if problems:
        fail([f"{args.lib}:"] + [f"  {p}" for p in problems])
    print(f"Mach-O 64-bit x86-64 dylib, install name {args.install_name}, minimum macOS {args.min_os}, "
          f"depends only on {args.only_dependency}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("check", choices=["exports", "imports", "file"])
    parser.add_argument("lib")
    parser.add_argument("--objdump", default="llvm-objdump")
    parser.add_argument("--cxxfilt", default="llvm-cxxfilt")
    parser.add_argument("--expected", help="exports: the list of expected names")
    parser.add_argument("--stub", help="imports: the libSystem .tbd")
    parser.add_argument("--target", default="x86_64-macos", help="imports: the stub's target")
    parser.add_argument("--install-name", default="@rpath/libzervon.dylib")
    parser.add_argument("--min-os", default="11.0")
    parser.add_argument("--only-dependency", default="/usr/lib/libSystem.B.dylib")
    args = parser.parse_args()
    {"exports": check_exports, "imports": check_imports, "file": check_file}[args.check](args)


if __name__ == "__main__":
    main()
