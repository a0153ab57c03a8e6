"""How many examples a property test draws.

Each test names its full number; MORVANTA_EXAMPLES, a fraction (1 when
unset), scales it. The CI run draws the full numbers on the oldest CPython and
under the sanitizers, and a fraction where the same machine code runs again
(the same abi3 wheel on another CPython) or runs some twenty times slower
(under qemu-user).
"""
import os

SHARE = float(os.environ.get("MORVANTA_EXAMPLES", "1"))


def examples(full):
    return max(10, round(full * SHARE))
