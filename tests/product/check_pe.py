#!/usr/bin/env python3
"""Checks a built calvisto.exe without running it: a console PE for subsystem 4.0 importing only
what Windows 95 and NT 4.0 both export, the power loop byte for byte at its place in a 64-byte
line, and no SSE or newer instruction outside the loop and the SSE probe (Windows 95 does not
enable SSE state; the start-up runs on any processor). x64: the loop only; --launcher: no loop."""
import argparse
import os
import re
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# Four groups of SSE additions, loads, an integer addition and nops, then jmp short back.
LOOP = bytes.fromhex("0f28c4 0f58c7 0f28cc 0f58cd 909090 8b07 8b5f04 03c3 909090909090") * 4 \
    + bytes.fromhex("eb8e")
LEA_FILLER = bytes.fromhex("8da42400000000")  # lea esp, [esp+0]
# Where the loop starts in its 64-byte line: the place bench/power_loop measured fastest (99% of
# an 8-wide core's limit, against 72% at +16).
LOOP_LINE_OFFSET = 48
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll"}
VECTOR_REGISTER = re.compile(r"\b[xyz]mm([0-9]|[12][0-9]|3[01])\b")
with open(os.path.join(HERE, "newer_mnemonics.txt")) as f:
    NEWER_MNEMONICS = {w for line in f if not line.startswith("#") for w in line.split()}
PREFIXES = {"lock", "rep", "repz", "repnz", "repe", "repne", "data16", "addr32", "addr16",
            "data32", "cs", "ds", "es", "ss", "fs", "gs", "notrack", "bnd", "rex", "rex.w"}
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\t([0-9a-f ]+?)\s*(?:\t(.*))?$")


