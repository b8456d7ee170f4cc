"""Writes the pyconfig.h of a CPython version for another architecture, from that version's
pyconfig.h for the build machine and what the target's C compiler says.

CPython's headers are the same on every platform except pyconfig.h, which configure fills in
per machine. Between two 64-bit glibc Linux machines of the same build configuration only
the answers that depend on the processor differ: type sizes and alignments, byte order,
whether the compiler takes x87, x86-64 or 68881 assembly, whether wchar_t is unsigned
(which makes it "usable" as Py_UCS4), whether there is a 128-bit integer type, and what
configure decides from the target's name (support tier, perf trampolines). Each of those is
asked of the target compiler here, compile-only, the way configure asks when it cannot run
what it builds; every other line is kept. A size or alignment macro this script does not
know fails the run rather than being copied from the build machine.

    python cross_pyconfig.py --cc aarch64-linux-gnu-gcc HOST_PYCONFIG OUT
    python cross_pyconfig.py --cc aarch64-linux-gnu-gcc --check HOST_PYCONFIG TARGET_PYCONFIG

The second form proves the method: fed one build's host header it must reproduce, macro for
macro, the same build's header made natively on the target (exit 1, with the differences,
if not).
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

# The C type each size or alignment macro measures.
TYPES = {
    "SIZEOF_DOUBLE": "double",
    "SIZEOF_FLOAT": "float",
    "SIZEOF_FPOS_T": "fpos_t",
    "SIZEOF_INT": "int",
    "SIZEOF_LONG": "long",
    "SIZEOF_LONG_DOUBLE": "long double",
    "SIZEOF_LONG_LONG": "long long",
    "SIZEOF_OFF_T": "off_t",
    "SIZEOF_PID_T": "pid_t",
    "SIZEOF_PTHREAD_KEY_T": "pthread_key_t",
    "SIZEOF_PTHREAD_T": "pthread_t",
    "SIZEOF_SHORT": "short",
    "SIZEOF_SIZE_T": "size_t",
    "SIZEOF_TIME_T": "time_t",
    "SIZEOF_UINTPTR_T": "uintptr_t",
    "SIZEOF_VOID_P": "void *",
    "SIZEOF_WCHAR_T": "wchar_t",
    "SIZEOF__BOOL": "_Bool",
    "ALIGNOF_LONG": "long",
    "ALIGNOF_SIZE_T": "size_t",
    "ALIGNOF_MAX_ALIGN_T": "max_align_t",
}

# configure's probes for the assembly CPython uses to control the floating-point unit.
ASM = {
    "HAVE_GCC_ASM_FOR_X87": 'unsigned short cw; __asm__ __volatile__ ("fnstcw %0" : "=m" (cw));'
    ' __asm__ __volatile__ ("fldcw %0" : : "m" (cw));',
    "HAVE_GCC_ASM_FOR_X64": '__asm__ __volatile__ ("movq %rcx, %rax");',
    "HAVE_GCC_ASM_FOR_MC68881": 'unsigned int fpcr; __asm__ __volatile__ ("fmove.l %%fpcr,%0" : "=g" (fpcr));'
    ' __asm__ __volatile__ ("fmove.l %0,%%fpcr" : : "g" (fpcr));',
}

# What configure decides from the target's name rather than by a probe: the support tier
# (CPython's platform support policy) and the targets with perf trampolines.
TIERS = {"x86_64-linux-gnu": 1, "aarch64-linux-gnu": 2}
PERF_TRAMPOLINE = {"x86_64-linux-gnu", "aarch64-linux-gnu"}

HEADERS = "#include <stddef.h>\n#include <stdint.h>\n#include <stdio.h>\n#include <sys/types.h>\n" \
          "#include <pthread.h>\n#include <time.h>\n#include <wchar.h>\n"

LINE = re.compile(r"^(?:#define (\w+)(?:[ \t]+(.*?))?|/\* #undef (\w+) \*/)[ \t]*$")


def macros(text: str) -> dict[str, str | None]:
    """Every macro the header sets or leaves unset: name to value (None when unset)."""
    out: dict[str, str | None] = {}
    for line in text.splitlines():
        m = LINE.match(line)
        if m and m.group(1):
            out[m.group(1)] = m.group(2) or ""
        elif m:
            out.setdefault(m.group(3), None)
    return out


def compiles(cc: str, body: str, work: Path) -> bool:
    src = work / "probe_asm.c"
    src.write_text(f"void probe(void) {{ {body} }}\n")
    r = subprocess.run([cc, "-c", "-o", str(work / "probe_asm.o"), str(src)],
                       capture_output=True, text=True)
    return r.returncode == 0


def sizes(cc: str, work: Path) -> dict[str, int]:
    """Sizes and alignments, and a few yes/no answers (1 yes, 2 no), as the sizes of arrays
    in the target compiler's assembly output: nothing of the target needs to run."""
    exprs = {name: ("_Alignof" if name.startswith("ALIGNOF") else "sizeof") + f"({t})"
             for name, t in TYPES.items()}
    exprs["WCHAR_UNSIGNED"] = "((wchar_t)-1 > 0 ? 1 : 2)"
    exprs["BIG_ENDIAN"] = "(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 1 : 2)"
    exprs["FLOAT_WORDS_BIG"] = "(__FLOAT_WORD_ORDER__ == __ORDER_BIG_ENDIAN__ ? 1 : 2)"
    exprs["IEEE754_DOUBLE"] = "(__DBL_MANT_DIG__ == 53 && __DBL_MAX_EXP__ == 1024 ? 1 : 2)"
    exprs["EXTENDED_EVAL"] = "(__FLT_EVAL_METHOD__ == 2 ? 1 : 2)"
    src = work / "probe_sizes.c"
    src.write_text("#define _GNU_SOURCE 1\n#define _FILE_OFFSET_BITS 64\n" + HEADERS + "".join(
        f"const char probe_{name}[{expr}] = {{0}};\n" for name, expr in exprs.items()))
    asm = subprocess.run([cc, "-S", "-o", "-", str(src)], capture_output=True, text=True, check=True).stdout
    found = {m.group(1): int(m.group(2))
             for m in re.finditer(r"^\s*\.size\s+probe_(\w+),\s*(\d+)\s*$", asm, re.M)}
    missing = set(exprs) - set(found)
    if missing:
        sys.exit(f"cross_pyconfig: {cc} gave no size for {', '.join(sorted(missing))}")
    return found


