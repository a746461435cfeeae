#!/usr/bin/env python3
"""Checks a built calvisto.exe without running it.

The 32-bit product must be a console PE for subsystem version 4.0 that imports only from
kernel32, user32 and advapi32, and only functions Windows 95 and NT 4.0 both export (the list
in allowed_imports.txt); it must contain the power loop byte for byte, starting at its place
in a 64-byte line (a 16-byte boundary), and no SSE or newer instruction anywhere else but in
the SSE probe, since Windows 95 does not enable SSE state and the start-up must run on any
processor. The x86-64 build is checked for the loop only. The launcher (--launcher) is checked
as the product is, without a loop.

StressKernel and ProbeSSE are found through the linker map when one is given, otherwise
through the image's symbol table. Exits 1 with every failure listed."""
import argparse
import os
import re
import struct
import subprocess
import sys

# Four groups of SSE additions, loads, an integer addition and nops, then jmp short back.
LOOP_GROUP = bytes.fromhex("0f28c4 0f58c7 0f28cc 0f58cd 909090 8b07 8b5f04 03c3 909090909090")
LOOP = LOOP_GROUP * 4 + bytes.fromhex("eb8e")
assert len(LOOP_GROUP) == 28 and len(LOOP) == 114
LEA_FILLER = bytes.fromhex("8da42400000000")  # lea esp, [esp+0]
# Where the loop starts in its 64-byte line: the place bench/power_loop measured fastest (99% of
# an 8-wide core's limit, against 72% at +16).
LOOP_LINE_OFFSET = 48

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll"}
C_RUNTIME_DLL = re.compile(
    r"^(msvcr|msvcp|ucrtbase|vcruntime|api-ms-win-crt-|crtdll|libgcc|libstdc\+\+|libwinpthread)",
    re.IGNORECASE)

# Instructions that need more than a Pentium Pro: anything on XMM/YMM/ZMM registers, and the
# SSE and later instructions that use none (integer SSE on MMX registers, fences, MXCSR,
# prefetches, streaming stores, SSE3 x87, and the later integer extensions).
VECTOR_REGISTER = re.compile(r"\b[xyz]mm([0-9]|[12][0-9]|3[01])\b")
NEWER_MNEMONICS = {
    "ldmxcsr", "stmxcsr", "sfence", "lfence", "mfence", "prefetchnta", "prefetcht0",
    "prefetcht1", "prefetcht2", "prefetchw", "movntq", "movnti", "maskmovq", "clflush",
    "clflushopt", "clwb", "pshufw", "pavgb", "pavgw", "pextrw", "pinsrw", "pmaxsw", "pmaxub",
    "pminsw", "pminub", "pmovmskb", "pmulhuw", "psadbw", "paddq", "psubq", "pmuludq", "pshufb",
    "phaddw", "phaddd", "phaddsw", "phsubw", "phsubd", "phsubsw", "pmaddubsw", "pmulhrsw",
    "psignb", "psignw", "psignd", "pabsb", "pabsw", "pabsd", "palignr", "fisttp", "monitor",
    "mwait", "popcnt", "lzcnt", "tzcnt", "movbe", "crc32", "andn", "bextr", "blsi", "blsmsk",
    "blsr", "bzhi", "pdep", "pext", "rorx", "sarx", "shlx", "shrx", "adcx", "adox", "rdrand",
    "rdseed", "vzeroupper", "vzeroall", "xgetbv", "xsave", "xrstor"}
PREFIXES = {"lock", "rep", "repz", "repnz", "repe", "repne", "data16", "addr32", "addr16",
            "data32", "cs", "ds", "es", "ss", "fs", "gs", "notrack", "bnd", "rex", "rex.w"}

INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\t([0-9a-f ]+?)\s*(?:\t(.*))?$")


def is_named(name, wanted):
    """True for the plain, underscored, C++-mangled (possibly namespaced) or demangled name."""
    if name.lstrip("_") == wanted or name.split("(", 1)[0] == wanted:
        return True
    return name.lstrip("_").startswith("Z") and f"{len(wanted)}{wanted}" in name