class Image:
    """The parts of a PE file the checks need, read straight from its headers."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = d = f.read()
        pe = struct.unpack_from("<I", d, 0x3C)[0] if d[:2] == b"MZ" else 0
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.machine, sections = struct.unpack_from("<HH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        self.wide = self.magic == 0x20B
        self.image_base = struct.unpack_from("<Q" if self.wide else "<I", d,
                                             opt + (24 if self.wide else 28))[0]
        self.subsystem_version = struct.unpack_from("<HH", d, opt + 48)
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        directories = opt + (112 if self.wide else 96)
        count = struct.unpack_from("<I", d, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(count)]
        table = opt + struct.unpack_from("<H", d, pe + 20)[0]
        self.sections = [struct.unpack_from("<8xIIII", d, table + 40 * i) for i in range(sections)]

    def offset(self, rva):
        for _, start, raw_size, raw_offset in self.sections:
            if start <= rva < start + raw_size:
                return raw_offset + rva - start
        raise ValueError(f"RVA {rva:#x} is not backed by the file")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def imports(self):
        """(dll, function) pairs; an import by ordinal is given as '#<ordinal>'."""
        rva, found = self.directories[1][0] if len(self.directories) > 1 else 0, []
        size, top = (8, 1 << 63) if self.wide else (4, 1 << 31)
        while rva:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not (lookup or name or first):
                break
            thunk = lookup or first
            while entry := int.from_bytes(self.data[self.offset(thunk):][:size], "little"):
                found.append((self.text(name), f"#{entry & 0xFFFF}" if entry & top else
                              self.text((entry & 0x7FFFFFFF) + 2)))
                thunk += size
            rva += 20
        return found

    def section_end(self, address):
        rva = address - self.image_base
        return next((self.image_base + start + vsize for vsize, start, _, _ in self.sections
                     if start <= rva < start + vsize), address)


def map_symbols(path):
    """Symbols and code from a GNU ld map file: ({name: address}, [(start, end)] of the .text
    input sections placed in the image; a long section name stands alone on its line, with its
    address and size on the next)."""
    symbols, code = {}, []
    # A C++ name stands demangled, with its parameter list: ProbeSSE(void*).
    symbol = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+([A-Za-z_.$?@][\w.$?@]*(?:\([^()]*\))?)\s*$")
    section = re.compile(r"^ (\.\S+)(?:\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+\S.*)?$")
    placement = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+\S")
    pending = None  # a section name whose address and size follow on the next line
    with open(path, encoding="latin-1") as f:
        for line in f:
            if (m := placement.match(line)) and pending:
                name, start, size = pending, int(m[1], 16), int(m[2], 16)
            elif m := section.match(line):
                if m[2] is None:
                    pending = m[1]
                    continue
                name, start, size = m[1], int(m[2], 16), int(m[3], 16)
            else:
                if m := symbol.match(line):
                    symbols.setdefault(m[2], int(m[1], 16))
                pending = None
                continue
            pending = None
            # Sections dropped by the link are listed at 0.
            if name.startswith(".text") and start and size:
                code.append((start, start + size))
    return symbols, code


def disassemble(objdump, exe, start=None, stop=None):
    """[(address, bytes, text)] of the executable sections, or of [start, stop)."""
    cmd = [objdump, "-d", "-M", "intel", "--insn-width=16", exe]
    cmd += [] if start is None else [f"--start-address={start:#x}", f"--stop-address={stop:#x}"]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return [(int(m[1], 16), bytes.fromhex(m[2].replace(" ", "")), (m[3] or "").strip())
            for m in map(INSTRUCTION.match, out.splitlines()) if m]


def mnemonic(text):
    return next((word for word in text.split() if word not in PREFIXES), "")


def find(symbols, wanted):
    """Addresses of the plain, underscored, C++-mangled (maybe namespaced) or demangled name."""
    mangled = f"{len(wanted)}{wanted}"
    return sorted({a for n, a in symbols.items() if wanted in (n.lstrip("_"), n.split("(", 1)[0])
                   or n.lstrip("_").startswith("Z") and mangled in n})


def check_kernel(objdump, exe, kernel, errors):
    """Checks the entry sequence and the loop; returns where the loop starts."""
    listing = disassemble(objdump, exe, kernel, kernel + 256)
    if not listing or listing[0][0] != kernel:
        return errors.append(f"no instruction at StressKernel ({kernel:#x})")
    jump = next((i for i, (address, raw, _) in enumerate(listing)
                 if address - kernel <= 96 and raw[:1] == b"\xeb" and len(raw) == 2), None)
    if jump is None:
        return errors.append("StressKernel: no short jump to the loop in its entry sequence")
    entry = [text for _, _, text in listing[:jump]]
    names = [mnemonic(t) for t in entry]
    errors += [f"StressKernel: branch in the entry sequence: {text}" for text, name in
               zip(entry, names) if name.startswith("j") or name in ("call", "ret", "loop")]
    it = iter(names)
    if not all(n in it for n in ["movaps"] * 3 + ["cpuid", "rdtsc", "push", "push", "cpuid"]):
        errors.append("StressKernel: the entry sequence lacks the three movaps loads, cpuid, "
                      f"rdtsc with its two pushes and cpuid: {'; '.join(entry)}")
    elif (after := [re.sub(r"\s+", " ", t) for t in entry[names.index("rdtsc") + 1:][:2]]) \
            not in (["push eax", "push edx"], ["push rax", "push rdx"]):
        errors.append(f"StressKernel: rdtsc is not followed by its two pushes: {after}")
    address, raw, _ = listing[jump]
    loop_start = address + 2 + len(LEA_FILLER)
    if (listing + [(0, b"")])[jump + 1][:2] != (address + 2, LEA_FILLER):
        errors.append(f"StressKernel: the jump at {address:#x} is not followed by the 7-byte "
                      f"filler {LEA_FILLER.hex(' ')}")
    if address + 2 + struct.unpack("<b", raw[1:2])[0] != loop_start:
        errors.append(f"StressKernel: the entry does not jump to the loop at {loop_start:#x}")
    loop = [raw for at, raw, _ in listing if loop_start <= at < loop_start + len(LOOP)]
    if (got := b"".join(loop)) != LOOP:
        at = next((i for i, (a, b) in enumerate(zip(got, LOOP)) if a != b), min(len(got), 114))
        errors.append(f"the power loop differs from its table at loop byte {at} "
                      f"({loop_start + at:#x}): expected {LOOP[at:at + 4].hex(' ')}, "
                      f"found {got[at:at + 4].hex(' ')}")
    if loop_start % 16:
        errors.append(f"the power loop starts at {loop_start:#x}, not on a 16-byte boundary")
    elif loop_start % 64 != LOOP_LINE_OFFSET:
        errors.append(f"the power loop starts at {loop_start:#x}, {loop_start % 64} bytes into "
                      f"its 64-byte line instead of {LOOP_LINE_OFFSET}")
    return loop_start


def check_pure_virtual(objdump, exe, symbols, errors):
    """The compiler fills every pure virtual slot with __cxa_pure_virtual: it must lead to the
    runtime's handler, which writes its line and ends the process with code 13."""
    slots, handlers = find(symbols, "cxa_pure_virtual"), find(symbols, "PureVirtualCalled")
    if len(slots) != 1 or len(handlers) != 1:
        return errors.append(f"__cxa_pure_virtual: {len(slots)} definitions, PureVirtualCalled: "
                             f"{len(handlers)}; one of each expected")
    targets = []
    for _, _, text in disassemble(objdump, exe, slots[0], slots[0] + 32):
        if m := re.match(r"(?:call|jmp)\s+(?:0x)?([0-9a-f]+)\b", text):
            targets.append(int(m[1], 16))
        if mnemonic(text) in ("ret", "jmp"):
            break
    if handlers[0] not in targets:
        errors.append(f"__cxa_pure_virtual ({slots[0]:#x}) does not reach the pure-virtual "
                      f"handler PureVirtualCalled ({handlers[0]:#x})")


