#!/usr/bin/env python3
"""Reads the machine code of the built module back with objdump and checks
what the compiler made of the code that guards secrets:

- constant_time_eq has one loop; nothing inside it branches except the
  loop's own test, so no byte difference can end it early; every pass
  calls optimisation_barrier, and the accumulator passes through it once
  more after the loop.
- optimisation_barrier stores its argument to memory and reads it back.
- wipe has a loop that stores a zero byte to memory on every pass, and the
  bcrypt core clears its password copy by calling it, not through a memset
  that an optimiser may drop before the memory is freed.

    check_generated_code.py BINARY...

Exits 0 when all hold, 1 naming what failed, 77 (skipped) for a build
instrumented by a sanitizer, whose checks add branches of their own.
"""

import re
import subprocess
import sys

HEADER = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSN = re.compile(r"^\s*([0-9a-f]+):\s+(.*?)\s*$")
PREFIXES = {"rep", "repz", "repnz", "repe", "repne", "lock", "notrack", "bnd", "data16", "cs", "ds"}
TARGET = re.compile(r"^([0-9a-f]+)(?:\s+<(.+)>)?$")


class Insn:
    def __init__(self, addr, text):
        self.addr = addr
        self.text = text
        words = text.split()
        while words and words[0] in PREFIXES:
            words = words[1:]
        self.op = words[0] if words else ""
        self.args = " ".join(words[1:])

    def is_branch(self):
        return self.op.startswith("j")

    reloc = None  # the symbol a relocation names, in an unlinked object

    def target(self):
        """(address, symbol) of a direct branch or call, else (None, None)."""
        m = TARGET.match(self.args)
        if not m:
            return None, None
        return int(m.group(1), 16), self.reloc or m.group(2)

    def calls(self, name):
        return self.op.startswith("call") and (self.target()[1] or "").startswith(name)

    def __str__(self):
        return f"{self.addr:x}: {self.text}"