class Image:
    """The parts of a PE file the checks need, read straight from its headers."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("not an MZ/PE file")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections = struct.unpack_from("<HH", d, pe + 4)
        optional_size = struct.unpack_from("<H", d, pe + 20)[0]
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        if self.magic == 0x10B:
            self.image_base = struct.unpack_from("<I", d, opt + 28)[0]
            directories = opt + 96
        elif self.magic == 0x20B:
            self.image_base = struct.unpack_from("<Q", d, opt + 24)[0]
            directories = opt + 112
        else:
            raise ValueError(f"unknown optional header magic {self.magic:#x}")
        self.subsystem_version = struct.unpack_from("<HH", d, opt + 48)
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        count = struct.unpack_from("<I", d, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(count)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", d,
                                                                        table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(errors="replace"), rva, vsize,
                                  raw_offset, raw_size))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for _, start, vsize, raw_offset, raw_size in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                if rva - start >= raw_size:
                    raise ValueError(f"RVA {rva:#x} is not backed by the file")
                return raw_offset + rva - start
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def imports(self):
        """(dll, function) pairs; an import by ordinal is given as '#<ordinal>'."""
        rva, _ = self.directory(1)
        found = []
        wide = self.magic == 0x20B
        while rva:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not (lookup or name or first):
                break
            dll = self.text(name)
            thunk = lookup or first
            while True:
                if wide:
                    entry = struct.unpack_from("<Q", self.data, self.offset(thunk))[0]
                    by_ordinal = entry >> 63
                else:
                    entry = self.u32(thunk)
                    by_ordinal = entry >> 31
                if entry == 0:
                    break
                if by_ordinal:
                    found.append((dll, f"#{entry & 0xFFFF}"))
                else:
                    found.append((dll, self.text((entry & 0x7FFFFFFF) + 2)))
                thunk += 8 if wide else 4
            rva += 20
        return found

    def section_end(self, address):
        rva = address - self.image_base
        for _, start, vsize, _, _ in self.sections:
            if start <= rva < start + vsize:
                return self.image_base + start + vsize
        return address


def map_symbols(path):
    """Symbols and input-section bounds from a GNU ld map file: ({name: address}, [bounds])."""
    symbols, bounds = {}, []
    # A C++ name stands demangled, with its parameter list: ProbeSSE(void*).
    symbol = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+([A-Za-z_.$?@][\w.$?@]*(?:\([^()]*\))?)\s*$")
    section = re.compile(r"^\s*\.text\S*\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+\S")
    with open(path, encoding="latin-1") as f:
        for line in f:
            m = symbol.match(line)
            if m:
                symbols.setdefault(m.group(2), int(m.group(1), 16))
                continue
            m = section.match(line)
            if m and int(m.group(2), 16):
                start = int(m.group(1), 16)
                bounds += [start, start + int(m.group(2), 16)]
    return symbols, bounds


def table_symbols(objdump, exe, image):
    """Symbols of the image's COFF symbol table as {name: address}; empty when stripped."""
    out = subprocess.run([objdump, "-t", exe], check=True, capture_output=True, text=True).stdout
    entry = re.compile(r"^\[\s*\d+\]\(sec\s+(\d+)\)\(fl [^)]*\)\(ty\s+[0-9a-f]+\)\(scl\s+\d+\)"
                       r"\s*\(nx\s+\d+\)\s+0x([0-9a-f]+)\s+(\S+)")
    symbols = {}
    for line in out.splitlines():
        m = entry.match(line)
        if not m:
            continue
        section = int(m.group(1))
        if 1 <= section <= len(image.sections):
            rva = image.sections[section - 1][1] + int(m.group(2), 16)
            symbols.setdefault(m.group(3), image.image_base + rva)
    return symbols


def disassemble(objdump, exe, start=None, stop=None):
    """[(address, bytes, text)] of the executable sections, or of [start, stop)."""
    cmd = [objdump, "-d", "-M", "intel", "--insn-width=16", exe]
    if start is not None:
        cmd += [f"--start-address={start:#x}", f"--stop-address={stop:#x}"]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    listing = []
    for line in out.splitlines():
        m = INSTRUCTION.match(line)
        if m:
            raw = bytes.fromhex(m.group(2).replace(" ", ""))
            listing.append((int(m.group(1), 16), raw, (m.group(3) or "").strip()))
    return listing


def mnemonic(text):
    words = text.split()
    while words and words[0] in PREFIXES:
        words.pop(0)
    return words[0] if words else ""


def find(symbols, wanted):
    return sorted({address for name, address in symbols.items() if is_named(name, wanted)})