def check_imports(image, errors):
    with open(os.path.join(HERE, "allowed_imports.txt")) as f:
        allowed = {w[1]: w[0].lower() for line in f if len(w := line.split("#", 1)[0].split()) == 2}
    if not (imports := image.imports()):
        errors.append("no imports found (ExitProcess at least is expected)")
    for dll, function in imports:
        if dll.lower() not in ALLOWED_DLLS:
            errors.append(f"imports {dll}!{function}; only kernel32, user32 and advapi32 may be")
        elif allowed.get(function) != dll.lower():
            errors.append(f"imports {dll}!{function}, which is not in allowed_imports.txt "
                          "(functions both Windows 95 and NT 4.0 export, with their DLL)")
    if len(image.directories) > 13 and image.directories[13][0]:
        errors.append("the image has delay-loaded imports; newer functions are looked up by name")


def check_instruction_set(objdump, exe, code, exempt, symbols, errors):
    """Reports SSE and newer instructions in the code outside the exempt address ranges. Only
    the code is read: the read-only data shares its section and would decode as anything."""
    if not code:
        errors.append("the link map names no code")
        return
    named = sorted((address, name) for name, address in symbols.items())
    bad = [f"  {address:#x} <{([n for at, n in named if at <= address] or ['?'])[-1]}>: {text}"
           for start, end in code
           for address, _, text in disassemble(objdump, exe, start, end)
           if not any(low <= address < high for low, high in exempt)
           and (VECTOR_REGISTER.search(text) or mnemonic(text) in NEWER_MNEMONICS)]
    if bad:
        errors.append(f"{len(bad)} SSE or newer instruction(s) outside the power loop and the "
                      "SSE probe:\n" + "\n".join(bad[:40]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("--objdump", "--exe", "--map"):
        parser.add_argument(name, required=True)
    parser.add_argument("--arch", choices=("x86", "x64"), default="x86")
    parser.add_argument("--launcher", action="store_true", help="a program without the loop")
    args = parser.parse_args()
    try:
        image = Image(args.exe)
    except (OSError, ValueError, struct.error) as e:
        print(f"{args.exe}: {e}")
        return 1
    machine, magic = {"x86": (0x14C, 0x10B), "x64": (0x8664, 0x20B)}[args.arch]
    errors = [text for bad, text in [
        ((image.machine, image.magic) != (machine, magic),
         f"not an {args.arch} PE (machine {image.machine:#x}, magic {image.magic:#x})"),
        (image.subsystem != 3, f"subsystem {image.subsystem}, not the console (3)"),
        (args.arch == "x86" and image.subsystem_version != (4, 0),
         "subsystem version %d.%d, not 4.0" % image.subsystem_version)] if bad]
    symbols, code = map_symbols(args.map)
    kernel, loop_start = None, None
    if not args.launcher:
        if len(kernels := find(symbols, "StressKernel")) != 1:
            print(f"{args.exe}: FAILED\nStressKernel: {len(kernels)} definitions in {args.map}")
            return 1
        kernel = kernels[0]
        loop_start = check_kernel(args.objdump, args.exe, kernel, errors)
    check_pure_virtual(args.objdump, args.exe, symbols, errors)
    if args.arch == "x86":
        check_imports(image, errors)
        exempt = [] if kernel is None else [(kernel, (loop_start or kernel) + len(LOOP))]
        boundaries = sorted(set(symbols.values()) | {b for r in code for b in r})
        exempt += [(probe, min([b for b in boundaries if b > probe] + [image.section_end(probe)]))
                   for probe in find(symbols, "ProbeSSE")]
        check_instruction_set(args.objdump, args.exe, code, exempt, symbols, errors)
    if errors:
        print(f"{args.exe}: FAILED\n" + "\n".join(errors))
        return 1
    print(f"{args.exe}: {len(image.data)} bytes, {args.arch}, all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