def target_answers(cc: str, host: dict[str, str | None]) -> dict[str, str | None]:
    """The value of every processor-dependent macro that the host header mentions."""
    unknown = sorted(n for n in host if re.match(r"^(SIZEOF|ALIGNOF)_", n) and n not in TYPES)
    if unknown:
        sys.exit(f"cross_pyconfig: no probe for {', '.join(unknown)}; add its type here")
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        got = sizes(cc, work)
        yes = {k: v == 1 for k, v in got.items() if k not in TYPES}
        answers: dict[str, str | None] = {n: str(got[n]) for n in TYPES}
        for name, body in ASM.items():
            answers[name] = "1" if compiles(cc, body, work) else None
        answers["HAVE___UINT128_T"] = "1" if compiles(cc, "__uint128_t x = 1; (void)x;", work) else None
    answers["HAVE_USABLE_WCHAR_T"] = "1" if got["SIZEOF_WCHAR_T"] >= 2 and yes["WCHAR_UNSIGNED"] else None
    answers["X87_DOUBLE_ROUNDING"] = "1" if yes["EXTENDED_EVAL"] else None
    answers["FLOAT_WORDS_BIGENDIAN"] = "1" if yes["FLOAT_WORDS_BIG"] else None
    ieee = yes["IEEE754_DOUBLE"]
    big, words_big = yes["BIG_ENDIAN"], yes["FLOAT_WORDS_BIG"]
    answers["DOUBLE_IS_BIG_ENDIAN_IEEE754"] = "1" if ieee and big and words_big else None
    answers["DOUBLE_IS_LITTLE_ENDIAN_IEEE754"] = "1" if ieee and not big and not words_big else None
    answers["DOUBLE_IS_ARM_MIXED_ENDIAN_IEEE754"] = "1" if ieee and not big and words_big else None
    triple = subprocess.run([cc, "-dumpmachine"], capture_output=True, text=True, check=True).stdout.strip()
    triple = re.sub(r"-(unknown|pc)-", "-", triple)
    if host.get("PY_SUPPORT_TIER") is not None:
        if triple not in TIERS:
            sys.exit(f"cross_pyconfig: no support tier known for {triple}")
        answers["PY_SUPPORT_TIER"] = str(TIERS[triple])
    answers["PY_HAVE_PERF_TRAMPOLINE"] = "1" if triple in PERF_TRAMPOLINE else None
    # WORDS_BIGENDIAN is decided inside the header from the compiler's own macros.
    return {n: v for n, v in answers.items() if n in host}


def rewrite(text: str, answers: dict[str, str | None]) -> str:
    lines = []
    for line in text.splitlines():
        m = LINE.match(line)
        name = m and (m.group(1) or m.group(3))
        if name in answers:
            value = answers[name]
            line = f"/* #undef {name} */" if value is None else f"#define {name} {value}"
        lines.append(line)
    return "\n".join(lines) + "\n"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cc", required=True, help="the target's C compiler")
    ap.add_argument("--check", action="store_true", help="compare with OUT instead of writing it")
    ap.add_argument("host", type=Path)
    ap.add_argument("out", type=Path)
    args = ap.parse_args()
    text = args.host.read_text()
    host = macros(text)
    answers = target_answers(args.cc, host)
    made = rewrite(text, answers)
    changed = [f"{n} {host[n] if host[n] is not None else 'unset'} -> {v if v is not None else 'unset'}"
               for n, v in sorted(answers.items()) if host[n] != v]
    if args.check:
        want, have = macros(args.out.read_text()), macros(made)
        diff = [f"{n}: made {have.get(n)!r}, native {want.get(n)!r}"
                for n in sorted(set(want) | set(have)) if want.get(n) != have.get(n)]
        if diff:
            print(f"cross_pyconfig: FAIL: {args.host} turned for {args.cc} differs from {args.out}:", file=sys.stderr)
            print("  " + "\n  ".join(diff), file=sys.stderr)
            return 1
        print(f"cross_pyconfig: {args.host} turned for {args.cc} equals {args.out}, macro for macro "
              f"({len(want)} macros; changed: {', '.join(changed) or 'none'})")
        return 0
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(f"/* Made by cross_pyconfig.py from {args.host} for {args.cc}. */\n" + made)
    print(f"cross_pyconfig: {args.out}: " + ("; ".join(changed) or "nothing differs"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