def check_kernel(objdump, exe, kernel, errors):
    """Checks the entry sequence and the loop; returns (loop start, listing of the loop)."""
    listing = disassemble(objdump, exe, kernel, kernel + 256)
    if not listing or listing[0][0] != kernel:
        errors.append(f"no instruction at StressKernel ({kernel:#x})")
        return None, []
    entry = []
    jump = None
    for i, (address, raw, text) in enumerate(listing):
        if address - kernel > 96:
            break
        if raw[:1] == b"\xeb" and len(raw) == 2:
            jump = i
            break
        entry.append(text)
    if jump is None:
        errors.append("StressKernel: no short jump to the loop in its entry sequence")
        return None, []
    names = [mnemonic(t) for t in entry]
    for i, name in enumerate(names):
        if name.startswith("j") or name in ("call", "ret", "loop"):
            errors.append(f"StressKernel: branch in the entry sequence: {entry[i]}")
    expected = ["movaps", "movaps", "movaps", "cpuid", "rdtsc", "push", "push", "cpuid"]
    it = iter(names)
    if not all(name in it for name in expected):
        errors.append("StressKernel: the entry sequence lacks the three movaps loads, cpuid, "
                      f"rdtsc with its two pushes and cpuid: {'; '.join(entry)}")
    elif "rdtsc" in names:
        after = entry[names.index("rdtsc") + 1:names.index("rdtsc") + 3]
        if [re.sub(r"\s+", " ", t) for t in after] not in (["push eax", "push edx"],
                                                            ["push rax", "push rdx"]):
            errors.append(f"StressKernel: rdtsc is not followed by its two pushes: {after}")
    address, raw, _ = listing[jump]
    filler_at = address + 2
    loop_start = filler_at + len(LEA_FILLER)
    target = filler_at + struct.unpack("<b", raw[1:2])[0]
    following = listing[jump + 1] if jump + 1 < len(listing) else None
    if following is None or following[0] != filler_at or following[1] != LEA_FILLER:
        errors.append(f"StressKernel: the jump at {address:#x} is not followed by the 7-byte "
                      f"filler {LEA_FILLER.hex(' ')}")
    if target != loop_start:
        errors.append(f"StressKernel: the entry jumps to {target:#x}, not to the loop at "
                      f"{loop_start:#x}")
    loop = [ins for ins in listing if loop_start <= ins[0] < loop_start + len(LOOP)]
    got = b"".join(raw for _, raw, _ in loop)
    if got != LOOP:
        at = next((i for i in range(min(len(got), len(LOOP))) if got[i] != LOOP[i]),
                  min(len(got), len(LOOP)))
        errors.append(f"the power loop differs from its table at loop byte {at} "
                      f"({loop_start + at:#x}): expected {LOOP[at:at + 4].hex(' ')}, "
                      f"found {got[at:at + 4].hex(' ')}")
    if loop_start % 16:
        errors.append(f"the power loop starts at {loop_start:#x}, not on a 16-byte boundary")
    elif loop_start % 64 != LOOP_LINE_OFFSET:
        errors.append(f"the power loop starts at {loop_start:#x}, {loop_start % 64} bytes into "
                      f"its 64-byte line instead of {LOOP_LINE_OFFSET}")
    return loop_start, loop


def check_pure_virtual(objdump, exe, symbols, errors):
    """The compiler fills every pure virtual slot with __cxa_pure_virtual: it must lead to the
    runtime's handler, which writes its line and ends the process with code 13."""
    slots, handlers = find(symbols, "cxa_pure_virtual"), find(symbols, "PureVirtualCalled")
    if len(slots) != 1 or len(handlers) != 1:
        errors.append(f"__cxa_pure_virtual: {len(slots)} definitions, PureVirtualCalled: "
                      f"{len(handlers)}; one of each expected")
        return
    targets = []
    for _, _, text in disassemble(objdump, exe, slots[0], slots[0] + 32):
        m = re.match(r"(?:call|jmp)\s+(?:0x)?([0-9a-f]+)\b", text)
        if m:
            targets.append(int(m.group(1), 16))
        if mnemonic(text) in ("ret", "jmp"):
            break
    if handlers[0] not in targets:
        errors.append(f"__cxa_pure_virtual ({slots[0]:#x}) does not reach the pure-virtual "
                      f"handler PureVirtualCalled ({handlers[0]:#x})")