def disassemble(binary):
    out = subprocess.run(
        ["objdump", "-d", "-r", "-C", "--no-show-raw-insn", binary],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    functions, current = {}, None
    for line in out.splitlines():
        h = HEADER.match(line)
        if h:
            current = functions.setdefault(h.group(2), [])
            continue
        i = INSN.match(line)
        if not i or current is None or i.group(2).startswith("("):
            continue
        if i.group(2).startswith("R_X86_64_"):
            if current:
                current[-1].reloc = i.group(2).split(None, 1)[1]
            continue
        current.append(Insn(int(i.group(1), 16), i.group(2)))
    return out, functions


def named(functions, prefix):
    """Every function, clones included, whose name begins with prefix."""
    return {n: body for n, body in functions.items() if n.startswith(prefix)}


def successors(body, k, index):
    insn = body[k]
    out = []
    if insn.is_branch():
        addr, _ = insn.target()
        if addr in index:
            out.append(index[addr])
    if not (insn.op.startswith("ret") or insn.op.startswith("jmp")) and k + 1 < len(body):
        out.append(k + 1)
    return out


def reachable(body, start, index):
    seen, todo = set(), [start]
    while todo:
        k = todo.pop()
        if k not in seen:
            seen.add(k)
            todo.extend(successors(body, k, index))
    return seen


def loops(body):
    """(head index, back-edge index) for each branch that closes a cycle."""
    index = {insn.addr: k for k, insn in enumerate(body)}
    found = []
    for k, insn in enumerate(body):
        addr, _ = insn.target()
        if insn.is_branch() and addr is not None and addr <= insn.addr and addr in index:
            if k in reachable(body, index[addr], index):
                found.append((index[addr], k))
    return found


def check_constant_time_eq(functions):
    bodies = named(functions, "quorlix::constant_time_eq(")
    if not bodies:
        return ["constant_time_eq not found"]
    with_loop = [(n, b, loops(b)) for n, b in bodies.items() if loops(b)]
    if len(with_loop) != 1 or len(with_loop[0][2]) != 1:
        return [f"constant_time_eq should have exactly one loop, found {[len(loop) for _, _, loop in with_loop]}"]
    name, body, [(head, back)] = with_loop[0]
    problems = []
    inside = body[head : back + 1]
    for insn in inside[:-1]:
        if insn.is_branch() or insn.op.startswith("ret"):
            problems.append(f"the loop can be left early at {insn}")
        if insn.op.startswith("call") and not insn.calls("quorlix::optimisation_barrier("):
            problems.append(f"the loop calls something other than the barrier: {insn}")
    if not any(insn.calls("quorlix::optimisation_barrier(") for insn in inside):
        problems.append("the loop does not call optimisation_barrier on every pass")
    after = body[back + 1 :]
    if not any(insn.calls("quorlix::optimisation_barrier(") for insn in after):
        problems.append("the accumulator does not pass through optimisation_barrier after the loop")
    return [f"{name}: {p}" for p in problems]


def split_operands(args):
    """AT&T operands, split at the commas outside parentheses."""
    parts, depth, current = [], 0, ""
    for c in args:
        depth += c == "("
        depth -= c == ")"
        if c == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += c
    return [*parts, current]


MEMORY = re.compile(r"-?(?:0x[0-9a-f]+)?\(%\w+(?:,%\w+,\d)?\)")


def check_barrier(functions):
    bodies = named(functions, "quorlix::optimisation_barrier(")
    if not bodies:
        return ["optimisation_barrier not found"]
    problems = []
    for name, body in bodies.items():
        stored = set()
        round_trip = False
        for insn in body:
            operands = split_operands(insn.args)
            if insn.op.startswith("mov") and len(operands) == 2:
                src, dst = operands
                if MEMORY.fullmatch(dst) and src.startswith("%"):
                    stored.add(dst)
                elif MEMORY.fullmatch(src) and src in stored and dst.startswith("%"):
                    round_trip = True
        if not round_trip:
            problems.append(f"{name}: no store of the argument to memory read back afterwards")
    return problems


def check_wipe(functions):
    bodies = named(functions, "quorlix::wipe(")
    if not bodies:
        return ["wipe not found"]
    for body in bodies.values():
        for head, back in loops(body):
            if any(i.op == "movb" and i.args.startswith("$0x0,") and "(" in i.args for i in body[head : back + 1]):
                return []
    return ["wipe: no loop storing a zero byte to memory on every pass"]


def check_password_wipe(functions):
    users = {}
    for prefix in (
        "quorlix::bcrypt::_hash_password(",
        "quorlix::bcrypt::(anonymous namespace)::KeyBuffer::~KeyBuffer(",
    ):
        users.update(named(functions, prefix))
    if not users:
        return ["_hash_password not found"]
    if any(insn.calls("quorlix::wipe(") for body in users.values() for insn in body):
        return []
    return ["_hash_password: the password copy is not cleared through wipe"]


def main(binaries):
    functions, listing = {}, ""
    for binary in binaries:
        text, found = disassemble(binary)
        listing += text
        functions.update(found)
    binary = " ".join(binaries)
    if re.search(r"call.*<__(asan|ubsan|sanitizer_cov)", listing):
        print(f"skipped: {binary} is instrumented by a sanitizer")
        return 77
    problems = (
        check_constant_time_eq(functions)
        + check_barrier(functions)
        + check_wipe(functions)
        + check_password_wipe(functions)
    )
    for p in problems:
        print("FAIL", p)
    if problems:
        for prefix in ("quorlix::constant_time_eq(", "quorlix::optimisation_barrier(", "quorlix::wipe("):
            for name, body in named(functions, prefix).items():
                print(f"\n{name}:")
                print("\n".join(f"  {i}" for i in body))
        return 1
    print(f"ok: constant_time_eq, optimisation_barrier, wipe and its use in {binary}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