def check_imports(image, allowed_path, errors):
    allowed = {}
    with open(allowed_path) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if len(words) == 2:
                allowed[words[1]] = words[0].lower()
    imports = image.imports()
    if not imports:
        errors.append("no imports found (ExitProcess at least is expected)")
    for dll, function in imports:
        if C_RUNTIME_DLL.match(dll):
            errors.append(f"imports the C runtime: {dll}!{function}")
        elif dll.lower() not in ALLOWED_DLLS:
            errors.append(f"imports from {dll} ({function}); only kernel32, user32 and advapi32 "
                          "are allowed")
        elif function not in allowed:
            errors.append(f"imports {dll}!{function}, which is not in "
                          f"{os.path.basename(allowed_path)} (functions both Windows 95 and "
                          "NT 4.0 export)")
        elif allowed[function] != dll.lower():
            errors.append(f"imports {function} from {dll}; it belongs to {allowed[function]}")
    if image.directory(13)[0]:
        errors.append("the image has delay-loaded imports; newer functions are looked up by name")
    return imports


def check_instruction_set(objdump, exe, exempt, symbols, errors):
    """Reports SSE and newer instructions outside the exempt address ranges."""
    named = sorted((address, name) for name, address in symbols.items())
    bad = []
    for address, _, text in disassemble(objdump, exe):
        if any(start <= address < end for start, end in exempt):
            continue
        if VECTOR_REGISTER.search(text) or mnemonic(text) in NEWER_MNEMONICS:
            owner = "?"
            for start, name in named:
                if start > address:
                    break
                owner = name
            bad.append(f"  {address:#x} <{owner}>: {text}")
    if bad:
        errors.append(f"{len(bad)} SSE or newer instruction(s) outside the power loop and the "
                      "SSE probe:\n" + "\n".join(bad[:40]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--map", help="the GNU ld map file of the link")
    parser.add_argument("--allowed", default=os.path.join(os.path.dirname(__file__),
                                                          "allowed_imports.txt"))
    parser.add_argument("--arch", choices=("x86", "x64"), default="x86")
    parser.add_argument("--launcher", action="store_true", help="a program without the loop")
    args = parser.parse_args()

    errors = []
    try:
        image = Image(args.exe)
    except (OSError, ValueError) as e:
        print(f"{args.exe}: {e}")
        return 1

    if args.arch == "x86" and (image.machine != 0x14C or image.magic != 0x10B):
        errors.append(f"not a 32-bit i386 PE (machine {image.machine:#x}, magic {image.magic:#x})")
    if args.arch == "x64" and (image.machine != 0x8664 or image.magic != 0x20B):
        errors.append(f"not an x86-64 PE32+ (machine {image.machine:#x}, magic {image.magic:#x})")
    if image.subsystem != 3:
        errors.append(f"subsystem {image.subsystem}, not the console (3)")
    if args.arch == "x86" and image.subsystem_version != (4, 0):
        errors.append("subsystem version %d.%d, not 4.0" % image.subsystem_version)

    if args.map:
        symbols, bounds = map_symbols(args.map)
        source = args.map
    else:
        symbols, bounds = table_symbols(args.objdump, args.exe, image), []
        source = "the symbol table"
    kernels = [] if args.launcher else find(symbols, "StressKernel")
    if len(kernels) != 1 and not args.launcher:
        hint = "" if args.map else " (a stripped image needs --map)"
        errors.append(f"StressKernel: {len(kernels)} definitions in {source}{hint}")
        print(f"{args.exe}: FAILED")
        print("\n".join(errors))
        return 1
    kernel, loop_start, loop = None, None, []
    if not args.launcher:
        kernel = kernels[0]
        loop_start, loop = check_kernel(args.objdump, args.exe, kernel, errors)
    check_pure_virtual(args.objdump, args.exe, symbols, errors)

    imports = []
    if args.arch == "x86":
        imports = check_imports(image, args.allowed, errors)
        exempt = [] if kernel is None else [(kernel, (loop_start or kernel) + len(LOOP))]
        boundaries = sorted(set(symbols.values()) | set(bounds))
        for probe in find(symbols, "ProbeSSE"):
            end = min([b for b in boundaries if b > probe] + [image.section_end(probe)])
            exempt.append((probe, end))
        check_instruction_set(args.objdump, args.exe, exempt, symbols, errors)

    if errors:
        print(f"{args.exe}: FAILED")
        print("\n".join(errors))
        return 1
    print(f"{args.exe}: {len(image.data)} bytes, {args.arch}, console subsystem "
          "%d.%d" % image.subsystem_version)
    if imports:
        dlls = sorted({dll.lower() for dll, _ in imports})
        print(f"imports: {len(imports)} functions from {', '.join(dlls)}, all allowed")
    if kernel is None:
        return 0
    print(f"StressKernel at {kernel:#x} (from {source}); loop at {loop_start:#x}:")
    for address, raw, text in loop:
        print(f"  {address:8x}:  {raw.hex(' '):24} {text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
